#include "tools/devsim/devsim_server.h"

#include "common/numbers.h"
#include "engine/protocol.h"
#include "image/memory_image.h"

#include <QCommandLineParser>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>
#include <QUdpSocket>
#include <QVariant>

#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <limits>

using namespace Qt::StringLiterals;

namespace corvanel::devsim {

namespace {

constexpr int kReceiveBufferBytes = 1 << 20;
constexpr int kMaxHoldMs = 600000; // the longest any reply may be held back

constexpr int kMaxIdleSeconds = 24 * 60 * 60;
constexpr int kMaxBoards = 1000000;

cli::Definition makeDefinition()
{
    cli::Definition definition;
    definition.program = QStringLiteral("corvanel-devsim");
    definition.summary = QStringLiteral("bootloader simulator for Corvanel on loopback UDP");
    definition.usage = {QStringLiteral("[options]")};
    definition.description = {
        QStringLiteral(
            "A UDP peer on loopback that answers the bootloader protocol. \"BOOTi\" gets a "
            "\"VER=\" reply; each download record (\"BOOT:...\") is checked (Intel HEX syntax, "
            "byte count, checksum, record type) and stored, answered \"OK\" or \"ERROR\"; the "
            "end-of-file record gets \"DOWNLOAD\". Verify records (\"BOOT#...\") must repeat the "
            "records the download took, in the same order ('#' for ':'), and match the stored "
            "image: a record left out, repeated in place of another or changed gets \"ERROR\". "
            "The verify end-of-file record gets \"DOWNLOAD\" when the whole pass matched."),
        QStringLiteral(
            "A new download record after a finished pass or after \"BOOTi\" starts a new image; "
            "a verify record after \"BOOTi\" starts the verify pass again. The record just "
            "handled, sent again right after (a lost reply), is answered as before and counted "
            "once. On \"BOOTg\" it prints a summary line (records, bytes, address range, CRC-32 "
            "of the image bytes in address order) and exits."),
        QStringLiteral(
            "With --boards N it acts as N boards that come one after another on its port, as "
            "on a production line: board k answers \"VER=DEVSIM 1.0 board k\" and keeps its own "
            "image. After \"BOOTg\" the board leaves: nothing answers for --swap-time, then "
            "board k+1 comes. As each board leaves, a line \"board K RESULT records=...\" (the "
            "fields of the summary line) is printed; RESULT is installed, unverified (\"BOOTg\" "
            "without a verified image) or failed (--fail-board). After the last board's swap "
            "time it prints \"summary boards=N installed=I failed=F unverified=U present=0\" "
            "and exits."),
        QStringLiteral("At start it prints \"listening ADDRESS:PORT\" on standard output."),
    };
    const auto number = [](const char *name, const char *value, const QString &text) {
        return cli::Option{{QString::fromLatin1(name)}, QString::fromLatin1(value), text};
    };
    const auto flag = [](const char *name, const QString &text) {
        return cli::Option{{QString::fromLatin1(name)}, {}, text};
    };
    definition.options = {
        {{QStringLiteral("address")},
         QStringLiteral("ADDRESS"),
         QStringLiteral(
             "Bind to this IPv4 address; only 127.0.0.0/8 is allowed (default 127.0.0.1).")},
        number("port", "PORT",
               QStringLiteral("Bind to this UDP port; 0 lets the system choose (default 111).")),
        number("drop-every", "N", QStringLiteral("Drop every Nth reply (N >= 1).")),
        number("drop-reply", "N",
               QStringLiteral("Drop reply number N only (counted from 1 over all replies).")),
        number("drop-rate", "P",
               QStringLiteral("Drop this share of replies, 0 to 1, drawn from --seed.")),
        number("seed", "S", QStringLiteral("Seed for --drop-rate and --reorder (default 1).")),
        number("error-at", "N",
               QStringLiteral("Answer \"ERROR\" to download line N of a pass, once, and keep "
                              "nothing of it.")),
        number("delay-ms", "D", QStringLiteral("Send each reply D milliseconds late.")),
        flag("ok-at-eof",
             QStringLiteral(
                 "Answer end-of-file records with a plain \"OK\" instead of \"DOWNLOAD\".")),
        flag("duplicate", QStringLiteral("Send every reply twice.")),
        number("late-copy", "D",
               QStringLiteral("Send a copy of each reply again D milliseconds after it, so that "
                              "it lands among later replies or in the next pass.")),
        {{QStringLiteral("late-copy-token")},
         QStringLiteral("TEXT"),
         QStringLiteral("With --late-copy: copy only replies that contain TEXT (e.g. DOWNLOAD).")},
        number("reorder", "D",
               QStringLiteral("Hold every datagram sent (replies, copies, fakes) a further "
                              "random 0 to D milliseconds, drawn from --seed, so that datagrams "
                              "in flight together overtake each other.")),
        number("fake-download", "N",
               QStringLiteral("Send an extra \"DOWNLOAD\" just before the answer to record N of "
                              "each pass, download and verify (also when that answer is "
                              "dropped).")),
        number("late-answer", "N:D",
               QStringLiteral("Send the answer to record N of the download pass D milliseconds "
                              "late. A tool that sends the record again meanwhile is answered at "
                              "once, and the late answer follows: two answers to one line.")),
        number("boards", "N",
               QStringLiteral("Act as N boards, one after another (see above). Without it, one "
                              "board whose \"BOOTg\" ends the run, answering \"VER=DEVSIM 1.0\".")),
        number("fail-board", "K",
               QStringLiteral("With --boards: board K is broken. It answers \"ERROR\" to every "
                              "download record and stays (it answers the inquiry) until "
                              "--swap-time has passed since its first refusal; then it is taken "
                              "away: nothing answers for --swap-time, then board K+1 comes.")),
        number("swap-time", "S",
               QStringLiteral("With --boards: how many seconds no board is in place between two "
                              "boards, and a failed board stays before it is taken away (default "
                              "2; a fraction such as 0.2 is allowed). Choose it longer than the "
                              "tool waits to decide that a board has left.")),
        number("idle-timeout", "S",
               QStringLiteral(
                   "Exit with code 3 after S seconds without a datagram (default: never).")),
        {{QStringLiteral("summary-json")},
         QStringLiteral("FILE"),
         QStringLiteral("On \"BOOTg\" also write the summary as JSON to FILE; with --boards, "
                        "at the end, every board's as {\"boards\": [{\"board\": 1, "
                        "\"result\": \"installed\", ...}]}."),
         {},
         true},
        flag("verbose", QStringLiteral("Log every message and reply on standard error.")),
        {{QStringLiteral("h"), QStringLiteral("help")}, {}, QStringLiteral("Show this help.")},
        flag("version", QStringLiteral("Show the version.")),
    };
    definition.notes = {
        QStringLiteral("A record's number (for --fake-download, --late-answer) counts from 1 "
                       "within its pass; copies sent again are not counted. Faults combine: "
                       "--delay-ms and --late-answer hold a reply first, --late-copy counts from "
                       "there, and --reorder adds its own hold to every datagram. A dropped "
                       "reply has no copies."),
        QStringLiteral("With --boards, the faults that count (--drop-every, --drop-reply, "
                       "--error-at, --fake-download, --late-answer) count anew on each board; "
                       "--drop-rate and --reorder draw on from the one --seed."),
    };
    definition.exitCodes = {
        {QStringLiteral("0"),
         QStringLiteral("a complete, verified image was installed; with --boards, on every "
                        "board but the --fail-board one, which failed as asked")},
        {QStringLiteral("1"), QStringLiteral("\"BOOTg\" came without one (with --boards: to "
                                             "any board)")},
        {QStringLiteral("2"), QStringLiteral("bad options, or the port cannot be bound")},
        {QStringLiteral("3"), QStringLiteral("idle time-out")},
    };
    definition.examples = {
        {QStringLiteral("A simulator on a port the system chooses, for a test:"),
         QStringLiteral("corvanel-devsim --port 0 --idle-timeout 60")},
        {QStringLiteral("A lossy, slow network: one reply in ten lost, each held 200 ms, every "
                        "datagram logged:"),
         QStringLiteral("corvanel-devsim --port 1111 --drop-rate 0.1 --seed 3 --delay-ms 200 "
                        "--verbose")},
        {QStringLiteral("A production line of three boards, the second one broken:"),
         QStringLiteral("corvanel-devsim --port 0 --boards 3 --fail-board 2 --swap-time 1.5")},
    };
    definition.operands = cli::Definition::Operands::None;
    definition.seeAlso = {QStringLiteral("corvanel-flash(1)"), QStringLiteral("corvanel(1)")};
    return definition;
}

// A whole number from `lowest` to `highest` into `value`; false otherwise.
bool readNumber(const QString &text, int lowest, int highest, int &value)
{
    const auto parsed = parseWholeNumber(text, quint64(lowest), quint64(highest));
    if (!parsed)
        return false;
    value = int(*parsed);
    return true;
}

void logLine(const QString &line)
{
    std::fprintf(stderr, "%s\n", qPrintable(line));
    std::fflush(stderr);
}

QString printable(QByteArrayView bytes)
{
    QString text = QString::fromLatin1(bytes);
    text.replace(QLatin1String("\r"), QLatin1String("\\r"))
        .replace(QLatin1String("\n"), QLatin1String("\\n"));
    return text;
}

} // namespace

bool isAllowedBindAddress(const QHostAddress &address)
{
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    return isV4 && (v4 >> 24) == 127;
}

const cli::Definition &commandLine()
{
    static const cli::Definition definition = makeDefinition();
    return definition;
}

ParsedCommandLine parseCommandLine(const QStringList &arguments)
{
    QCommandLineParser parser;
    cli::addOptions(parser, commandLine());

    ParsedCommandLine result;
    const auto error = [&result](const QString &text) {
        result.message = text + QStringLiteral("\nTry --help.\n");
        result.isError = true;
        return result;
    };
    if (!parser.parse(arguments))
        return error(cli::parseError(parser, commandLine()));
    if (parser.isSet(QStringLiteral("help"))) {
        result.message = cli::helpText(commandLine());
        return result;
    }
    if (parser.isSet(QStringLiteral("version"))) {
        result.message =
            QStringLiteral("%1 %2\n").arg(commandLine().program, QStringLiteral(CORVANEL_VERSION));
        return result;
    }
    if (!parser.positionalArguments().isEmpty())
        return error(
            QStringLiteral("Unexpected argument: %1").arg(parser.positionalArguments().first()));
    const auto isSet = [&parser](const char *name) {
        return parser.isSet(QString::fromLatin1(name));
    };
    const auto value = [&parser](const char *name) {
        return parser.value(QString::fromLatin1(name));
    };
    constexpr int kMaxInt = std::numeric_limits<int>::max();

    ServerOptions options;
    if (isSet("address")) {
        if (!options.address.setAddress(value("address")) ||
            !isAllowedBindAddress(options.address)) {
            return error(
                QStringLiteral("--address %1: only loopback addresses 127.0.0.0/8 may be bound")
                    .arg(value("address")));
        }
        options.address.setAddress(options.address.toIPv4Address());
    }
    if (isSet("port")) {
        int port = 0;
        if (!readNumber(value("port"), 0, 65535, port))
            return error(QStringLiteral("--port must be a number from 0 to 65535"));
        options.port = static_cast<quint16>(port);
    }
    if (isSet("drop-every") && !readNumber(value("drop-every"), 1, kMaxInt, options.dropEvery))
        return error(QStringLiteral("--drop-every must be a whole number of at least 1"));
    if (isSet("drop-reply") && !readNumber(value("drop-reply"), 1, kMaxInt, options.dropReply))
        return error(QStringLiteral("--drop-reply must be a reply number of at least 1"));
    if (isSet("drop-rate")) {
        bool ok = false;
        options.dropRate = value("drop-rate").toDouble(&ok);
        if (!ok || options.dropRate < 0.0 || options.dropRate > 1.0)
            return error(QStringLiteral("--drop-rate must be a number from 0 to 1"));
    }
    if (isSet("seed")) {
        const auto seed = parseWholeNumber(value("seed"), 0, 0xFFFFFFFF);
        if (!seed)
            return error(QStringLiteral("--seed must be a whole number from 0 to 4294967295"));
        options.seed = quint32(*seed);
    }
    if (isSet("error-at") && !readNumber(value("error-at"), 1, kMaxInt, options.model.errorAtLine))
        return error(QStringLiteral("--error-at must be a line number of at least 1"));
    const QString holdRange = QStringLiteral("from 0 to %1").arg(kMaxHoldMs);
    if (isSet("delay-ms") && !readNumber(value("delay-ms"), 0, kMaxHoldMs, options.delayMs))
        return error(QStringLiteral("--delay-ms must be milliseconds %1").arg(holdRange));
    if (isSet("late-copy")) {
        int copyMs = 0;
        if (!readNumber(value("late-copy"), 0, kMaxHoldMs, copyMs))
            return error(QStringLiteral("--late-copy must be milliseconds %1").arg(holdRange));
        options.lateCopyMs = copyMs;
    }
    if (isSet("late-copy-token")) {
        if (!options.lateCopyMs)
            return error(QStringLiteral("--late-copy-token needs --late-copy"));
        options.lateCopyToken = value("late-copy-token").toLatin1();
        if (options.lateCopyToken.isEmpty())
            return error(QStringLiteral("--late-copy-token must not be empty"));
    }
    if (isSet("reorder") && !readNumber(value("reorder"), 0, kMaxHoldMs, options.reorderMs))
        return error(QStringLiteral("--reorder must be milliseconds %1").arg(holdRange));
    if (isSet("fake-download") &&
        !readNumber(value("fake-download"), 1, kMaxInt, options.fakeDownloadLine))
        return error(QStringLiteral("--fake-download must be a record number of at least 1"));
    if (isSet("late-answer")) {
        const QStringList parts = value("late-answer").split(QLatin1Char(':'));
        if (parts.size() != 2 || !readNumber(parts[0], 1, kMaxInt, options.lateAnswerLine) ||
            !readNumber(parts[1], 0, kMaxHoldMs, options.lateAnswerMs)) {
            return error(QStringLiteral("--late-answer %1: must be N:D, a record number of at "
                                        "least 1 and milliseconds %2 (e.g. 5:800)")
                             .arg(value("late-answer"), holdRange));
        }
    }
    if (isSet("idle-timeout") &&
        !readNumber(value("idle-timeout"), 1, kMaxIdleSeconds, options.idleTimeoutSeconds))
        return error(QStringLiteral("--idle-timeout must be a number of seconds from 1 to %1")
                         .arg(kMaxIdleSeconds));
    if (isSet("boards") && !readNumber(value("boards"), 1, kMaxBoards, options.boards))
        return error(
            QStringLiteral("--boards must be a number of boards from 1 to %1").arg(kMaxBoards));
    if (isSet("fail-board")) {
        if (options.boards == 0)
            return error(QStringLiteral("--fail-board needs --boards"));
        if (!readNumber(value("fail-board"), 1, options.boards, options.failBoard))
            return error(QStringLiteral("--fail-board must be a board number from 1 to %1")
                             .arg(options.boards));
    }
    if (isSet("swap-time")) {
        if (options.boards == 0)
            return error(QStringLiteral("--swap-time needs --boards"));
        bool ok = false;
        const double seconds = value("swap-time").trimmed().toDouble(&ok);
        if (!ok || !(seconds >= 0.0 && seconds <= kMaxIdleSeconds))
            return error(QStringLiteral("--swap-time %1: must be seconds from 0 to %2 (e.g. 0.5)")
                             .arg(value("swap-time"))
                             .arg(kMaxIdleSeconds));
        options.swapTimeMs = int(std::ceil(seconds * 1000.0));
    }
    options.model.okAtEof = isSet("ok-at-eof");
    options.duplicate = isSet("duplicate");
    options.summaryJson = value("summary-json");
    options.verbose = isSet("verbose");
    result.options = options;
    return result;
}

namespace {

QString imageFields(const ImageSummary &s)
{
    return QStringLiteral("records=%1 data-records=%2 bytes=%3 low=%4 high=%5 crc32=%6 "
                          "download=%7 verify=%8 download-errors=%9 verify-errors=%10")
        .arg(s.records)
        .arg(s.dataRecords)
        .arg(s.bytes)
        .arg(image::hexAddress(s.lowAddress), image::hexAddress(s.highAddress),
             image::hexAddress(s.crc32),
             s.downloadComplete ? QStringLiteral("complete") : QStringLiteral("incomplete"),
             s.verified ? QStringLiteral("passed") : QStringLiteral("failed"))
        .arg(s.downloadErrors)
        .arg(s.verifyErrors);
}

QJsonObject summaryObject(const ImageSummary &s)
{
    return QJsonObject{
        {QStringLiteral("records"), s.records},
        {QStringLiteral("dataRecords"), s.dataRecords},
        {QStringLiteral("bytes"), s.bytes},
        {QStringLiteral("lowAddress"), image::hexAddress(s.lowAddress)},
        {QStringLiteral("highAddress"), image::hexAddress(s.highAddress)},
        {QStringLiteral("crc32"), image::hexAddress(s.crc32)},
        {QStringLiteral("downloadComplete"), s.downloadComplete},
        {QStringLiteral("verified"), s.verified},
        {QStringLiteral("downloadErrors"), s.downloadErrors},
        {QStringLiteral("verifyErrors"), s.verifyErrors},
    };
}

QString resultName(BoardResult result)
{
    switch (result) {
    case BoardResult::Installed:
        return QStringLiteral("installed");
    case BoardResult::Unverified:
        return QStringLiteral("unverified");
    case BoardResult::Failed:
        return QStringLiteral("failed");
    case BoardResult::Present:
        break;
    }
    return QStringLiteral("present");
}

} // namespace

QString summaryLine(const ImageSummary &s)
{
    return QStringLiteral("summary ") + imageFields(s);
}

QString boardLine(const BoardRecord &record)
{
    return QStringLiteral("board %1 %2 %3")
        .arg(record.board)
        .arg(resultName(record.result), imageFields(record.image));
}

QString boardsSummaryLine(const QList<BoardRecord> &records)
{
    std::array<int, 4> counts{};
    for (const BoardRecord &record : records)
        ++counts[size_t(record.result)];
    return QStringLiteral("summary boards=%1 installed=%2 failed=%3 unverified=%4 present=%5")
        .arg(records.size())
        .arg(counts[size_t(BoardResult::Installed)])
        .arg(counts[size_t(BoardResult::Failed)])
        .arg(counts[size_t(BoardResult::Unverified)])
        .arg(counts[size_t(BoardResult::Present)]);
}

QByteArray boardsJson(const QList<BoardRecord> &records)
{
    QJsonArray boards;
    for (const BoardRecord &record : records) {
        QJsonObject object = summaryObject(record.image);
        object.insert(QStringLiteral("board"), record.board);
        object.insert(QStringLiteral("result"), resultName(record.result));
        boards.append(object);
    }
    return QJsonDocument(QJsonObject{{QStringLiteral("boards"), boards}}).toJson();
}

int boardsExitCode(const QList<BoardRecord> &records)
{
    // A failed board is always the --fail-board one: nothing else fails a board.
    for (const BoardRecord &record : records) {
        if (record.result != BoardResult::Installed && record.result != BoardResult::Failed)
            return 1;
    }
    return 0;
}

QByteArray summaryJson(const ImageSummary &s)
{
    return QJsonDocument(summaryObject(s)).toJson();
}

DevsimServer::DevsimServer(ServerOptions options, QObject *parent)
    : QObject(parent), options_(std::move(options)), model_(options_.model),
      socket_(new QUdpSocket(this)), idleTimer_(new QTimer(this)), swapTimer_(new QTimer(this)),
      random_(options_.seed), holdRandom_(options_.seed),
      buffer_(protocol::kMaxDatagram + 1, Qt::Uninitialized)
{
    if (options_.boards > 0)
        model_ = makeModel();
    swapTimer_->setSingleShot(true);
    swapTimer_->setTimerType(Qt::PreciseTimer);
    QObject::connect(swapTimer_, &QTimer::timeout, this, &DevsimServer::swapTimedOut);
    idleTimer_->setSingleShot(true);
    QObject::connect(idleTimer_, &QTimer::timeout, this, &DevsimServer::idleTimedOut);
    QObject::connect(socket_, &QUdpSocket::readyRead, this, &DevsimServer::readPending);
}

DevsimServer::~DevsimServer() = default;

std::optional<QString> DevsimServer::start()
{
    if (!isAllowedBindAddress(options_.address)) {
        return QStringLiteral("%1: only loopback addresses 127.0.0.0/8 may be bound")
            .arg(options_.address.toString());
    }
    if (!socket_->bind(options_.address, options_.port, QAbstractSocket::DontShareAddress)) {
        return QStringLiteral("cannot bind %1:%2: %3")
            .arg(options_.address.toString())
            .arg(options_.port)
            .arg(socket_->errorString());
    }
    socket_->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption,
                             QVariant(kReceiveBufferBytes));
    if (options_.idleTimeoutSeconds > 0)
        idleTimer_->start(options_.idleTimeoutSeconds * 1000);
    return std::nullopt;
}

