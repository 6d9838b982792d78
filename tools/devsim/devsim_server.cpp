#include "tools/devsim/devsim_server.h"

#include "engine/protocol.h"
#include "image/memory_image.h"

#include <QCommandLineParser>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>
#include <QUdpSocket>
#include <QVariant>

#include <chrono>
#include <climits>
#include <cstdio>

using namespace Qt::StringLiterals;

namespace corvanel::devsim {

namespace {

constexpr int kReceiveBufferBytes = 1 << 20;
constexpr int kMaxHoldMs = 600000; // the longest any reply may be held back

const char *const kDescription =
    "Bootloader simulator for Corvanel: a UDP peer on loopback that answers the\n"
    "bootloader protocol. \"BOOTi\" gets a \"VER=\" reply; each download record\n"
    "(\"BOOT:...\") is checked (Intel HEX syntax, byte count, checksum, record type)\n"
    "and stored, answered \"OK\" or \"ERROR\"; the end-of-file record gets \"DOWNLOAD\".\n"
    "Verify records (\"BOOT#...\") must repeat the records the download took, in the\n"
    "same order ('#' for ':'), and match the stored image: a record left out,\n"
    "repeated in place of another or changed gets \"ERROR\". The verify end-of-file\n"
    "record gets \"DOWNLOAD\" when the whole pass matched. A new download record\n"
    "after a finished pass or after \"BOOTi\" starts a new image; a verify record\n"
    "after \"BOOTi\" starts the verify pass again. The record just handled, sent\n"
    "again right after (a lost reply), is answered as before and counted once.\n"
    "On \"BOOTg\" it prints a summary line (records, bytes, address range, CRC-32 of\n"
    "the image bytes in address order) and exits.\n"
    "\n"
    "At start it prints \"listening ADDRESS:PORT\" on stdout.\n"
    "Exit codes: 0 a complete, verified image was installed; 1 \"BOOTg\" without one;\n"
    "2 bad options or the port cannot be bound; 3 idle time-out.\n"
    "\n"
    "A record's number (for --fake-download, --late-answer) counts from 1 within its\n"
    "pass; copies sent again are not counted. Faults combine: --delay-ms and\n"
    "--late-answer hold a reply first, --late-copy counts from there, and --reorder\n"
    "adds its own hold to every datagram. A dropped reply has no copies.";

bool parseInt(const QString &text, int lowest, int highest, int &value)
{
    bool ok = false;
    const int parsed = text.toInt(&ok);
    if (!ok || parsed < lowest || parsed > highest)
        return false;
    value = parsed;
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

ParsedCommandLine parseCommandLine(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromLatin1(kDescription));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help and exit."));
    const QCommandLineOption address(
        QStringLiteral("address"),
        QStringLiteral(
            "Bind to this IPv4 address; only 127.0.0.0/8 is allowed (default 127.0.0.1)."),
        QStringLiteral("ip"), QStringLiteral("127.0.0.1"));
    const QCommandLineOption port(
        QStringLiteral("port"),
        QStringLiteral("Bind to this UDP port; 0 lets the system choose (default 111)."),
        QStringLiteral("port"), QStringLiteral("111"));
    const QCommandLineOption dropEvery(QStringLiteral("drop-every"),
                                       QStringLiteral("Drop every Nth reply (N >= 1)."),
                                       QStringLiteral("N"));
    const QCommandLineOption dropReply(
        QStringLiteral("drop-reply"),
        QStringLiteral("Drop reply number N only (counted from 1 over all replies)."),
        QStringLiteral("N"));
    const QCommandLineOption dropRate(
        QStringLiteral("drop-rate"),
        QStringLiteral("Drop this share of replies, 0 to 1, drawn from --seed."),
        QStringLiteral("P"));
    const QCommandLineOption seed(QStringLiteral("seed"),
                                  QStringLiteral("Seed for --drop-rate and --reorder (default 1)."),
                                  QStringLiteral("S"), QStringLiteral("1"));
    const QCommandLineOption errorAt(
        QStringLiteral("error-at"),
        QStringLiteral("Answer \"ERROR\" to download line N of a pass, once, and keep nothing "
                       "of it."),
        QStringLiteral("N"));
    const QCommandLineOption delay(QStringLiteral("delay-ms"),
                                   QStringLiteral("Send each reply D milliseconds late."),
                                   QStringLiteral("D"));
    const QCommandLineOption okAtEof(
        QStringLiteral("ok-at-eof"),
        QStringLiteral("Answer end-of-file records with a plain \"OK\" instead of \"DOWNLOAD\"."));
    const QCommandLineOption duplicate(QStringLiteral("duplicate"),
                                       QStringLiteral("Send every reply twice."));
    const QCommandLineOption lateCopy(
        QStringLiteral("late-copy"),
        QStringLiteral("Send a copy of each reply again D milliseconds after it, so that it "
                       "lands among later replies or in the next pass."),
        QStringLiteral("D"));
    const QCommandLineOption lateCopyToken(
        QStringLiteral("late-copy-token"),
        QStringLiteral("With --late-copy: copy only replies that contain TEXT (e.g. DOWNLOAD)."),
        QStringLiteral("TEXT"));
    const QCommandLineOption reorder(
        QStringLiteral("reorder"),
        QStringLiteral("Hold every datagram sent (replies, copies, fakes) a further random 0 to D "
                       "milliseconds, drawn from --seed, so that datagrams in flight together "
                       "overtake each other."),
        QStringLiteral("D"));
    const QCommandLineOption fakeDownload(
        QStringLiteral("fake-download"),
        QStringLiteral("Send an extra \"DOWNLOAD\" just before the answer to record N of each "
                       "pass, download and verify (also when that answer is dropped)."),
        QStringLiteral("N"));
    const QCommandLineOption lateAnswer(
        QStringLiteral("late-answer"),
        QStringLiteral("Send the answer to record N of the download pass D milliseconds late. A "
                       "tool that sends the record again meanwhile is answered at once, and the "
                       "late answer follows: two answers to one line."),
        QStringLiteral("N:D"));
    const QCommandLineOption idle(
        QStringLiteral("idle-timeout"),
        QStringLiteral("Exit with code 3 after S seconds without a datagram (default: never)."),
        QStringLiteral("S"));
    const QCommandLineOption json(
        QStringLiteral("summary-json"),
        QStringLiteral("On \"BOOTg\" also write the summary as JSON to FILE."),
        QStringLiteral("FILE"));
    const QCommandLineOption verbose(QStringLiteral("verbose"),
                                     QStringLiteral("Log every message and reply on stderr."));
    parser.addOptions({help, address, port, dropEvery, dropReply, dropRate, seed, errorAt, delay,
                       okAtEof, duplicate, lateCopy, lateCopyToken, reorder, fakeDownload,
                       lateAnswer, idle, json, verbose});

    ParsedCommandLine result;
    const auto error = [&result](const QString &text) {
        result.message = text + QStringLiteral("\nTry --help.\n");
        result.isError = true;
        return result;
    };
    if (!parser.parse(arguments))
        return error(parser.errorText());
    if (parser.isSet(help)) {
        result.message = parser.helpText();
        return result;
    }
    if (!parser.positionalArguments().isEmpty())
        return error(
            QStringLiteral("Unexpected argument: %1").arg(parser.positionalArguments().first()));

    ServerOptions options;
    if (!options.address.setAddress(parser.value(address)) ||
        !isAllowedBindAddress(options.address)) {
        return error(
            QStringLiteral("--address %1: only loopback addresses 127.0.0.0/8 may be bound")
                .arg(parser.value(address)));
    }
    options.address.setAddress(options.address.toIPv4Address());
    int value = 0;
    if (!parseInt(parser.value(port), 0, 65535, value))
        return error(QStringLiteral("--port must be a number from 0 to 65535"));
    options.port = static_cast<quint16>(value);
    if (parser.isSet(dropEvery)) {
        if (!parseInt(parser.value(dropEvery), 1, INT_MAX, options.dropEvery))
            return error(QStringLiteral("--drop-every must be a whole number of at least 1"));
    }
    if (parser.isSet(dropReply)) {
        if (!parseInt(parser.value(dropReply), 1, INT_MAX, options.dropReply))
            return error(QStringLiteral("--drop-reply must be a reply number of at least 1"));
    }
    if (parser.isSet(dropRate)) {
        bool ok = false;
        options.dropRate = parser.value(dropRate).toDouble(&ok);
        if (!ok || options.dropRate < 0.0 || options.dropRate > 1.0)
            return error(QStringLiteral("--drop-rate must be a number from 0 to 1"));
    }
    {
        bool ok = false;
        options.seed = parser.value(seed).toUInt(&ok);
        if (!ok)
            return error(QStringLiteral("--seed must be a whole number"));
    }
    if (parser.isSet(errorAt)) {
        if (!parseInt(parser.value(errorAt), 1, INT_MAX, options.model.errorAtLine))
            return error(QStringLiteral("--error-at must be a line number of at least 1"));
    }
    const QString holdRange = QStringLiteral("from 0 to %1").arg(kMaxHoldMs);
    if (parser.isSet(delay)) {
        if (!parseInt(parser.value(delay), 0, kMaxHoldMs, options.delayMs))
            return error(QStringLiteral("--delay-ms must be milliseconds %1").arg(holdRange));
    }
    if (parser.isSet(lateCopy)) {
        int copyMs = 0;
        if (!parseInt(parser.value(lateCopy), 0, kMaxHoldMs, copyMs))
            return error(QStringLiteral("--late-copy must be milliseconds %1").arg(holdRange));
        options.lateCopyMs = copyMs;
    }
    if (parser.isSet(lateCopyToken)) {
        if (!options.lateCopyMs)
            return error(QStringLiteral("--late-copy-token needs --late-copy"));
        options.lateCopyToken = parser.value(lateCopyToken).toLatin1();
        if (options.lateCopyToken.isEmpty())
            return error(QStringLiteral("--late-copy-token must not be empty"));
    }
    if (parser.isSet(reorder)) {
        if (!parseInt(parser.value(reorder), 0, kMaxHoldMs, options.reorderMs))
            return error(QStringLiteral("--reorder must be milliseconds %1").arg(holdRange));
    }
    if (parser.isSet(fakeDownload)) {
        if (!parseInt(parser.value(fakeDownload), 1, INT_MAX, options.fakeDownloadLine))
            return error(QStringLiteral("--fake-download must be a record number of at least 1"));
    }
    if (parser.isSet(lateAnswer)) {
        const QStringList parts = parser.value(lateAnswer).split(QLatin1Char(':'));
        if (parts.size() != 2 || !parseInt(parts[0], 1, INT_MAX, options.lateAnswerLine) ||
            !parseInt(parts[1], 0, kMaxHoldMs, options.lateAnswerMs)) {
            return error(QStringLiteral("--late-answer %1: must be N:D, a record number of at "
                                        "least 1 and milliseconds %2 (e.g. 5:800)")
                             .arg(parser.value(lateAnswer), holdRange));
        }
    }
    if (parser.isSet(idle)) {
        if (!parseInt(parser.value(idle), 1, 86400, options.idleTimeoutSeconds))
            return error(
                QStringLiteral("--idle-timeout must be a number of seconds from 1 to 86400"));
    }
    options.model.okAtEof = parser.isSet(okAtEof);
    options.duplicate = parser.isSet(duplicate);
    options.summaryJson = parser.value(json);
    options.verbose = parser.isSet(verbose);
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
