#include "tools/devsim/devsim_server.h"

#include "common/numbers.h"
#include "engine/protocol.h"
#include "image/memory_image.h"

#include <QCommandLineParser>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>
#include <QUdpSocket>
#include <QVariant>

#include <chrono>
#include <cstdio>
#include <limits>

using namespace Qt::StringLiterals;

namespace corvanel::devsim {

namespace {

constexpr int kReceiveBufferBytes = 1 << 20;
constexpr int kMaxHoldMs = 600000; // the longest any reply may be held back

constexpr int kMaxIdleSeconds = 24 * 60 * 60;

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
        number("idle-timeout", "S",
               QStringLiteral(
                   "Exit with code 3 after S seconds without a datagram (default: never).")),
        {{QStringLiteral("summary-json")},
         QStringLiteral("FILE"),
         QStringLiteral("On \"BOOTg\" also write the summary as JSON to FILE."),
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
    };
    definition.exitCodes = {
        {QStringLiteral("0"), QStringLiteral("a complete, verified image was installed")},
        {QStringLiteral("1"), QStringLiteral("\"BOOTg\" came without one")},
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
    };
    definition.operands = cli::Definition::Operands::None;
    definition.seeAlso = {QStringLiteral("corvanel-flash(1)"), QStringLiteral("corvanel(1)")};
    return definition;
}

// A whole number from `lowest` to `highest` into `value`; false otherwise.
bool readNumber(const QString &text, int lowest, int highest, int &value)
{
    const auto parsed = parseWholeNumber(text, lowest, highest);
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
    options.model.okAtEof = isSet("ok-at-eof");
    options.duplicate = isSet("duplicate");
    options.summaryJson = value("summary-json");
    options.verbose = isSet("verbose");
    result.options = options;
    return result;
}

QString summaryLine(const ImageSummary &s)
{
    return QStringLiteral("summary records=%1 data-records=%2 bytes=%3 low=%4 high=%5 crc32=%6 "
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

QByteArray summaryJson(const ImageSummary &s)
{
    const QJsonObject object{
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
    return QJsonDocument(object).toJson();
}

DevsimServer::DevsimServer(ServerOptions options, QObject *parent)
    : QObject(parent), options_(std::move(options)), model_(options_.model),
      socket_(new QUdpSocket(this)), idleTimer_(new QTimer(this)), random_(options_.seed),
      holdRandom_(options_.seed), buffer_(protocol::kMaxDatagram + 1, Qt::Uninitialized)
{
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
    const BootloaderModel::Outcome outcome = model_.handle(message);
    if (options_.verbose) {
        const QString note =
            outcome.note.isEmpty() ? QString() : QStringLiteral("  (%1)").arg(outcome.note);
        logLine(QStringLiteral("<- %1%2").arg(printable(message), note));
    }
    if (outcome.action == BootloaderModel::Action::Install) {
        emit installed(model_.summary().verified ? 0 : 1);
        return;
    }
    answer(outcome, sender, senderPort);
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