quint16 DevsimServer::port() const
{
    return socket_->localPort();
}

QHostAddress DevsimServer::address() const
{
    return socket_->localAddress();
}

void DevsimServer::readPending()
{
    // One datagram per arrival notice: the notice says it is there, and the
    // socket announces the next one from the event loop.
    QHostAddress sender;
    quint16 senderPort = 0;
    const qint64 size = socket_->readDatagram(buffer_.data(), buffer_.size(), &sender, &senderPort);
    if (size < 0)
        return;
    ++received_;
    if (options_.idleTimeoutSeconds > 0)
        idleTimer_->start(options_.idleTimeoutSeconds * 1000);

    const QByteArrayView message(buffer_.constData(), size);
    if (options_.boards > 0 && place_ == Place::Away) {
        if (options_.verbose)
            logLine(QStringLiteral("<- %1  (no board in place)").arg(printable(message)));
        return;
    }
    const BootloaderModel::Outcome outcome = model_.handle(message);
    if (options_.verbose) {
        const QString note =
            outcome.note.isEmpty() ? QString() : QStringLiteral("  (%1)").arg(outcome.note);
        logLine(QStringLiteral("<- %1%2").arg(printable(message), note));
    }
    if (outcome.action == BootloaderModel::Action::Install) {
        const bool verified = model_.summary().verified;
        if (options_.boards == 0)
            emit installed(verified ? 0 : 1);
        else
            leave(verified ? BoardResult::Installed : BoardResult::Unverified);
        return;
    }
    // The broken board is taken away a swap time after it first refused.
    if (place_ == Place::Present && board_ == options_.failBoard && model_.downloadErrors() > 0) {
        place_ = Place::Staying;
        swapTimer_->start(options_.swapTimeMs);
    }
    answer(outcome, sender, senderPort);
}

