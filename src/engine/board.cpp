// A board's life, every transition in one place. Read top to bottom:
//
//   1. the timer table and small helpers
//   2. where the board stands (read from the one state)
//   3. the window's operations: connect, disconnect, inquiry, send, install, a new image
//   4. the link: opened, failed, a datagram that could not go
//   5. replies: who may answer, the reply rules, what an answer does
//   6. time: each timer when it comes
//   7. the flasher's run: attempts, the outcome, an interrupt
//   8. production: waiting for a board, telling boards apart, waiting for it to leave
//
// The states (board.h):
//
//   Closed ──connect──▶ Opening ──linkOpened──▶ Polling ──"VER="──▶ Passing(download)
//     ▲                    │                       │                   │ "DOWNLOAD"
//     │                linkFailed               InquiryLimit           ▼
//     │                    ▼                       ▼             Passing(verify)
//     │                (a failure)              Failed ◀──"ERROR", Reply, a copy──┤
//     │                                                                  "DOWNLOAD"
//     │          window: END at once; strict: the end stands after Quiet  ▼
//     └──Reset── Installing ◀──install── Ended ◀──────Quiet timer────── Quiet
//
//   The flasher wraps a board's run around it: each attempt opens its own link
//   (Opening), an attempt that failed waits in BetweenAttempts, the last one
//   ends in Done. A production lane begins in WaitingForBoard and, after each
//   board (CheckingEnd: its MAC read again), waits in Leaving until the board
//   has been silent for the gone time.

#include "engine/board.h"

#include <algorithm>
#include <utility>

