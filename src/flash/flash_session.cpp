#include "flash/flash_session.h"

#include "link/platform_arp.h"

#include <QHostAddress>
#include <QUdpSocket>

namespace corvanel::flash {

namespace {

QHostAddress laneAddress(const HostSettings &settings)
{
    return QHostAddress(settings.linkHost());
}

// "HOST:PORT" as given.
QString hostLabel(const HostSettings &host)
{
    return host.host + QLatin1Char(':') + QString::number(host.remotePort);
}

} // namespace

LaneDriver::LaneDriver(const LaneSettings &settings, const SharedLines &image,
                       const QElapsedTimer &clock, Trace *trace, QObject *parent)
    : QObject(parent), lane_(settings, image), clock_(clock), trace_(trace)
{
    if (trace_)
        traceLabel_ = hostLabel(settings.host);
    // Only the device's own address answers; the lane decides which port.
    link_.setSenderCheck(SenderCheck::Address);
    timer_.setSingleShot(true);
    // Time-outs as short as a few hundred milliseconds must hold their bound.
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, [this] {
        lane_.handleTimeout(now());
        drive();
    });
    connect(&link_, &UdpLink::datagramArrived, this,
            [this](const QByteArray &datagram, quint16 fromPort) {
        const Millis at = now();
        const QString note = lane_.handleDatagram(at, datagram, fromPort);
        if (trace_)
            trace_->datagram(at, traceLabel_, Trace::Direction::In, datagram, note);
        drive();
    });
    connect(&link_, &UdpLink::strangerArrived, this,
            [this](const QHostAddress &sender, quint16 port, QByteArrayView datagram) {
                lane_.handleStranger();
                if (trace_) {
                    trace_->datagram(now(), traceLabel_, Trace::Direction::In, datagram,
                                     QStringLiteral("left out: from another address or port "
                                                    "(%1:%2)")
                                         .arg(sender.toString())
                                         .arg(port));
                }
            });
}

LaneDriver::~LaneDriver()
{
    link_.close();
}

void LaneDriver::start()
{
    lane_.start(now());
    drive();
}

void LaneDriver::interrupt(int signal)
{
    lane_.interrupt(now(), signal);
    drive();
}

void LaneDriver::drive()
{
    while (const Effect *effect = lane_.pollEffect()) {
        switch (effect->kind) {
        case Effect::Kind::Send:
            send(effect->bytes);
            break;
        case Effect::Kind::OpenLink:
            openLink(quint16(effect->value));
            break;
        case Effect::Kind::CloseLink:
            link_.close();
            break;
        case Effect::Kind::ReadNeighbour:
            lane_.neighbourRead(now(), platform::neighbourMac(laneAddress(lane_.settings().host)));
            break;
        case Effect::Kind::FlushArp: {
            // Where the process may; a failure leaves the entry to age out.
            // Loopback has no entry to flush.
            const QHostAddress address = laneAddress(lane_.settings().host);
            if (!address.isLoopback() && !platform::flushNeighbour(address))
                emit flushRefused(address.toString());
            break;
        }
        default:
            break;
        }
    }
    LaneEvent event{LaneEvent::Kind::Progress};
    while (lane_.pollEvent(event)) {
        switch (event.kind) {
        case LaneEvent::Kind::Progress:
            emit progressed();
            break;
        case LaneEvent::Kind::AttemptEnded:
            emit attemptEnded(event.report, event.another);
            break;
        case LaneEvent::Kind::BoardDone:
            emit boardDone(event.report);
            break;
        case LaneEvent::Kind::BoardBack:
            emit boardBack(event.report);
            break;
        case LaneEvent::Kind::Finished:
            emit finished();
            break;
        }
    }
    // Armed again only when the deadline comes sooner than the timer: each
    // line moves the reply deadline later, and a timer that fires early finds
    // nothing due and is armed for the deadline then. With thousands of hosts
    // every restart costs a walk through the event loop's timer list.
    const auto due = lane_.pollTimeout();
    if (!due) {
        timer_.stop();
    } else if (!timer_.isActive() || *due < armedFor_) {
        timer_.start(std::max<qint64>(0, (*due - now()).count()));
        armedFor_ = *due;
    }
}

