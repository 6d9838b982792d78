#include "flash/flash_session.h"

#include "link/platform_arp.h"
#include "records/run_records.h"

#include <QHostAddress>
#include <QUdpSocket>

namespace corvanel::flash {

using namespace records;

// One address: its board and its socket.
struct FlashSession::Lane {
    Lane(const HostSettings &host, const Production &production, const SharedLines &image)
        : board(Policy::strict(host.limits), host, production, image),
          label(host.host + QLatin1Char(':') + QString::number(host.remotePort)),
          address(host.linkHost())
    {
    }
    Board board;
    UdpLink link;
    QString label;                   // "HOST:PORT" as given
    QHostAddress address;            // what the link talks to
    std::optional<Millis> scheduled; // the deadline in the heap
    quint64 generation = 0;
};

FlashSession::FlashSession(const QList<HostSettings> &hosts, const SharedLines &image,
                           const Production &production, Trace *trace, QObject *parent)
    : QObject(parent), production_(production), trace_(trace)
{
    clock_.start();
    // A board done at one fixture is known at every other.
    if (!production_.doneBoards)
        production_.doneBoards = std::make_shared<DoneBoards>();
    lanes_.reserve(size_t(hosts.size()));
    for (const HostSettings &host : hosts) {
        const int index = int(lanes_.size());
        lanes_.push_back(std::make_unique<Lane>(host, production_, image));
        UdpLink &link = lanes_.back()->link;
        // The link hears one device's address; the board decides which port
        // is the device's.
        link.setSenderCheck(SenderCheck::OneDevice);
        connect(&link, &UdpLink::datagramArrived, this,
                [this, index](const QByteArray &datagram, quint16 fromPort) {
                    Lane &lane = *lanes_[size_t(index)];
                    const Millis at = now();
                    const Heard heard = lane.board.handleDatagram(at, datagram, fromPort);
                    if (trace_) {
                        trace_->datagram(at, lane.label, Trace::Direction::In, datagram,
                                         Trace::note(heard, fromPort, lane.board.devicePort(),
                                                     lane.board.settings().remotePort));
                    }
                    drive(index);
                });
        connect(&link, &UdpLink::strangerArrived, this,
                [this, index](const QHostAddress &sender, quint16 port, QByteArrayView datagram) {
                    Lane &lane = *lanes_[size_t(index)];
                    lane.board.handleStranger();
                    if (trace_) {
                        trace_->datagram(now(), lane.label, Trace::Direction::In, datagram,
                                         QStringLiteral("left out: from another address or port "
                                                        "(%1:%2)")
                                             .arg(sender.toString())
                                             .arg(port));
                    }
                });
    }
    timer_.setSingleShot(true);
    // Time-outs as short as a few hundred milliseconds must hold their bound.
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, &FlashSession::fireDue);
}

FlashSession::~FlashSession()
{
    for (auto &lane : lanes_)
        lane->link.close();
}

void FlashSession::start()
{
    for (int i = 0; i < laneCount(); ++i) {
        lanes_[size_t(i)]->board.start(now());
        drive(i);
    }
}

void FlashSession::interrupt(int signal)
{
    for (int i = 0; i < laneCount(); ++i) {
        lanes_[size_t(i)]->board.interrupt(now(), signal);
        drive(i);
    }
}

// Carries out what lane `index`'s board asked for and passes on what it told.
void FlashSession::drive(int index)
{
    Lane &lane = *lanes_[size_t(index)];
    bool moved = false;
    while (const BoardOutput *output = lane.board.poll()) {
        if (const auto *effect = std::get_if<LinkEffect>(output)) {
            switch (effect->kind) {
            case LinkEffect::Kind::Send:
                send(index, effect->bytes);
                break;
            case LinkEffect::Kind::OpenLink:
                openLink(index, *effect);
                break;
            case LinkEffect::Kind::CloseLink:
                lane.link.close();
                break;
            case LinkEffect::Kind::FlushNeighbour:
            case LinkEffect::Kind::FlushArpCache:
                // Where the process may; a failure leaves the entry to age
                // out. Loopback has no entry to flush.
                if (!lane.address.isLoopback() && !platform::flushNeighbour(lane.address) &&
                    !std::exchange(flushRefusedOnce_, true))
                    emit flushRefused(lane.address.toString());
                break;
            case LinkEffect::Kind::ReadNeighbour: {
                const auto mac = platform::neighbourMac(lane.address);
                lane.board.neighbourRead(
                    now(), mac,
                    doneCheck_ ? doneCheck_(lane.board.settings(), lane.board.boardAsked(), mac)
                               : QByteArray());
                break;
            }
            }
            continue;
        }
        const BoardEvent &event = std::get<BoardEvent>(*output);
        switch (event.kind) {
        case BoardEvent::Kind::AttemptEnded:
            emit attemptEnded(index, *event.report, event.another);
            break;
        case BoardEvent::Kind::BoardDone:
            emit boardDone(index, *event.report);
            break;
        case BoardEvent::Kind::BoardBack:
            emit boardBack(index, *event.report);
            break;
        case BoardEvent::Kind::Finished:
            ++finishedCount_;
            emit laneFinished(index);
            // From the event loop, also when every lane ended inside start().
            if (isFinished())
                QMetaObject::invokeMethod(this, &FlashSession::finished, Qt::QueuedConnection);
            break;
        case BoardEvent::Kind::ReplyArrived:
        case BoardEvent::Kind::Inquired:
            break;
        default:
            moved = true;
            break;
        }
    }
    if (moved)
        emit laneProgressed(index);
    schedule(index);
}