BootloaderModel DevsimServer::makeModel() const
{
    ModelOptions model = options_.model;
    model.version += " board " + QByteArray::number(board_);
    model.refuseDownloads = board_ == options_.failBoard;
    return BootloaderModel(model);
}

void DevsimServer::leave(BoardResult result)
{
    left_.append({board_, result, model_.summary()});
    place_ = Place::Away;
    swapTimer_->start(options_.swapTimeMs);
    if (options_.verbose)
        logLine(QStringLiteral("board %1 left").arg(board_));
    emit boardLeft(board_);
}

void DevsimServer::swapTimedOut()
{
    if (place_ == Place::Staying) {
        leave(BoardResult::Failed);
        return;
    }
    if (place_ != Place::Away)
        return;
    if (board_ >= options_.boards) {
        emit boardsFinished(boardsExitCode(left_));
        return;
    }
    ++board_;
    model_ = makeModel();
    replies_ = 0; // counted faults hit each board alike
    place_ = Place::Present;
    if (options_.verbose)
        logLine(QStringLiteral("board %1 in place").arg(board_));
}

QList<BoardRecord> DevsimServer::boardRecords() const
{
    QList<BoardRecord> records = left_;
    if (place_ != Place::Away) {
        records.append({board_,
                        place_ == Place::Staying ? BoardResult::Failed : BoardResult::Present,
                        model_.summary()});
    }
    return records;
}

