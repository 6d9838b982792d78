#include "engine/lane_run.h"

#include "engine/protocol.h"

#include <algorithm>

namespace corvanel {

LaneRun::LaneRun(LaneSettings settings, SharedLines image)
    : settings_(std::move(settings)), image_(std::move(image))
{
}

void LaneRun::push(Effect::Kind kind, QByteArray bytes, qint64 value)
{
    effects_.push({kind, value, {}, std::move(bytes)});
}

void LaneRun::start(Millis now)
{
    started_ = now;
    if (settings_.continuous)
        waitForBoard(now);
    else
        startBoard(now);
}

// The lane's own inquiries go out faster than the gone time, so that one
// lost answer never makes a board that is still there look gone.
Millis LaneRun::probeInterval() const
{
    return std::clamp(settings_.goneTime / 3, LaneSettings::kMinProbeInterval,
                      Policy::kInquiryInterval);
}

void LaneRun::waitForBoard(Millis now)
{
    state_ = LaneSnapshot::State::Waiting;
    // A new board on the old address has a new hardware address.
    if (settings_.flushArp)
        push(Effect::Kind::FlushArp);
    if (probeOpen_)
        inquire(now);
    else
        openProbe(now);
    events_.push({LaneEvent::Kind::Progress});
}

void LaneRun::openProbe(Millis)
{
    push(Effect::Kind::OpenLink, {}, lastPort_);
}

void LaneRun::inquire(Millis now)
{
    push(Effect::Kind::Send, protocol::kInquiry.toByteArray());
    nextInquiry_ = now + probeInterval();
}

void LaneRun::linkOpened(Millis now, quint16 localPort)
{
    lastPort_ = localPort;
    if (run_) {
        run_->linkOpened(now, localPort);
        afterBoard(now);
        return;
    }
    probeOpen_ = true;
    inquire(now);
}

void LaneRun::linkFailed(Millis now, const QString &error)
{
    if (run_) {
        run_->linkFailed(now, error);
        afterBoard(now);
        return;
    }
    // Without a link the lane cannot see a board come or go.
    HostReport report = blankReport();
    report.outcome = Outcome::NetworkError;
    report.exitCode = exitCodeFor(Outcome::NetworkError);
    report.reason = error;
    report.startedAt = report.endedAt = now;
    stopped_ = report;
    finish();
}

QString LaneRun::handleDatagram(Millis now, const QByteArray &datagram)
{
    if (run_) {
        const QString note = run_->handleDatagram(now, datagram);
        afterBoard(now);
        return note;
    }
    if (!probeOpen_ || state_ == LaneSnapshot::State::Done)
        return QStringLiteral("left out: the lane has stopped");
    if (!protocol::trimTrailingSpaces(datagram).contains(protocol::kTokenVersion))
        return QStringLiteral("left out: only \"VER=\" tells that a board is there");
    if (state_ == LaneSnapshot::State::Leaving) {
        lastAnswer_ = now;
        events_.push({LaneEvent::Kind::Progress});
        return QStringLiteral("answer: the board done is still there");
    }
    // A board: its run takes a link of its own.
    push(Effect::Kind::CloseLink);
    probeOpen_ = false;
    startBoard(now);
    return QStringLiteral("answer: a board is there");
}

void LaneRun::handleStranger()
{
    if (run_)
        run_->handleStranger();
}

void LaneRun::handleSendFailure(Millis now, const QString &error)
{
    // An inquiry of the lane's own that failed is tried again at its time.
    if (run_) {
        run_->handleSendFailure(now, error);
        afterBoard(now);
    }
}

void LaneRun::startBoard(Millis now)
{
    ++board_;
    if (!firstBoardAt_)
        firstBoardAt_ = now;
    state_ = LaneSnapshot::State::Flashing;
    HostSettings host = settings_.host;
    run_ = std::make_unique<HostRun>(host, image_);
    run_->start(now);
    afterBoard(now);
}

// Passes on what the board's run asked for and told; once it has finished,
// the lane watches the board leave (or stops).
void LaneRun::afterBoard(Millis now)
{
    if (!run_)
        return;
    while (const Effect *effect = run_->pollEffect())
        effects_.push(*effect);
    bool finished = false;
    RunEvent event{RunEvent::Kind::Progress};
    while (run_->pollEvent(event)) {
        if (settings_.continuous)
            event.report.board = board_;
        switch (event.kind) {
        case RunEvent::Kind::Progress:
            events_.push({LaneEvent::Kind::Progress});
            break;
        case RunEvent::Kind::AttemptEnded:
            events_.push({LaneEvent::Kind::AttemptEnded, event.report});
            break;
        case RunEvent::Kind::Finished:
            boards_.append(event.report);
            events_.push({LaneEvent::Kind::BoardDone, event.report});
            finished = true;
            break;
        }
    }
    if (!finished)
        return;
    last_ = run_->snapshot(now);
    run_.reset();
    if (!settings_.continuous || signal_ != 0 ||
        (settings_.count && board_ >= *settings_.count)) {
        finish();
        return;
    }
    state_ = LaneSnapshot::State::Leaving;
    leavingSince_ = lastAnswer_ = now;
    openProbe(now);
    events_.push({LaneEvent::Kind::Progress});
}

void LaneRun::handleTimeout(Millis now)
{
    if (run_) {
        run_->handleTimeout(now);
        afterBoard(now);
        return;
    }
    if (!probeOpen_ || state_ == LaneSnapshot::State::Done)
        return;
    if (state_ == LaneSnapshot::State::Leaving && now - lastAnswer_ >= settings_.goneTime) {
        waitForBoard(now);
        return;
    }
    if (now >= nextInquiry_)
        inquire(now);
}

void LaneRun::interrupt(Millis now, int signal)
{
    if (state_ == LaneSnapshot::State::Done)
        return;
    signal_ = signal;
    if (run_) {
        // The board under way is recorded as interrupted (an install that
        // has sent "BOOTg" ends first); the lane stops after it.
        run_->interrupt(now, signal);
        afterBoard(now);
        return;
    }
    finish();
}

void LaneRun::finish()
{
    if (probeOpen_)
        push(Effect::Kind::CloseLink);
    probeOpen_ = false;
    state_ = LaneSnapshot::State::Done;
    events_.push({LaneEvent::Kind::Finished});
}

HostReport LaneRun::report(Millis now) const
{
    if (run_) {
        HostReport r = run_->report(now);
        if (settings_.continuous)
            r.board = board_;
        return r;
    }
    return boards_.isEmpty() ? blankReport() : boards_.last();
}

// A report of the lane's board before any run: who it is.
HostReport LaneRun::blankReport() const
{
    HostReport r;
    r.host = settings_.host.host;
    r.port = settings_.host.remotePort;
    r.maxAttempts = settings_.host.attempts;
    r.dryRun = settings_.host.dryRun;
    return r;
}

const Effect *LaneRun::pollEffect()
{
    return effects_.take();
}

bool LaneRun::pollEvent(LaneEvent &event)
{
    const LaneEvent *next = events_.take();
    if (next)
        event = *next;
    return next != nullptr;
}

std::optional<Millis> LaneRun::pollTimeout() const
{
    if (run_)
        return run_->pollTimeout();
    if (!probeOpen_ || state_ == LaneSnapshot::State::Done)
        return std::nullopt;
    if (state_ == LaneSnapshot::State::Leaving)
        return std::min(nextInquiry_, lastAnswer_ + settings_.goneTime);
    return nextInquiry_;
}

LaneSnapshot LaneRun::snapshot(Millis now) const
{
    LaneSnapshot s;
    s.state = state_;
    s.board = board_;
    s.host = run_ ? run_->snapshot(now) : last_;
    s.boardsDone = int(boards_.size());
    s.boardsEnded = int(std::count_if(boards_.begin(), boards_.end(), [](const HostReport &r) {
        return r.outcome == Outcome::Ok;
    }));
    s.elapsed = now - started_;
    s.sinceFirstBoard = firstBoardAt_ ? now - *firstBoardAt_ : Millis{0};
    s.answering = state_ == LaneSnapshot::State::Leaving && lastAnswer_ > leavingSince_;
    return s;
}

} // namespace corvanel
