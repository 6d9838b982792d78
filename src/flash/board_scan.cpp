#include "flash/board_scan.h"

#include "engine/protocol.h"
#include "engine/run_report.h"
#include "engine/run_report.h"
#include "flash/report_writers.h"

#include <QDateTime>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUdpSocket>
#include <QVariant>

#include <algorithm>

#ifdef Q_OS_UNIX
#include <sys/socket.h>
#endif

namespace corvanel::flash {

namespace {

// Room for a subnet's answers arriving at once.
constexpr int kReceiveBufferBytes = 1 << 20;

quint64 boardKey(quint32 address, quint16 port)
{
    return (quint64(address) << 16) | port;
}

} // namespace

BoardScan::BoardScan(ScanSettings settings, QObject *parent)
    : QObject(parent), settings_(std::move(settings)), socket_(new QUdpSocket(this)),
      buffer_(protocol::kMaxDatagram + 1, Qt::Uninitialized)
{
    outcome_.destinations = int(settings_.destinations.size());
    for (const ScanDestination &d : std::as_const(settings_.destinations))
        ports_.insert(d.port);
    paceTimer_.setInterval(kPace);
    paceTimer_.setTimerType(Qt::PreciseTimer);
    roundTimer_.setSingleShot(true);
    endTimer_.setSingleShot(true);
    connect(&paceTimer_, &QTimer::timeout, this, &BoardScan::sendBurst);
    connect(&roundTimer_, &QTimer::timeout, this, &BoardScan::beginRound);
    connect(&endTimer_, &QTimer::timeout, this, &BoardScan::finish);
    connect(socket_, &QUdpSocket::readyRead, this, &BoardScan::readPending);
}

BoardScan::~BoardScan() = default;

std::optional<QString> BoardScan::start()
{
    const quint16 port = settings_.localPort.value_or(0);
    if (!socket_->bind(QHostAddress::AnyIPv4, port, QAbstractSocket::DontShareAddress)) {
        return QStringLiteral("cannot open the scan socket on local port %1: %2")
            .arg(port)
            .arg(socket_->errorString());
    }
    socket_->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption,
                             QVariant(kReceiveBufferBytes));
#ifdef Q_OS_UNIX
    // Qt allows broadcast on its UDP sockets already; said here, as a
    // broadcast target depends on it.
    const int on = 1;
    ::setsockopt(int(socket_->socketDescriptor()), SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
#endif
    clock_.start();
    outcome_.start = QDateTime::currentDateTimeUtc();
    beginRound();
    return std::nullopt;
}

void BoardScan::interrupt()
{
    if (finished_ || outcome_.interrupted)
        return;
    outcome_.interrupted = true;
    QMetaObject::invokeMethod(this, &BoardScan::finish, Qt::QueuedConnection);
}

void BoardScan::beginRound()
{
    ++outcome_.rounds;
    next_ = 0;
    sendBurst();
    if (next_ < settings_.destinations.size())
        paceTimer_.start();
}

void BoardScan::sendBurst()
{
    const qsizetype end = std::min(next_ + kBurst, settings_.destinations.size());
    for (; next_ < end; ++next_) {
        const ScanDestination &d = settings_.destinations[next_];
        if (socket_->writeDatagram(protocol::kInquiry.data(), protocol::kInquiry.size(),
                                   QHostAddress(d.address), d.port) == protocol::kInquiry.size()) {
            ++outcome_.sent;
            continue;
        }
        ++outcome_.sendErrors;
        if (outcome_.sendErrorTexts.size() < kErrorTextsKept) {
            outcome_.sendErrorTexts.append(QStringLiteral("cannot send \"BOOTi\" to %1:%2: %3")
                                               .arg(ipv4Text(d.address))
                                               .arg(d.port)
                                               .arg(socket_->errorString()));
        }
    }
    if (next_ < settings_.destinations.size())
        return;
    paceTimer_.stop();
    roundSent();
}

void BoardScan::roundSent()
{
    using std::chrono::milliseconds;
    const milliseconds time = settings_.time;
    const milliseconds elapsed(clock_.elapsed());
    if (outcome_.rounds < kRounds) {
        const milliseconds due = std::max(elapsed, time * outcome_.rounds / 4);
        // A round that cannot begin by half the time would leave its answers
        // too little of it; a wide range is asked fewer times instead.
        if (due <= time / 2) {
            roundTimer_.start(due - elapsed);
            return;
        }
    }
    endTimer_.start(std::max(time - elapsed, time / 4));
}

void BoardScan::readPending()
{
    // A bounded batch: the rest is announced again from the event loop, so a
    // flood cannot hold off the scan's end.
    constexpr int kReadBatch = 256;
    for (int taken = 0; taken < kReadBatch && socket_->hasPendingDatagrams(); ++taken) {
        QHostAddress sender;
        quint16 senderPort = 0;
        const qint64 size =
            socket_->readDatagram(buffer_.data(), buffer_.size(), &sender, &senderPort);
        if (size < 0)
            break;
        bool isV4 = false;
        const quint32 address = sender.toIPv4Address(&isV4);
        // Boards on a broadcast answer from their own address, so any address
        // counts; the port must be one the scan asked.
        const auto version = isV4 && ports_.contains(senderPort)
                                 ? versionText(protocol::trimTrailingSpaces(
                                       QByteArrayView(buffer_.constData(), size)))
                                 : std::nullopt;
        if (!version) {
            ++outcome_.ignored;
            continue;
        }
        const quint64 key = boardKey(address, senderPort);
        if (found_.contains(key))
            continue;
        found_.insert(key);
        outcome_.boards.append({address, senderPort, *version, clock_.elapsed()});
        emit boardFound(outcome_.boards.back());
    }
}

void BoardScan::finish()
{
    if (finished_)
        return;
    finished_ = true;
    paceTimer_.stop();
    roundTimer_.stop();
    endTimer_.stop();
    readPending(); // what came while the last timer fired
    socket_->close();
    outcome_.ms = clock_.elapsed();
    outcome_.end = QDateTime::currentDateTimeUtc();
    std::sort(outcome_.boards.begin(), outcome_.boards.end(),
              [](const FoundBoard &a, const FoundBoard &b) {
                  return boardKey(a.address, a.port) < boardKey(b.address, b.port);
              });
    emit finished();
}

QString scanTable(const ScanOutcome &outcome, int exitCode)
{
    QList<QStringList> rows{{QStringLiteral("HOST"), QStringLiteral("VER")}};
    for (const FoundBoard &b : outcome.boards) {
        rows.append({QStringLiteral("%1:%2").arg(ipv4Text(b.address)).arg(b.port),
                     quotedReply(b.version.toLatin1())});
    }
    qsizetype width = 0;
    for (const QStringList &row : rows)
        width = std::max(width, row[0].size());
    QString text;
    if (!outcome.boards.isEmpty()) {
        for (const QStringList &row : rows)
            text += row[0].leftJustified(width) + QStringLiteral("  ") + row[1] + QLatin1Char('\n');
    }
    const int count = int(outcome.boards.size());
    text += QStringLiteral("%1; %2 address%3 asked %4 time%5 in %6%7; exit code %8\n")
                .arg(count == 0   ? QStringLiteral("no board answered")
                     : count == 1 ? QStringLiteral("1 board answered")
                                  : QStringLiteral("%1 boards answered").arg(count))
                .arg(outcome.destinations)
                .arg(outcome.destinations == 1 ? QString() : QStringLiteral("es"))
                .arg(outcome.rounds)
                .arg(outcome.rounds == 1 ? QString() : QStringLiteral("s"))
                .arg(timeText(double(outcome.ms) / 1000.0))
                .arg(outcome.interrupted ? QStringLiteral(" (interrupted)") : QString())
                .arg(exitCode);
    return text;
}

QByteArray scanJson(const ScanOutcome &outcome, const QString &toolVersion,
                    std::chrono::milliseconds scanTime, int exitCode)
{
    QJsonArray boards;
    for (const FoundBoard &b : outcome.boards) {
        boards.append(QJsonObject{
            {QStringLiteral("host"), ipv4Text(b.address)},
            {QStringLiteral("port"), b.port},
            {QStringLiteral("deviceVersion"), b.version},
            {QStringLiteral("seconds"), double(b.ms) / 1000.0},
        });
    }
    const QJsonObject root{
        {QStringLiteral("schemaVersion"), kReportSchemaVersion},
        {QStringLiteral("toolVersion"), toolVersion},
        {QStringLiteral("start"), utcText(outcome.start)},
        {QStringLiteral("end"), utcText(outcome.end)},
        {QStringLiteral("scanTime"), double(scanTime.count()) / 1000.0},
        {QStringLiteral("seconds"), double(outcome.ms) / 1000.0},
        {QStringLiteral("destinations"), outcome.destinations},
        {QStringLiteral("rounds"), outcome.rounds},
        {QStringLiteral("sent"), outcome.sent},
        {QStringLiteral("sendErrors"), outcome.sendErrors},
        {QStringLiteral("ignored"), outcome.ignored},
        {QStringLiteral("interrupted"), outcome.interrupted},
        {QStringLiteral("exitCode"), exitCode},
        {QStringLiteral("ok"), exitCode == exitcode::kOk},
        {QStringLiteral("boards"), boards},
    };
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

} // namespace corvanel::flash