bool DevsimServer::dropNext()
{
    if (options_.dropEvery > 0 && replies_ % options_.dropEvery == 0)
        return true;
    if (replies_ == options_.dropReply)
        return true;
    return options_.dropRate > 0.0 && random_.generateDouble() < options_.dropRate;
}

void DevsimServer::answer(const BootloaderModel::Outcome &outcome, const QHostAddress &to,
                          quint16 port)
{
    // Faults aimed at a record hit its first answer only: the answer to a
    // copy sent again comes at once, as the device's resend rule has it.
    const bool firstAnswer = outcome.line > 0 && !outcome.resent;
    int holdMs = options_.delayMs;
    if (firstAnswer && outcome.pass == BootloaderModel::Pass::Download &&
        outcome.line == options_.lateAnswerLine) {
        holdMs += options_.lateAnswerMs;
    }
    if (firstAnswer && outcome.line == options_.fakeDownloadLine)
        sendLater(kReplyPassEnd.toByteArray(), to, port, holdMs, "fake "_L1);

    ++replies_;
    if (dropNext()) {
        ++dropped_;
        if (options_.verbose)
            logLine(QStringLiteral("-> (dropped) %1").arg(printable(outcome.reply)));
        return;
    }
    sendLater(outcome.reply, to, port, holdMs, {});
    if (options_.duplicate)
        sendLater(outcome.reply, to, port, holdMs, "copy "_L1);
    if (options_.lateCopyMs &&
        (options_.lateCopyToken.isEmpty() || outcome.reply.contains(options_.lateCopyToken))) {
        sendLater(outcome.reply, to, port, holdMs + *options_.lateCopyMs, "late copy "_L1);
    }
}

void DevsimServer::sendLater(const QByteArray &datagram, const QHostAddress &to, quint16 port,
                             int holdMs, QLatin1StringView what)
{
    if (options_.reorderMs > 0)
        holdMs += static_cast<int>(holdRandom_.bounded(options_.reorderMs + 1));
    const auto send = [this, datagram, to, port, what] {
        if (socket_->writeDatagram(datagram, to, port) == datagram.size())
            ++sent_;
        if (options_.verbose)
            logLine(QStringLiteral("-> %1%2").arg(what, printable(datagram)));
    };
    if (holdMs <= 0) {
        send();
        return;
    }
    // Precise: a coarse timer may fire up to 5% off and reorder by itself.
    QTimer::singleShot(std::chrono::milliseconds(holdMs), Qt::PreciseTimer, this, send);
}

} // namespace corvanel::devsim