namespace corvanel {

using protocol::ReplyKind;
using EventKind = BoardEvent::Kind;
using LinkKind = LinkEffect::Kind;

// ---------------------------------------------------------------------------
// 1. The timer table and small helpers

Board::Board(const Policy &policy, HostSettings host, Production production, SharedLines image)
    : policy_(policy), host_(std::move(host)), production_(std::move(production)),
      image_(image ? std::move(image) : std::make_shared<const TextLines>()),
      lineCount_(transferLineCount(*image_)), done_(production_.doneBoards)
{
    if (!done_)
        done_ = std::make_shared<DoneBoards>();
    resetReport(Millis{0});
}

void Board::link(LinkEffect::Kind kind, QByteArray bytes)
{
    outbox_.push(LinkEffect{kind, std::move(bytes)});
}

void Board::arm(Timer timer, Millis at)
{
    timers_[size_t(timer)] = at;
}

void Board::disarm(Timer timer)
{
    timers_[size_t(timer)].reset();
}

std::optional<Millis> Board::timer(Timer timer) const
{
    return timers_[size_t(timer)];
}

QString Board::timerName(Timer timer)
{
    static const char *const names[] = {"install pause",  "next attempt",     "quiet time",
                                        "settled",        "inquiry time-out", "inquiry",
                                        "reply time-out", "gone time",        "probe"};
    return timer < Timer::Count ? QString::fromLatin1(names[size_t(timer)]) : QString();
}

std::optional<Millis> Board::nextDeadline() const
{
    std::optional<Millis> next;
    for (const auto &at : timers_) {
        if (at && (!next || *at < *next))
            next = at;
    }
    return next;
}

bool Board::imageLoaded() const
{
    if (const auto *s = in<Closed>())
        return s->imageLoaded;
    if (const auto *s = in<Polling>())
        return s->imageLoaded;
    if (const auto *s = in<Idle>())
        return s->imageLoaded;
    if (const auto *s = in<Failed>())
        return s->imageLoaded;
    return in<Passing>() || in<Quiet>();
}

// ---------------------------------------------------------------------------
// 2. Where the board stands

Phase Board::phase() const
{
    return std::visit(
        [this](const auto &s) -> Phase {
            using S = std::decay_t<decltype(s)>;
            if constexpr (std::is_same_v<S, Polling>)
                return Phase::Polling;
            else if constexpr (std::is_same_v<S, Idle>)
                return Phase::Ready;
            else if constexpr (std::is_same_v<S, Passing>)
                return s.pass == Pass::Verify ? Phase::Verify : Phase::Download;
            else if constexpr (std::is_same_v<S, Quiet>)
                return Phase::Verify;
            else if constexpr (std::is_same_v<S, Installing>)
                return Phase::Installing;
            else if constexpr (std::is_same_v<S, Ended>)
                return Phase::Ended;
            else if constexpr (std::is_same_v<S, Failed>)
                return Phase::Failed;
            else
                return (void)this, Phase::NotConnected;
        },
        state_);
}

int Board::line() const
{
    if (const auto *s = in<Passing>())
        return s->position == 0 ? lineCount_ : s->position;
    if (in<Quiet>() || in<Installing>() || in<Ended>())
        return lineCount_;
    if (const auto *s = in<Failed>())
        return s->failure.line;
    return 0;
}

TransferView Board::view() const
{
    TransferView v;
    v.connected = !(in<Closed>() || in<Opening>());
    v.lineCount = lineCount_;
    v.lines = image_;
    v.imageLoaded = imageLoaded() ? 1 : 0;
    if (const auto *s = in<Passing>()) {
        v.position = s->position;
        v.verifying = s->pass == Pass::Verify ? 1 : 0;
    } else if (const auto *f = in<Failed>()) {
        v.position = f->position;
        v.verifying = f->pass == Pass::Verify ? 1 : 0;
    } else if (in<Quiet>()) {
        v.verifying = 1;
    }
    return v;
}

const TransferFailure *Board::failure() const
{
    const auto *s = in<Failed>();
    return s ? &s->failure : nullptr;
}

// ---------------------------------------------------------------------------
// 3. The window's operations

void Board::connect()
{
    if (!in<Closed>())
        return;
    tell(EventKind::Connecting);
    link(LinkKind::FlushArpCache);
    state_ = Opening{};
    link(LinkKind::OpenLink);
}

void Board::disconnect()
{
    tell(EventKind::PollingStopped);
    link(LinkKind::CloseLink);
    resetTransfer();
}

void Board::resetTransfer()
{
    tell(EventKind::Reset);
    state_ = Closed{};
    timers_ = {};
}

void Board::pollDevice(Millis now)
{
    link(LinkKind::Send, protocol::kInquiry.toByteArray());
    tell(EventKind::Inquired);
    counts_.asked.inquired = true;
    ++counts_.asked.inquiries;
    if (policy_.bounded && in<Polling>())
        arm(Timer::Inquiry, now + Policy::kInquiryInterval);
}

void Board::sendNextLine(Millis now)
{
    if (!imageLoaded() || in<Quiet>())
        return;
    // An image of no lines has nothing to send; the position could never wrap.
    if (lineCount_ <= 0 || lineCount_ > image_->count())
        return;
    if (auto *failed = in<Failed>()) {
        // The window goes on where the device refused, at a later "OK".
        const Passing resumed{failed->pass, failed->position};
        state_ = resumed;
    } else if (!in<Passing>()) {
        state_ = Passing{};
    }
    sendLine(now, *in<Passing>());
}

void Board::sendLine(Millis now, Passing &passing)
{
    // A position outside the image (never reached through these operations)
    // restarts the pass instead of reading beyond the table.
    if (passing.position < 0 || passing.position >= lineCount_)
        passing.position = 0;
    const int number = passing.position + 1;
    const QByteArray line = image_->line(number);
    // The window also ends a pass at an end-of-file record that stands before
    // the image's last line, as its bootloader does; unattended, a pass ends
    // at the last line only, so lines after an end record are never skipped.
    const bool endsPass =
        number == lineCount_ || (policy_.passEndsAtEndRecord && protocol::isEndOfFileRecord(line));
    passing.flight = Flight{Flight::Stage::Waiting, number, endsPass, 1, 0, now};
    passing.position = number;
    passing.instead.clear();
    passing.insteadVerdict = Verdict::Answer;
    link(LinkKind::Send, passing.pass == Pass::Verify ? protocol::verifyLineMessage(line)
                                                      : protocol::downloadLineMessage(line));
    BoardEvent sent{EventKind::LineSent};
    sent.pass = passing.pass;
    sent.line = number;
    tell(std::move(sent));
    // After the last line the next send starts the pass again at line 1.
    if (passing.position == lineCount_)
        passing.position = 0;
    if (policy_.bounded)
        arm(Timer::Reply, now + policy_.limits.replyTimeout);
}

// The line in flight, framed again as it went out.
void Board::resend(Millis now, Passing &passing)
{
    ++counts_.resends;
    ++passing.flight->sends;
    passing.flight->sentAt = now;
    const QByteArray line = image_->line(passing.flight->line);
    link(LinkKind::Send, passing.pass == Pass::Verify ? protocol::verifyLineMessage(line)
                                                      : protocol::downloadLineMessage(line));
    arm(Timer::Reply, now + policy_.limits.replyTimeout);
}

void Board::install(Millis now)
{
    tell(EventKind::PollingStopped);
    link(LinkKind::Send, protocol::kInstall.toByteArray());
    tell(EventKind::Installing);
    timers_ = {};
    state_ = Installing{now, true};
    arm(Timer::InstallClose, now + Policy::kInstallPause);
}

void Board::closeAfterInstall(Millis now)
{
    if (!policy_.bounded) {
        link(LinkKind::CloseLink);
        resetTransfer();
        return;
    }
    // The attempt's end closes the link.
    const bool sent = in<Installing>()->sent;
    run_.report.installed = sent;
    if (sent)
        state_ = Ended{};
    conclude(now, sent ? Outcome::Ok : Outcome::NetworkError,
             sent ? QString()
                  : QStringLiteral("could not send \"BOOTg\": %1").arg(counts_.sendError));
}

void Board::beginImageLoad()
{
    tell(EventKind::ImageLoading);
}

void Board::adoptImage(SharedLines lines)
{
    if (lines)
        image_ = std::move(lines);
    lineCount_ = transferLineCount(*image_);
    BoardEvent loaded{EventKind::ImageLoaded};
    loaded.line = lineCount_;
    tell(std::move(loaded));
    // Whatever is still on its way answers the old image, not this one.
    setImageLoaded(true);
}

void Board::abandonImageLoad()
{
    // Settled before an error box opens, so nothing the box lets through can
    // send from a stale image.
    setImageLoaded(false);
}

// A new image, or none: no line of the old one is in flight any more, and a
// pass under way ends; the next "OK" or "VER=" starts the new image.
void Board::setImageLoaded(bool loaded)
{
    disarm(Timer::Reply);
    disarm(Timer::Settle);
    if (auto *closed = in<Closed>())
        closed->imageLoaded = loaded;
    else if (auto *polling = in<Polling>())
        polling->imageLoaded = loaded;
    else if (!in<Opening>())
        state_ = Idle{loaded};
}

// ---------------------------------------------------------------------------
// 4. The link

void Board::newConnection(Millis now)
{
    // A new connection: nothing asked, nothing counted.
    const int strangers = counts_.strangers;
    counts_ = {};
    counts_.strangers = strangers;
    state_ = Polling{policy_.bounded};
    if (!policy_.bounded)
        return;
    arm(Timer::InquiryLimit, now + policy_.limits.inquiryTimeout);
}

Verdict Board::linkOpened(Millis now, quint16 localPort)
{
    if (auto *waiting = in<WaitingForBoard>(); waiting && !waiting->linkOpen) {
        waiting->linkOpen = true;
        lane_.lastPort = localPort;
        probe(now);
        return Verdict::Answer;
    }
    if (auto *leaving = in<Leaving>(); leaving && !leaving->linkOpen) {
        leaving->linkOpen = true;
        lane_.lastPort = localPort;
        probe(now);
        return Verdict::Answer;
    }
    if (!in<Opening>())
        return Verdict::NotExpected;
    newConnection(now);
    tell(EventKind::Connected);
    if (!policy_.bounded)
        return Verdict::Answer;
    run_.lastLocalPort = localPort;
    run_.report.localPort = localPort;
    // The first inquiry goes out at once, the next ones every 500 ms.
    pollDevice(now);
    return Verdict::Answer;
}

Verdict Board::linkFailed(Millis now, const QString &error)
{
    if (in<WaitingForBoard>() || in<Leaving>()) {
        // Without a link the lane cannot see a board come or go.
        HostReport report = blankReport();
        report.outcome = Outcome::NetworkError;
        report.exitCode = exitCodeFor(Outcome::NetworkError);
        report.reason = error;
        report.startedAt = report.endedAt = now;
        stopped_ = report;
        finishLane();
        return Verdict::Answer;
    }
    if (!in<Opening>())
        return Verdict::NotExpected;
    if (!policy_.bounded) {
        // The link stays closed and the button still offers "Connect", so
        // the operator can correct and try again.
        state_ = Closed{};
        return Verdict::Answer;
    }
    conclude(now, Outcome::NetworkError, error);
    return Verdict::Answer;
}

Verdict Board::handleSendFailure(Millis now, const QString &error)
{
    if (!policy_.failedSendFails)
        return Verdict::NotExpected;
    counts_.sendError = error;
    if (auto *polling = in<Polling>()) {
        // Told at the inquiry's time-out, unless the device answers meanwhile.
        polling->sendFailed = true;
    } else if (auto *installing = in<Installing>()) {
        installing->sent = false;
    } else if (in<Passing>()) {
        fail(TransferFailure::Kind::SendFailed);
        afterTransfer(now);
    }
    // The lane's own inquiries are tried again at their time.
    return Verdict::Answer;
}

// ---------------------------------------------------------------------------
// 5. Replies

Heard Board::handleDatagram(Millis now, const QByteArray &datagram, quint16 fromPort)
{
    settleNeighbourRead(now);
    if (auto *waiting = in<WaitingForBoard>())
        return {waiting->linkOpen ? heardVersion(now, protocol::trimTrailingSpaces(datagram))
                                  : Verdict::LaneStopped};
    if (auto *leaving = in<Leaving>())
        return {leaving->linkOpen ? heardVersion(now, protocol::trimTrailingSpaces(datagram))
                                  : Verdict::LaneStopped};
    if (in<Done>())
        return {production_.continuous ? Verdict::LaneStopped : Verdict::RunOver};
    if (policy_.bounded &&
        (in<Closed>() || in<Opening>() || in<BetweenAttempts>() || in<Ended>() || in<Failed>()))
        return {Verdict::RunOver};

    tell({EventKind::ReplyArrived, Pass::Download, 0, false, datagram});
    const QByteArrayView text = protocol::trimTrailingSpaces(datagram);
    const auto kind = protocol::classifyReply(text, imageLoaded());

    // The port the device answers from is the one its "VER=" came from;
    // before that, the port sent to, or a "VER=" from any other.
    if (policy_.replyPortIsFirstVersions) {
        const bool fromDevice = counts_.replyPort ? fromPort == *counts_.replyPort
                                                  : fromPort == host_.remotePort ||
                                                        text.contains(protocol::kTokenVersion);
        if (!fromDevice) {
            ++counts_.strangers;
            return {Verdict::OtherPort};
        }
    }

    // After the end only the device's refusal counts, and a copy of anything
    // else proves that replies cannot be paired.
    if (policy_.endsAreFinal && (in<Quiet>() || in<Installing>())) {
        if (kind == ReplyKind::Error) {
            const Millis after =
                now - (in<Quiet>() ? in<Quiet>()->endedAt : in<Installing>()->sentAt);
            fail(TransferFailure::Kind::DeviceError, text);
            in<Failed>()->failure.afterEnd = after;
            afterTransfer(now);
            return {Verdict::Answer};
        }
        leaveOut(Verdict::NothingInFlight, text);
        if (in<Quiet>() && kind != ReplyKind::Other) {
            fail(TransferFailure::Kind::Unpaired, text, Verdict::NothingInFlight);
            afterTransfer(now);
            return {Verdict::NothingInFlight, true};
        }
        return {Verdict::NothingInFlight};
    }

    Passing *passing = in<Passing>();
    std::optional<Flight> none;
    std::optional<Flight> &flight = passing ? passing->flight : none;
    const std::optional<Millis> sentAt = flight ? std::optional(flight->sentAt) : std::nullopt;
    const Verdict verdict = judgeReply(policy_, counts_.asked, flight, kind);
    if (verdict != Verdict::Answer) {
        leaveOut(verdict, text);
        if (policy_.copiesFail && isCopy(counts_.asked, verdict, kind)) {
            // No sequence numbers: once a reply is seen twice, none can be
            // trusted to answer the line in flight.
            fail(TransferFailure::Kind::Unpaired, text, verdict);
            afterTransfer(now);
            return {verdict, true};
        }
        if (passing && passing->held && !passing->flight) {
            // The last answer owed by a line sent more than once frees the next.
            disarm(Timer::Settle);
            act(now, *std::exchange(passing->held, std::nullopt), passing->heldReply);
        }
        afterTransfer(now);
        return {verdict};
    }
    if (passing && sentAt)
        counts_.slowestAnswer = std::max(counts_.slowestAnswer, now - *sentAt);
    if (passing && passing->flight) {
        // The line went out more than once: its other answers come first.
        passing->held = kind;
        passing->heldReply = text.toByteArray();
        disarm(Timer::Reply);
        arm(Timer::Settle, passing->flight->sentAt + policy_.limits.replyTimeout);
    } else {
        act(now, kind, text);
    }
    if (policy_.replyPortIsFirstVersions && !counts_.replyPort && !counts_.versionReply.isEmpty())
        counts_.replyPort = fromPort;
    afterTransfer(now);
    return {Verdict::Answer};
}

void Board::act(Millis now, ReplyKind kind, QByteArrayView reply)
{
    switch (kind) {
    case ReplyKind::Version:
        counts_.versionReply = reply.toByteArray();
        tell(EventKind::PollingStopped);
        disarm(Timer::Inquiry);
        disarm(Timer::InquiryLimit);
        // A dry run's promise: nothing but inquiries leaves.
        if (host_.dryRun)
            return;
        if (production_.skipDone && !production_.continuous) {
            // Which board answered decides whether a line goes out at all.
            in<Polling>()->identifying = true;
            link(LinkKind::ReadNeighbour);
            return;
        }
        sendNextLine(now);
        break;
    case ReplyKind::Error:
        tell(EventKind::Refused);
        fail(TransferFailure::Kind::DeviceError, reply);
        break;
    case ReplyKind::PassEnd: {
        Passing *passing = in<Passing>();
        // With no image loaded (idle, or after "END") there is no pass to end.
        if (!passing)
            break;
        if (passing->pass == Pass::Download) {
            tell(EventKind::VerifyStarted);
            passing->pass = Pass::Verify;
            passing->position = 0;
            sendLine(now, *passing);
        } else if (policy_.bounded) {
            // No sequence numbers: a late copy of the download pass's
            // "DOWNLOAD" can land while the last verify line waits, with the
            // device's own answer still on its way. The end stands after a
            // quiet time.
            disarm(Timer::Reply);
            state_ = Quiet{now};
            arm(Timer::Quiet, now + confirmTime());
        } else {
            endTransfer(now);
        }
        break;
    }
    case ReplyKind::Ok:
        sendNextLine(now);
        break;
    case ReplyKind::Other:
        break;
    }
}

void Board::leaveOut(Verdict verdict, QByteArrayView reply)
{
    ++counts_.ignoredReplies;
    if (auto *passing = in<Passing>(); passing && passing->flight) {
        passing->instead = reply.toByteArray();
        passing->insteadVerdict = verdict;
    } else if (auto *polling = in<Polling>()) {
        polling->instead = reply.toByteArray();
        polling->insteadVerdict = verdict;
    }
}

void Board::endTransfer(Millis)
{
    tell(EventKind::Ended);
    timers_ = {};
    state_ = Ended{};
}

void Board::fail(TransferFailure::Kind kind, QByteArrayView reply, Verdict instead)
{
    TransferFailure f;
    f.kind = kind;
    f.phase = phase();
    f.reply = reply.toByteArray();
    f.instead = instead;
    Failed failed{f};
    failed.imageLoaded = imageLoaded();
    if (auto *passing = in<Passing>()) {
        failed.failure.line = line();
        failed.failure.sends = passing->flight ? passing->flight->sends : 1;
        failed.pass = passing->pass;
        failed.position = passing->position;
    } else if (auto *before = in<Failed>()) {
        failed.pass = before->pass;
        failed.position = before->position;
        failed.failure.phase = before->failure.phase;
    } else if (in<Quiet>()) {
        failed.failure.line = lineCount_;
        failed.pass = Pass::Verify;
    } else if (in<Installing>()) {
        failed.failure.line = lineCount_;
    }
    if (policy_.endsAreFinal)
        timers_ = {};
    state_ = std::move(failed);
}

Millis Board::confirmTime() const
{
    if (policy_.limits.confirmTime)
        return *policy_.limits.confirmTime;
    return std::min(std::max(StrictLimits::kMinConfirmTime, 2 * counts_.slowestAnswer),
                    policy_.limits.replyTimeout);
}

// ---------------------------------------------------------------------------
// 6. Time

void Board::handleTimeout(Millis now)
{
    settleNeighbourRead(now);
    // Every timer due acts, in the table's order; one may arm or clear others.
    for (int turn = 0; turn < 2 * int(Timer::Count); ++turn) {
        std::optional<Timer> due;
        for (size_t i = 0; i < timers_.size() && !due; ++i) {
            if (timers_[i] && *timers_[i] <= now)
                due = Timer(i);
        }
        if (!due)
            return;
        disarm(*due);
        fire(now, *due);
    }
}

void Board::fire(Millis now, Timer timer)
{
    switch (timer) {
    case Timer::InstallClose:
        if (in<Installing>())
            closeAfterInstall(now);
        return;
    case Timer::NextAttempt:
        if (in<BetweenAttempts>())
            startAttempt(now);
        return;
    case Timer::Quiet:
        if (in<Quiet>()) {
            endTransfer(now);
            afterTransfer(now);
        }
        return;
    case Timer::Settle:
        if (auto *passing = in<Passing>()) {
            passing->flight.reset();
            if (passing->held)
                act(now, *std::exchange(passing->held, std::nullopt), passing->heldReply);
            afterTransfer(now);
        }
        return;
    case Timer::InquiryLimit:
        if (auto *polling = in<Polling>()) {
            disarm(Timer::Inquiry);
            const QByteArray instead = polling->instead;
            const Verdict why = polling->insteadVerdict;
            fail(polling->sendFailed ? TransferFailure::Kind::SendFailed
                                     : TransferFailure::Kind::NoVersion,
                 instead, why);
            afterTransfer(now);
        }
        return;
    case Timer::Inquiry:
        if (in<Polling>())
            pollDevice(now);
        return;
    case Timer::Reply:
        if (auto *passing = in<Passing>(); passing && passing->flight) {
            if (passing->flight->sends <= policy_.limits.retries) {
                resend(now, *passing);
                return;
            }
            const QByteArray instead = passing->instead;
            const Verdict why = passing->insteadVerdict;
            fail(TransferFailure::Kind::NoAnswer, instead, why);
            afterTransfer(now);
        }
        return;
    case Timer::Gone:
        if (in<Leaving>())
            waitForBoard(now);
        return;
    case Timer::Probe:
        probe(now);
        return;
    case Timer::Count:
        return;
    }
}

// ---------------------------------------------------------------------------
// 7. The flasher's run

void Board::start(Millis now)
{
    run_.firstStart = now;
    lane_.started = now;
    if (production_.continuous) {
        waitForBoard(now);
        return;
    }
    // The one board there: its entry first, as before each board of a line.
    if (production_.flushArp)
        link(LinkKind::FlushNeighbour);
    startBoard(now, std::nullopt);
}

void Board::resetReport(Millis now)
{
    HostReport &r = run_.report;
    r = HostReport{};
    r.host = host_.host;
    r.port = host_.remotePort;
    r.lineCount = lineCount_;
    r.attempt = run_.attempt;
    r.maxAttempts = host_.attempts;
    r.dryRun = host_.dryRun;
    r.startedAt = now;
}

void Board::startAttempt(Millis now)
{
    ++run_.attempt;
    run_.transferStart.reset();
    counts_ = {};
    resetReport(now);
    state_ = Opening{};
    progress();
    // A fresh socket, never the last attempt's port: its late replies must
    // not reach this one.
    LinkEffect open{LinkKind::OpenLink};
    open.localPort = host_.localPort;
    open.avoidPort = run_.lastLocalPort;
    outbox_.push(std::move(open));
}

void Board::progress()
{
    tell(EventKind::Progress);
}

// After every input of a strict board: the transfer's end becomes the
// attempt's.
void Board::afterTransfer(Millis now)
{
    if (!policy_.bounded)
        return;
    if (in<Passing>()) {
        if (!run_.transferStart)
            run_.transferStart = now;
    } else if (in<Ended>()) {
        if (host_.install) {
            progress();
            install(now);
        } else {
            conclude(now, Outcome::Ok, {});
        }
    } else if (const auto *failed = in<Failed>()) {
        conclude(now, outcomeOf(failed->failure.kind),
                 failureReason(failed->failure, lineCount_, host_.limits, counts_.sendError));
    } else if (in<Polling>() && host_.dryRun && !counts_.versionReply.isEmpty()) {
        // The board answered; the line that would follow stays here.
        conclude(now, Outcome::Ok, {});
    }
}

void Board::conclude(Millis now, Outcome outcome, const QString &reason)
{
    HostReport &r = run_.report;
    r.phase = phase();
    r.line = line();
    if (const auto *failed = in<Failed>()) {
        r.phase = failed->failure.phase;
        // "BOOTg" went out before the refusal: the record says so.
        r.installed = r.phase == Phase::Installing;
    }
    // Inquiries off, the socket closed: the attempt is over.
    if (attemptLive() && !in<Opening>())
        link(LinkKind::CloseLink);
    timers_ = {};
    state_ = Closed{};
    r.outcome = outcome;
    r.exitCode = exitCodeFor(outcome, run_.signal);
    r.reason = reason;
    r.endedAt = now;
    r.resends = counts_.resends;
    r.ignoredReplies = counts_.ignoredReplies + counts_.strangers;
    r.deviceVersion = versionText(counts_.versionReply);
    r.replyPort = counts_.replyPort.value_or(0);
    if (production_.continuous) {
        r.board = lane_.board;
        r.mac = lane_.mac;
    }
    const bool again = outcome != Outcome::Ok && outcome != Outcome::Interrupted &&
                       !run_.interrupted && run_.attempt < host_.attempts;
    BoardEvent ended{EventKind::AttemptEnded};
    ended.another = again;
    ended.report = std::make_shared<HostReport>(r);
    if (again) {
        tell(std::move(ended));
        // A new random or system-chosen port never hears the last attempt's
        // late replies; a port the user fixed might, so it waits them out.
        const bool fixedPort = host_.localPort && *host_.localPort != 0;
        state_ = BetweenAttempts{};
        arm(Timer::NextAttempt, now + (fixedPort ? host_.limits.replyTimeout : Millis{0}));
        return;
    }
    boardFinished(now, std::move(ended));
}

void Board::interrupt(Millis now, int signal)
{
    if (in<Done>() || run_.interrupted)
        return;
    run_.interrupted = true;
    run_.signal = signal;
    if (in<CheckingEnd>()) {
        // The board's record goes out first; the signal then stops the lane.
        neighbourRead(now, std::nullopt);
        return;
    }
    if (in<WaitingForBoard>() || in<Leaving>()) {
        // Between boards nothing is lost.
        finishLane();
        return;
    }
    if (in<BetweenAttempts>()) {
        // The next attempt is recorded as stopped before it began, so the
        // last record of the board says how the run ended.
        const QString last =
            QStringLiteral("attempt %1: %2").arg(run_.attempt).arg(run_.report.reason);
        ++run_.attempt;
        resetReport(now);
        HostReport &r = run_.report;
        r.outcome = Outcome::Interrupted;
        r.exitCode = exitCodeFor(Outcome::Interrupted, signal);
        r.reason = QStringLiteral("interrupted before attempt %1 of %2 began; %3")
                       .arg(run_.attempt)
                       .arg(host_.attempts)
                       .arg(last);
        r.endedAt = now;
        if (production_.continuous) {
            r.board = lane_.board;
            r.mac = lane_.mac;
        }
        timers_ = {};
        BoardEvent ended{EventKind::AttemptEnded};
        ended.report = std::make_shared<HostReport>(r);
        boardFinished(now, std::move(ended));
        return;
    }
    // "BOOTg" has gone out: the install ends in a moment, and ends well.
    if (in<Installing>())
        return;
    const Phase where = phase();
    conclude(now, Outcome::Interrupted,
             where == Phase::Download || where == Phase::Verify
                 ? QStringLiteral("interrupted at line %1 of %2 (%3 pass)")
                       .arg(line())
                       .arg(lineCount_)
                       .arg(where == Phase::Verify ? QStringLiteral("verify")
                                                   : QStringLiteral("download"))
                 : QStringLiteral("interrupted while waiting for \"VER=\""));
}

bool Board::attemptLive() const
{
    return in<Opening>() || in<Polling>() || in<Idle>() || in<Passing>() || in<Quiet>() ||
           in<Installing>() || in<Ended>() || in<Failed>();
}

HostReport Board::report(Millis now) const
{
    const bool live = (attemptLive() && !in<Ended>() && !in<Failed>()) || in<BetweenAttempts>();
    if (!live && (in<Done>() || in<WaitingForBoard>() || in<Leaving>()))
        return boards_.isEmpty() ? blankReport() : boards_.last();
    HostReport r = run_.report;
    r.startedAt = run_.firstStart;
    r.attempt = run_.attempt;
    if (production_.continuous) {
        r.board = lane_.board;
        r.mac = lane_.mac;
    }
    if (live && !in<BetweenAttempts>()) {
        r.phase = phase();
        r.line = line();
        r.endedAt = now;
        r.resends = counts_.resends;
        r.ignoredReplies = counts_.ignoredReplies + counts_.strangers;
    }
    return r;
}

HostSnapshot Board::snapshot(Millis now) const
{
    if (in<WaitingForBoard>() || in<Leaving>() || in<Done>())
        return lane_.last;
    HostSnapshot s;
    const bool live = attemptLive();
    s.phase = live ? phase() : run_.report.phase;
    s.line = live ? line() : run_.report.line;
    s.lineCount = lineCount_;
    switch (s.phase) {
    case Phase::Download:
        s.linesDone = s.line;
        break;
    case Phase::Verify:
        s.linesDone = qint64(lineCount_) + s.line;
        break;
    case Phase::Installing:
    case Phase::Ended:
        s.linesDone = 2 * qint64(lineCount_);
        break;
    default:
        break;
    }
    s.elapsed = now - run_.firstStart;
    if (run_.transferStart)
        s.transferElapsed = now - *run_.transferStart;
    return s;
}

// ---------------------------------------------------------------------------
// 8. Production

HostReport Board::blankReport() const
{
    HostReport r;
    r.host = host_.host;
    r.port = host_.remotePort;
    r.maxAttempts = host_.attempts;
    r.dryRun = host_.dryRun;
    r.lineCount = lineCount_;
    return r;
}

Millis Board::goneTime() const
{
    return std::max(production_.goneTime, Production::kMinGoneTime);
}

// The lane's own inquiries go out faster than the gone time, so that one
// lost answer never makes a board that is still there look gone.
Millis Board::probeInterval() const
{
    return std::clamp(goneTime() / 3, Production::kMinProbeInterval, Policy::kInquiryInterval);
}

void Board::waitForBoard(Millis now)
{
    bool open = false;
    if (const auto *leaving = in<Leaving>())
        open = leaving->linkOpen;
    timers_ = {};
    state_ = WaitingForBoard{open};
    // A new board on the old address has a new hardware address.
    if (production_.flushArp)
        link(LinkKind::FlushNeighbour);
    if (open)
        probe(now);
    else
        openProbe();
    progress();
}

void Board::openProbe()
{
    LinkEffect open{LinkKind::OpenLink};
    open.localPort = host_.localPort;
    open.avoidPort = lane_.lastPort;
    outbox_.push(std::move(open));
}

void Board::probe(Millis now)
{
    const auto *waiting = in<WaitingForBoard>();
    const auto *leaving = in<Leaving>();
    if (!(waiting && waiting->linkOpen) && !(leaving && leaving->linkOpen))
        return;
    link(LinkKind::Send, protocol::kInquiry.toByteArray());
    arm(Timer::Probe, now + probeInterval());
}

// A "VER=" to the lane's own inquiry: the board there still, or a board to
// tell by its hardware address.
Verdict Board::heardVersion(Millis now, QByteArrayView text)
{
    if (!text.contains(protocol::kTokenVersion))
        return Verdict::NotAVersion;
    const std::optional<QString> heard = versionText(text);
    if (auto *leaving = in<Leaving>()) {
        // Where no hardware address is known, the "VER=" text alone tells
        // boards apart.
        if (heard == leaving->version && !leaving->mac) {
            leaving->lastAnswer = now;
            arm(Timer::Gone, now + goneTime());
            progress();
            return Verdict::BoardStays;
        }
        leaving->heard = heard;
        leaving->identifying = true;
    } else {
        auto *waiting = in<WaitingForBoard>();
        waiting->heard = heard;
        waiting->identifying = true;
    }
    link(LinkKind::ReadNeighbour);
    return Verdict::BoardThere;
}

// A read asked for and not answered before the next input counts as
// unknown: the driver answers at once, or not at all.
void Board::settleNeighbourRead(Millis now)
{
    if (in<WaitingForBoard>() || in<Leaving>() || in<CheckingEnd>())
        neighbourRead(now, std::nullopt);
}

void Board::neighbourRead(Millis now, const std::optional<QString> &mac,
                          const QByteArray &doneRecord)
{
    if (auto *polling = in<Polling>(); polling && polling->identifying) {
        polling->identifying = false;
        lane_.mac = mac;
        run_.report.mac = mac;
        if (!doneRecord.isEmpty()) {
            run_.report.reliedOn = doneRecord;
            conclude(now, Outcome::Skipped,
                     QStringLiteral("already holds this image, as its record says; nothing sent"));
            return;
        }
        sendNextLine(now);
        afterTransfer(now);
    } else if (auto *waiting = in<WaitingForBoard>(); waiting && waiting->identifying) {
        waiting->identifying = false;
        identify(now, waiting->heard, mac, doneRecord, false);
    } else if (auto *leaving = in<Leaving>(); leaving && leaving->identifying) {
        leaving->identifying = false;
        identify(now, leaving->heard, mac, doneRecord, true);
    } else if (auto *checking = in<CheckingEnd>()) {
        std::vector<BoardEvent> held = std::move(checking->held);
        endBoard(now, std::move(held), mac);
    }
}

// A board answered the lane's inquiry: the one there still, a new one
// (flashed at once, even before the last has been gone for the gone time),
// or one done before in this run (never flashed again).
void Board::identify(Millis now, const std::optional<QString> &heard,
                     const std::optional<QString> &mac, const QByteArray &done, bool leaving)
{
    if (leaving) {
        Leaving &l = *in<Leaving>();
        const bool sameMac = !mac || !l.mac || *mac == *l.mac;
        if (heard == l.version && sameMac) {
            l.lastAnswer = now;
            arm(Timer::Gone, now + goneTime());
            progress();
            return;
        }
    }
    if (const DoneBoards::Board *done = mac ? done_->find(*mac) : nullptr) {
        HostReport back = blankReport();
        back.board = done->number;
        back.mac = mac;
        back.reason = QStringLiteral("done as board %1 at %2").arg(done->number).arg(done->lane);
        Leaving l{true, now, now, heard, mac, back};
        state_ = std::move(l);
        arm(Timer::Gone, now + goneTime());
        BoardEvent told{EventKind::BoardBack};
        told.report = std::make_shared<HostReport>(back);
        tell(std::move(told));
        progress();
        return;
    }
    lane_.version = heard;
    lane_.mac = mac;
    if (!done.isEmpty()) {
        skipBoard(now, done);
        return;
    }
    // A board: its run takes a link of its own.
    link(LinkKind::CloseLink);
    startBoard(now, mac);
}

// A board a record shows done with this image: its own record, SKIPPED, with
// the record relied on; then it is waited out like any board done.
void Board::skipBoard(Millis now, const QByteArray &done)
{
    ++lane_.board;
    if (!lane_.firstBoardAt)
        lane_.firstBoardAt = now;
    run_ = Run{};
    run_.firstStart = now;
    run_.attempt = 1;
    resetReport(now);
    HostReport &r = run_.report;
    r.outcome = Outcome::Skipped;
    r.reason = QStringLiteral("already holds this image, as its record says; nothing sent");
    r.endedAt = now;
    r.board = lane_.board;
    r.mac = lane_.mac;
    r.deviceVersion = lane_.version;
    r.reliedOn = done;
    BoardEvent ended{EventKind::AttemptEnded};
    ended.report = std::make_shared<HostReport>(r);
    std::vector<BoardEvent> held;
    held.push_back(std::move(ended));
    BoardEvent summary{EventKind::BoardDone};
    summary.report = std::make_shared<HostReport>(r);
    held.push_back(std::move(summary));
    // The lane's own link stays: it watches the board leave.
    endBoard(now, std::move(held), std::nullopt, true);
}

void Board::startBoard(Millis now, const std::optional<QString> &mac)
{
    timers_ = {};
    if (production_.continuous) {
        ++lane_.board;
        lane_.mac = mac;
        if (!lane_.firstBoardAt)
            lane_.firstBoardAt = now;
    }
    const quint16 lastPort = std::max(run_.lastLocalPort, lane_.lastPort);
    run_ = Run{};
    run_.firstStart = now;
    run_.lastLocalPort = lastPort;
    startAttempt(now);
}

// The board's run is over: its summary row, and in production its MAC read
// again before the last record goes out.
void Board::boardFinished(Millis now, BoardEvent lastAttempt)
{
    HostReport summary = report(now);
    summary.phase = run_.report.phase;
    summary.line = run_.report.line;
    summary.endedAt = run_.report.endedAt;
    summary.resends = run_.report.resends;
    summary.ignoredReplies = run_.report.ignoredReplies;
    BoardEvent done{EventKind::BoardDone};
    done.report = std::make_shared<HostReport>(summary);
    std::vector<BoardEvent> held;
    held.push_back(std::move(lastAttempt));
    held.push_back(std::move(done));
    if (!production_.continuous) {
        endBoard(now, std::move(held), std::nullopt);
        return;
    }
    timers_ = {};
    state_ = CheckingEnd{std::move(held)};
    link(LinkKind::ReadNeighbour);
}

void Board::endBoard(Millis now, std::vector<BoardEvent> held, const std::optional<QString> &endMac,
                     bool probeOpen)
{
    const bool swapped = lane_.mac && endMac && *endMac != *lane_.mac;
    for (BoardEvent &e : held) {
        HostReport &r = *e.report;
        if (swapped && r.outcome == Outcome::Ok) {
            r.outcome = Outcome::DeviceError;
            r.exitCode = exitCodeFor(Outcome::DeviceError);
            r.reason =
                QStringLiteral("the board's hardware address changed during its run (%1 when it "
                               "answered \"VER=\", %2 at its end): another board answered, so "
                               "the image is not proven")
                    .arg(*lane_.mac, *endMac);
        }
        if (e.kind == EventKind::BoardDone)
            boards_.append(r);
        tell(std::move(e));
    }
    if (lane_.mac)
        done_->add(*lane_.mac, {lane_.board,
                                host_.host + QLatin1Char(':') + QString::number(host_.remotePort)});
    lane_.last = snapshot(now);
    lane_.last.finished = true;
    lane_.last.report = boards_.last();
    if (!production_.continuous || run_.signal != 0 ||
        (production_.count && lane_.board >= *production_.count)) {
        finishLane();
        return;
    }
    Leaving l{probeOpen, now, now, lane_.version, lane_.mac};
    state_ = std::move(l);
    arm(Timer::Gone, now + goneTime());
    if (probeOpen)
        probe(now);
    else
        openProbe();
    progress();
}

void Board::finishLane()
{
    bool open = false;
    if (const auto *waiting = in<WaitingForBoard>())
        open = waiting->linkOpen;
    else if (const auto *leaving = in<Leaving>())
        open = leaving->linkOpen;
    if (open)
        link(LinkKind::CloseLink);
    timers_ = {};
    state_ = Done{};
    tell(EventKind::Finished);
}

LaneSnapshot Board::laneSnapshot(Millis now) const
{
    LaneSnapshot s;
    if (in<WaitingForBoard>())
        s.state = LaneSnapshot::State::Waiting;
    else if (const auto *leaving = in<Leaving>()) {
        s.state = LaneSnapshot::State::Leaving;
        s.answering = leaving->back || leaving->lastAnswer > leaving->since;
        s.back = leaving->back;
    } else if (in<Done>())
        s.state = LaneSnapshot::State::Done;
    else
        s.state = LaneSnapshot::State::Flashing;
    s.board = lane_.board;
    s.host = snapshot(now);
    s.boardsDone = int(boards_.size());
    s.boardsEnded = int(std::count_if(boards_.begin(), boards_.end(), [](const HostReport &r) {
        return r.outcome == Outcome::Ok;
    }));
    s.elapsed = now - lane_.started;
    s.sinceFirstBoard = lane_.firstBoardAt ? now - *lane_.firstBoardAt : Millis{0};
    return s;
}

} // namespace corvanel
