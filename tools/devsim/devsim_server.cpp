#include "tools/devsim/devsim_server.h"

#include "engine/protocol.h"

#include <QCommandLineParser>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>
#include <QUdpSocket>
#include <QVariant>

#include <climits>
#include <cstdio>

namespace corvanel::devsim {

namespace {

constexpr int kReceiveBufferBytes = 1 << 20;

const char *const kDescription =
    "Bootloader simulator for Corvanel: a UDP peer on loopback that answers the\n"
    "bootloader protocol. \"BOOTi\" gets a \"VER=\" reply; each download record\n"
    "(\"BOOT:...\") is checked (Intel HEX syntax, byte count, checksum, record type)\n"
    "and stored, answered \"OK\" or \"ERROR\"; the end-of-file record gets \"DOWNLOAD\".\n"
    "Verify records (\"BOOT#...\") are compared with the stored image; the verify\n"
    "end-of-file record gets \"DOWNLOAD\" when the whole pass matched. A new download\n"
    "record after a finished pass or after \"BOOTi\" starts a new image. The record\n"
    "just taken, sent again (after a lost reply), is answered as before and counted\n"
    "once.\n"
    "On \"BOOTg\" it prints a summary line (records, bytes, address range, CRC-32 of\n"
    "the image bytes in address order) and exits.\n"
    "\n"
    "At start it prints \"listening ADDRESS:PORT\" on stdout.\n"
    "Exit codes: 0 a complete, verified image was installed; 1 \"BOOTg\" without one;\n"
    "2 bad options or the port cannot be bound; 3 idle time-out.";

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
                                  QStringLiteral("Seed for --drop-rate (default 1)."),
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
                       okAtEof, duplicate, idle, json, verbose});

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
    if (parser.isSet(delay)) {
        if (!parseInt(parser.value(delay), 0, 600000, options.delayMs))
            return error(QStringLiteral("--delay-ms must be a number from 0 to 600000"));
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
        .arg(hex32(s.lowAddress), hex32(s.highAddress), hex32(s.crc32),
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
        {QStringLiteral("lowAddress"), hex32(s.lowAddress)},
        {QStringLiteral("highAddress"), hex32(s.highAddress)},
        {QStringLiteral("crc32"), hex32(s.crc32)},
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
      buffer_(protocol::kMaxDatagram + 1, Qt::Uninitialized)
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
    answer(outcome.reply, sender, senderPort);
}

bool DevsimServer::dropNext()
{
    if (options_.dropEvery > 0 && replies_ % options_.dropEvery == 0)
        return true;
    if (replies_ == options_.dropReply)
        return true;
    return options_.dropRate > 0.0 && random_.generateDouble() < options_.dropRate;
}

void DevsimServer::answer(const QByteArray &reply, const QHostAddress &to, quint16 port)
{
    ++replies_;
    if (dropNext()) {
        ++dropped_;
        if (options_.verbose)
            logLine(QStringLiteral("-> (dropped) %1").arg(printable(reply)));
        return;
    }
    const int copies = options_.duplicate ? 2 : 1;
    const auto send = [this, reply, to, port, copies] {
        for (int i = 0; i < copies; ++i) {
            if (socket_->writeDatagram(reply, to, port) == reply.size())
                ++sent_;
        }
        if (options_.verbose)
            logLine(QStringLiteral("-> %1").arg(printable(reply)));
    };
    if (options_.delayMs > 0)
        QTimer::singleShot(options_.delayMs, this, send);
    else
        send();
}

} // namespace corvanel::devsim
