#include "flash/flash_session.h"

#include <QUdpSocket>

namespace corvanel::flash {

HostDriver::HostDriver(HostSettings settings, const SharedLines &image, const QElapsedTimer &clock,
                       QObject *parent)
    : QObject(parent), run_(std::move(settings), image), clock_(clock)
{
    // Only the device's own address and port answer.
    link_.setSenderCheck(SenderCheck::AddressAndPort);
    timer_.setSingleShot(true);
    // Time-outs as short as a few hundred milliseconds must hold their bound.
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, [this] {
        run_.handleTimeout(now());
        drive();
    });
    connect(&link_, &UdpLink::datagramArrived, this, [this](const QByteArray &datagram) {
        run_.handleDatagram(now(), datagram);
        drive();
    });
    connect(&link_, &UdpLink::strangerArrived, this, [this] { run_.handleStranger(); });
}

HostDriver::~HostDriver()
{
    link_.close();
}

void HostDriver::start()
{
    run_.start(now());
    drive();
}

void HostDriver::interrupt(int signal)
{
    run_.interrupt(now(), signal);
    drive();
}

void HostDriver::drive()
{
    while (const Effect *effect = run_.pollEffect()) {
        switch (effect->kind) {
        case Effect::Kind::Send:
            if (!link_.send(effect->bytes))
                run_.handleSendFailure(now(), link_.socket()->errorString());
            break;
        case Effect::Kind::OpenLink:
            openLink(quint16(effect->value));
            break;
        case Effect::Kind::CloseLink:
            link_.close();
            break;
        default:
            break;
        }
    }
    RunEvent event{RunEvent::Kind::Progress};
    while (run_.pollEvent(event)) {
        switch (event.kind) {
        case RunEvent::Kind::Progress:
            emit progressed();
            break;
        case RunEvent::Kind::AttemptEnded:
            emit attemptEnded(event.report);
            break;
        case RunEvent::Kind::Finished:
            emit finished();
            break;
        }
    }
    // Armed again only when the deadline comes sooner than the timer: each
    // line moves the reply deadline later, and a timer that fires early finds
    // nothing due and is armed for the deadline then. With thousands of hosts
    // every restart costs a walk through the event loop's timer list.
    const auto due = run_.pollTimeout();
    if (!due) {
        timer_.stop();
    } else if (!timer_.isActive() || *due < armedFor_) {
        timer_.start(std::max<qint64>(0, (*due - now()).count()));
        armedFor_ = *due;
    }
}

void HostDriver::openLink(quint16 lastPort)
{
    const HostSettings &settings = run_.settings();
    LinkSettings link{settings.address.isEmpty() ? settings.host : settings.address,
                      QString::number(settings.remotePort),
                      {}};
    std::optional<OperatorError> error;
    for (int bind = 0; bind < kBindAttempts; ++bind) {
        link.localPort =
            settings.localPort ? QString::number(*settings.localPort) : initialLocalPort();
        // A random port is drawn anew, never the last attempt's.
        for (int draw = 0; !settings.localPort && draw < 8 &&
                           link.localPort == QString::number(lastPort);
             ++draw)
            link.localPort = initialLocalPort();
        error = link_.open(link);
        // Only a random port may be drawn again: a given one is the user's.
        if (!error || settings.localPort || error->number != errnum::kAddressInUse)
            break;
    }
    // Every port drawn was taken (hosts enough to fill the range, or other
    // programs on it): a port the system chooses serves as well.
    if (error && !settings.localPort && error->number == errnum::kAddressInUse) {
        link.localPort = QStringLiteral("0");
        error = link_.open(link);
    }
    if (error)
        run_.linkFailed(now(), error->text);
    else
        run_.linkOpened(now(), link_.localPort());
}

FlashSession::FlashSession(const QList<HostSettings> &hosts, const SharedLines &image,
                           QObject *parent)
    : QObject(parent)
{
    clock_.start();
    hosts_.reserve(size_t(hosts.size()));
    for (const HostSettings &settings : hosts) {
        const int index = int(hosts_.size());
        auto host = std::make_unique<HostDriver>(settings, image, clock_);
        connect(host.get(), &HostDriver::progressed, this,
                [this, index] { emit hostProgressed(index); });
        connect(host.get(), &HostDriver::attemptEnded, this,
                [this, index](const HostReport &report) { emit attemptEnded(index, report); });
        connect(host.get(), &HostDriver::finished, this, [this, index] {
            ++finishedCount_;
            emit hostFinished(index);
            // From the event loop, also when every board ended inside start().
            if (isFinished())
                QMetaObject::invokeMethod(this, &FlashSession::finished, Qt::QueuedConnection);
        });
        hosts_.push_back(std::move(host));
    }
}

FlashSession::~FlashSession() = default;

void FlashSession::start()
{
    for (auto &host : hosts_)
        host->start();
}

void FlashSession::interrupt(int signal)
{
    for (auto &host : hosts_)
        host->interrupt(signal);
}

QList<HostReport> FlashSession::reports() const
{
    QList<HostReport> list;
    for (const auto &host : hosts_)
        list.append(host->report());
    return list;
}

} // namespace corvanel::flash
