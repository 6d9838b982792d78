#include "flash/board_scan.h"

#include "engine/protocol.h"

namespace corvanel::flash {

BoardScan::BoardScan(ScanSettings settings, std::optional<quint16> localPort, QObject *parent)
    : QObject(parent), run_(std::move(settings)), localPort_(localPort)
{
    // A bounded batch per notice: the rest is announced again from the event
    // loop, so a flood of answers cannot hold off the scan's end.
    link_.setReadBatch(256);
    timer_.setSingleShot(true);
    // The pace is a few milliseconds.
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, [this] {
        link_.readPending(); // what came before the deadline counts
        run_.handleTimeout(now());
        drive();
    });
    connect(&link_, &UdpLink::heard, this,
            [this](quint32 address, quint16 port, QByteArrayView datagram) {
                run_.handleDatagram(now(), address, port, datagram);
                drive();
            });
}

std::optional<QString> BoardScan::start()
{
    const quint16 port = localPort_.value_or(0);
    if (const auto error = link_.listen(port)) {
        return QStringLiteral("cannot open the scan socket on local port %1: %2")
            .arg(port)
            .arg(error->reason);
    }
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
    link_.readPending();
    run_.interrupt(now(), signal);
    drive();
}

void BoardScan::drive()
{
    while (const auto to = run_.pollInquiry()) {
        if (!link_.sendTo(to->address, to->port, protocol::kInquiry))
            run_.handleSendFailure(now(), link_.errorString());
    }
    while (run_.pollFound()) {
    } // the boards are listed once the scan is over
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
    link_.close();
    QMetaObject::invokeMethod(this, &BoardScan::finished, Qt::QueuedConnection);
}

} // namespace corvanel::flash