void FlashSession::send(int index, const QByteArray &datagram)
{
    Lane &lane = *lanes_[size_t(index)];
    const bool sent = lane.link.send(datagram);
    const QString error = sent ? QString() : lane.link.socket()->errorString();
    // Traced before the board hears of a failure: the datagram is the
    // board's until the next call in.
    if (trace_) {
        trace_->datagram(now(), lane.label, Trace::Direction::Out, datagram,
                         sent ? QStringLiteral("sent") : QStringLiteral("not sent: ") + error);
    }
    if (!sent)
        lane.board.handleSendFailure(now(), error);
}

void FlashSession::openLink(int index, const LinkEffect &effect)
{
    Lane &lane = *lanes_[size_t(index)];
    const HostSettings &host = lane.board.settings();
    const auto error =
        lane.link.openDrawing(host.linkHost(), host.remotePort, effect.localPort, effect.avoidPort);
    if (error)
        lane.board.linkFailed(now(), problemText(*error));
    else
        lane.board.linkOpened(now(), lane.link.localPort());
}

// The lane's next deadline into the heap, when it changed.
void FlashSession::schedule(int index)
{
    Lane &lane = *lanes_[size_t(index)];
    const auto next = lane.board.nextDeadline();
    if (next == lane.scheduled)
        return;
    lane.scheduled = next;
    ++lane.generation;
    if (next)
        due_.push({*next, index, lane.generation});
    armTimer();
}

void FlashSession::armTimer()
{
    // Entries a lane has moved past are dropped as they surface.
    while (!due_.empty()) {
        const Due &top = due_.top();
        const Lane &lane = *lanes_[size_t(top.lane)];
        if (top.generation == lane.generation && lane.scheduled == top.at)
            break;
        due_.pop();
    }
    if (due_.empty()) {
        timer_.stop();
        armedFor_.reset();
        return;
    }
    const Millis at = due_.top().at;
    if (timer_.isActive() && armedFor_ && *armedFor_ <= at)
        return;
    armedFor_ = at;
    timer_.start(int(std::max<qint64>(0, (at - now()).count())));
}

void FlashSession::fireDue()
{
    armedFor_.reset();
    const Millis at = now();
    std::vector<int> fired;
    while (!due_.empty() && due_.top().at <= at) {
        const Due top = due_.top();
        due_.pop();
        Lane &lane = *lanes_[size_t(top.lane)];
        if (top.generation != lane.generation)
            continue;
        lane.scheduled.reset();
        fired.push_back(top.lane);
    }
    for (const int index : fired) {
        Lane &lane = *lanes_[size_t(index)];
        if (trace_ && traceTimers_) {
            QStringList names;
            for (int t = 0; t < int(Board::Timer::Count); ++t) {
                const auto due = lane.board.timer(Board::Timer(t));
                if (due && *due <= at)
                    names << Board::timerName(Board::Timer(t));
            }
            trace_->timers(at, lane.label, names.join(QStringLiteral(", ")));
        }
        lane.board.handleTimeout(at);
        drive(index);
    }
    armTimer();
}

LaneSnapshot FlashSession::snapshot(int lane) const
{
    return lanes_[size_t(lane)]->board.laneSnapshot(now());
}

QString FlashSession::address(int lane) const
{
    return lanes_[size_t(lane)]->label;
}

QList<HostReport> FlashSession::reports() const
{
    QList<HostReport> list;
    for (const auto &lane : lanes_) {
        if (!production_.continuous) {
            list.append(lane->board.report(now()));
            continue;
        }
        // A lane that could not go on is a row of its own, with its reason.
        list += lane->board.boards();
        if (const auto &stopped = lane->board.stopped())
            list.append(*stopped);
    }
    return list;
}

QList<HostReport> FlashSession::boards() const
{
    QList<HostReport> list;
    for (const auto &lane : lanes_)
        list += lane->board.boards();
    return list;
}

QList<int> FlashSession::laneCodes() const
{
    QList<int> codes;
    for (const auto &lane : lanes_) {
        if (const auto &stopped = lane->board.stopped())
            codes.append(stopped->exitCode);
        if (const int signal = lane->board.stopSignal())
            codes.append(exitCodeFor(Outcome::Interrupted, signal));
    }
    return codes;
}

} // namespace corvanel::flash
