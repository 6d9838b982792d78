#include "engine/lane_run.h"

#include "engine/protocol.h"

#include <algorithm>

namespace corvanel {

LaneRun::LaneRun(LaneSettings settings, SharedLines image)
    : settings_(std::move(settings)), image_(std::move(image)), done_(settings_.doneBoards)
{
    if (!done_)
        done_ = std::make_shared<DoneBoards>();
}

void LaneRun::push(Effect::Kind kind, QByteArray bytes, qint64 value)
{
    effects_.push({kind, value, {}, std::move(bytes)});
}

void LaneRun::start(Millis now)
{
    started_ = now;
    if (settings_.continuous) {
        waitForBoard(now);
        return;
    }
    // The one board there: its entry first, as before each board of a line.
    if (settings_.flushArp)
        push(Effect::Kind::FlushArp);
    startBoard(now, std::nullopt);
}

Millis LaneRun::goneTime() const
{
    return std::max(settings_.goneTime, LaneSettings::kMinGoneTime);
}

// The lane's own inquiries go out faster than the gone time, so that one
// lost answer never makes a board that is still there look gone.
Millis LaneRun::probeInterval() const
{
    return std::clamp(goneTime() / 3, LaneSettings::kMinProbeInterval,
                      Policy::kInquiryInterval);
}

void LaneRun::waitForBoard(Millis now)
{
    state_ = LaneSnapshot::State::Waiting;
    present_ = {};
    back_.reset();
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

QString LaneRun::handleDatagram(Millis now, const QByteArray &datagram, quint16 fromPort)
{
    if (asked_ != Asked::Nothing)
        neighbourRead(now, std::nullopt); // a driver that did not answer: unknown
    if (run_) {
        const QString note = run_->handleDatagram(now, datagram, fromPort);
        afterBoard(now);
        return note;
    }
    if (!probeOpen_ || state_ == LaneSnapshot::State::Done)
        return QStringLiteral("left out: the lane has stopped");
    const QByteArrayView text = protocol::trimTrailingSpaces(datagram);
    if (!text.contains(protocol::kTokenVersion))
        return QStringLiteral("left out: only \"VER=\" tells that a board is there");
    heardVersion_ = versionText(text);
    // Where no hardware address is known, the "VER=" text alone tells boards apart.
    if (state_ == LaneSnapshot::State::Leaving && heardVersion_ == present_.version &&
        !present_.mac) {
        lastAnswer_ = now;
        events_.push({LaneEvent::Kind::Progress});
        return QStringLiteral("answer: the board done is still there");
    }
    // Which board it is follows from its hardware address.
    asked_ = Asked::Identify;
    push(Effect::Kind::ReadNeighbour);
    return QStringLiteral("answer: a board is there");
}

void LaneRun::neighbourRead(Millis now, const std::optional<QString> &mac)
{
    switch (std::exchange(asked_, Asked::Nothing)) {
    case Asked::Identify:
        identify(now, mac);
        break;
    case Asked::EndCheck:
        endBoard(now, mac);
        break;
    case Asked::Nothing:
        break;
    }
}

// A board answered the lane's inquiry: the one there still, a new one (flashed
// at once, even before the last has been gone for the gone time), or one done
// before in this run (never flashed again).
void LaneRun::identify(Millis now, const std::optional<QString> &mac)
{
    if (state_ == LaneSnapshot::State::Leaving) {
        const bool sameMac = !mac || !present_.mac || *mac == *present_.mac;
        if (heardVersion_ == present_.version && sameMac) {
            lastAnswer_ = now;
            events_.push({LaneEvent::Kind::Progress});
            return;
        }
    }
    if (const DoneBoards::Board *done = mac ? done_->find(*mac) : nullptr) {
        HostReport back = blankReport();
        back.board = done->number;
        back.mac = mac;
        back.reason = QStringLiteral("done as board %1 at %2").arg(done->number).arg(done->lane);
        back_ = back;
        present_ = {heardVersion_, mac};
        state_ = LaneSnapshot::State::Leaving;
        leavingSince_ = lastAnswer_ = now;
        events_.push({LaneEvent::Kind::BoardBack, back});
        events_.push({LaneEvent::Kind::Progress});
        return;
    }
    // A board: its run takes a link of its own.
    push(Effect::Kind::CloseLink);
    probeOpen_ = false;
    startBoard(now, mac);
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

void LaneRun::startBoard(Millis now, const std::optional<QString> &mac)
{
    ++board_;
    boardMac_ = mac;
    present_ = {heardVersion_, mac};
    back_.reset();
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
    std::vector<LaneEvent> told;
    RunEvent event{RunEvent::Kind::Progress};
    while (run_->pollEvent(event)) {
        if (settings_.continuous) {
            event.report.board = board_;
            event.report.mac = boardMac_;
        }
        switch (event.kind) {
        case RunEvent::Kind::Progress:
            told.push_back({LaneEvent::Kind::Progress});
            break;
        case RunEvent::Kind::AttemptEnded:
            told.push_back({LaneEvent::Kind::AttemptEnded, event.report, event.another});
            break;
        case RunEvent::Kind::Finished:
            told.push_back({LaneEvent::Kind::BoardDone, event.report});
            break;
        }
    }
    if (told.empty() || told.back().kind != LaneEvent::Kind::BoardDone) {
        for (LaneEvent &e : told)
            events_.push(std::move(e));
        return;
    }
    // The board's last record waits for its hardware address to be read
    // again: a board swapped during its run makes its end unproven.
    const auto lastAttempt = std::find_if(told.rbegin(), told.rend(), [](const LaneEvent &e) {
        return e.kind == LaneEvent::Kind::AttemptEnded;
    });
    const auto held = lastAttempt == told.rend() ? told.end() - 1 : lastAttempt.base() - 1;
    for (auto it = told.begin(); it != held; ++it)
        events_.push(std::move(*it));
    heldEnd_.assign(std::make_move_iterator(held), std::make_move_iterator(told.end()));
    if (!settings_.continuous) {
        endBoard(now, std::nullopt);
        return;
    }
    asked_ = Asked::EndCheck;
    push(Effect::Kind::ReadNeighbour);
}

void LaneRun::endBoard(Millis now, const std::optional<QString> &endMac)
{
    const bool swapped = boardMac_ && endMac && *endMac != *boardMac_;
    for (LaneEvent &e : heldEnd_) {
        if (swapped && e.report.outcome == Outcome::Ok) {
            e.report.outcome = Outcome::DeviceError;
            e.report.exitCode = exitCodeFor(Outcome::DeviceError);
            e.report.reason =
                QStringLiteral("the board's hardware address changed during its run (%1 when it "
                               "answered \"VER=\", %2 at its end): another board answered, so "
                               "the image is not proven")
                    .arg(*boardMac_, *endMac);
        }
        if (e.kind == LaneEvent::Kind::BoardDone)
            boards_.append(e.report);
        events_.push(std::move(e));
    }
    heldEnd_.clear();
    if (boardMac_)
        done_->add(*boardMac_, {board_, settings_.host.host + QLatin1Char(':') +
                                            QString::number(settings_.host.remotePort)});
    last_ = run_->snapshot(now);
    last_.report = boards_.last();
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
    if (asked_ != Asked::Nothing)
        neighbourRead(now, std::nullopt);
    if (run_) {
        run_->handleTimeout(now);
        afterBoard(now);
        return;
    }
    if (!probeOpen_ || state_ == LaneSnapshot::State::Done)
        return;
    if (state_ == LaneSnapshot::State::Leaving && now - lastAnswer_ >= goneTime()) {
        waitForBoard(now);
        return;
    }
    if (now >= nextInquiry_)
        inquire(now);
}

void LaneRun::interrupt(Millis now, int signal)
{
    if (asked_ != Asked::Nothing)
        neighbourRead(now, std::nullopt);
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
        return std::min(nextInquiry_, lastAnswer_ + goneTime());
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
    s.answering = state_ == LaneSnapshot::State::Leaving && (back_ || lastAnswer_ > leavingSince_);
    if (state_ == LaneSnapshot::State::Leaving)
        s.back = back_;
    return s;
}

} // namespace corvanel