void LaneDriver::send(const QByteArray &datagram)
{
    const bool sent = link_.send(datagram);
    const QString error = sent ? QString() : link_.socket()->errorString();
    // Traced before the lane hears of a failure: the datagram is the lane's
    // until the next call in.
    if (trace_) {
        trace_->datagram(now(), traceLabel_, Trace::Direction::Out, datagram,
                         sent ? QStringLiteral("sent") : QStringLiteral("not sent: ") + error);
    }
    if (!sent)
        lane_.handleSendFailure(now(), error);
}

void LaneDriver::openLink(quint16 lastPort)
{
    const HostSettings &settings = lane_.settings().host;
    LinkSettings link{settings.linkHost(), QString::number(settings.remotePort), {}};
    std::optional<OperatorError> error;
    for (int bind = 0; bind < kBindAttempts; ++bind) {
        link.localPort =
            settings.localPort ? QString::number(*settings.localPort) : initialLocalPort();
        // A random port is drawn anew, never the last one's.
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
        lane_.linkFailed(now(), error->text);
    else
        lane_.linkOpened(now(), link_.localPort());
}

FlashSession::FlashSession(const QList<HostSettings> &hosts, const SharedLines &image,
                           const Production &production, Trace *trace, QObject *parent)
    : QObject(parent), production_(production)
{
    clock_.start();
    lanes_.reserve(size_t(hosts.size()));
    // A board done at one fixture is known at every other.
    const auto done = std::make_shared<DoneBoards>();
    for (const HostSettings &host : hosts) {
        const int index = int(lanes_.size());
        const LaneSettings settings{host,
                                    production.continuous,
                                    production.count,
                                    production.goneTime,
                                    production.flushArp,
                                    done};
        auto lane = std::make_unique<LaneDriver>(settings, image, clock_, trace);
        connect(lane.get(), &LaneDriver::progressed, this,
                [this, index] { emit laneProgressed(index); });
        connect(lane.get(), &LaneDriver::attemptEnded, this,
                [this, index](const HostReport &report, bool another) {
                    emit attemptEnded(index, report, another);
                });
        connect(lane.get(), &LaneDriver::boardDone, this,
                [this, index](const HostReport &report) { emit boardDone(index, report); });
        connect(lane.get(), &LaneDriver::flushRefused, this, [this](const QString &address) {
            if (!flushRefusedOnce_)
                emit flushRefused(address);
            flushRefusedOnce_ = true;
        });
        connect(lane.get(), &LaneDriver::boardBack, this,
                [this, index](const HostReport &report) { emit boardBack(index, report); });
        connect(lane.get(), &LaneDriver::finished, this, [this, index] {
            ++finishedCount_;
            emit laneFinished(index);
            // From the event loop, also when every lane ended inside start().
            if (isFinished())
                QMetaObject::invokeMethod(this, &FlashSession::finished, Qt::QueuedConnection);
        });
        lanes_.push_back(std::move(lane));
    }
}

FlashSession::~FlashSession() = default;

void FlashSession::start()
{
    for (auto &lane : lanes_)
        lane->start();
}

void FlashSession::interrupt(int signal)
{
    for (auto &lane : lanes_)
        lane->interrupt(signal);
}

QString FlashSession::address(int lane) const
{
    return hostLabel(lanes_[size_t(lane)]->lane().settings().host);
}

QList<HostReport> FlashSession::reports() const
{
    QList<HostReport> list;
    for (const auto &lane : lanes_) {
        if (!production_.continuous) {
            list.append(lane->report());
            continue;
        }
        // A lane that could not go on is a row of its own, with its reason.
        list += lane->lane().boards();
        if (const auto &stopped = lane->lane().stopped())
            list.append(*stopped);
    }
    return list;
}

QList<HostReport> FlashSession::boards() const
{
    QList<HostReport> list;
    for (const auto &lane : lanes_)
        list += lane->lane().boards();
    return list;
}

QList<int> FlashSession::laneCodes() const
{
    QList<int> codes;
    for (const auto &lane : lanes_) {
        if (const auto &stopped = lane->lane().stopped())
            codes.append(stopped->exitCode);
        if (const int signal = lane->lane().stopSignal())
            codes.append(exitCodeFor(Outcome::Interrupted, signal));
    }
    return codes;
}

} // namespace corvanel::flash
