#include "flash/board_scan.h"

#include "engine/protocol.h"
#include "engine/run_report.h"
#include "records/run_records.h"

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

} // namespace

BoardScan::BoardScan(ScanSettings settings, std::optional<quint16> localPort, QObject *parent)
    : QObject(parent), run_(std::move(settings)), localPort_(localPort),
      socket_(new QUdpSocket(this)), buffer_(protocol::kMaxDatagram + 1, Qt::Uninitialized)
{
    timer_.setSingleShot(true);
    // The pace is a few milliseconds.
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, [this] {
        readPending(); // what came before the deadline counts
        run_.handleTimeout(now());
        drive();
    });
    connect(socket_, &QUdpSocket::readyRead, this, [this] {
        readPending();
        drive();
    });
}

BoardScan::~BoardScan() = default;

std::optional<QString> BoardScan::start()
{
    const quint16 port = localPort_.value_or(0);
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
    started_ = QDateTime::currentDateTimeUtc();
    run_.start(now());
    drive();
    return std::nullopt;
}

void BoardScan::interrupt(int signal)
{
    if (run_.isFinished())
        return;
    readPending();
    run_.interrupt(now(), signal);
    drive();
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
        run_.handleDatagram(now(), address, isV4 ? senderPort : 0,
                            QByteArrayView(buffer_.constData(), size));
    }
}

void BoardScan::drive()
{
    while (const auto to = run_.pollInquiry()) {
        if (socket_->writeDatagram(protocol::kInquiry.data(), protocol::kInquiry.size(),
                                   QHostAddress(to->address),
                                   to->port) != protocol::kInquiry.size())
            run_.handleSendFailure(now(), socket_->errorString());
    }
    while (const auto board = run_.pollFound())
        emit boardFound(*board);
    if (!run_.isFinished()) {
        const auto due = run_.pollTimeout();
        if (due)
            timer_.start(std::max<qint64>(0, (*due - now()).count()));
        else
            timer_.stop();
        return;
    }
    if (closed_)
        return;
    closed_ = true;
    timer_.stop();
    socket_->close();
    QMetaObject::invokeMethod(this, &BoardScan::finished, Qt::QueuedConnection);
}

} // namespace corvanel::flash
