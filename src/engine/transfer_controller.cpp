#include "engine/transfer_controller.h"

#include "engine/protocol.h"

#include <algorithm>
#include <utility>

namespace corvanel {

TransferController::TransferController(StatusDisplay &display, DeviceLink &link)
    : display_(display), link_(link), rules_(ReplyPolicy::Window)
{
}

TransferController::TransferController(StatusDisplay &display, DeviceLink &link,
                                       const StrictLimits &limits, Clock clock)
    : display_(display), link_(link), rules_(ReplyPolicy::Strict, limits.replyTimeout),
      limits_(limits), clock_(std::move(clock))
{
}

void TransferController::SendNextLine()
{
    if (state_.imageLoaded != 1)
        return;
    // An image of no lines has nothing to send; the position could never wrap.
    if (state_.lineCount <= 0 || state_.lineCount > state_.lines.count())
        return;
    // A position outside the image (never reached through these operations)
    // restarts the pass instead of reading beyond the table.
    if (state_.position < 0 || state_.position >= state_.lineCount)
        state_.position = 0;

    const QByteArray line = state_.lines.line(state_.position + 1);
    rules_.lineSent(state_.position + 1, state_.lineCount, protocol::isEndOfFileRecord(line),
                    now());
    bool sent = false;
    if (state_.verifying == 1) {
        ++state_.position;
        lastMessage_ = protocol::verifyLineMessage(line);
        sent = link_.send(lastMessage_);
        display_.SetBarValue(state_.position);
        phase_ = TransferPhase::Verify;
    } else {
        display_.ShowStatus(status::kDownload);
        ++state_.position;
        lastMessage_ = protocol::downloadLineMessage(line);
        sent = link_.send(lastMessage_);
        display_.SetBarValue(state_.position);
        phase_ = TransferPhase::Download;
    }
    line_ = state_.position;
    if (state_.position == state_.lineCount)
        state_.position = 0;

    if (strict()) {
        replyDeadline_ = now() + limits_.replyTimeout;
        insteadReply_.clear();
        insteadVerdict_ = Verdict::Answer;
        if (!sent)
            fail(TransferFailure::Kind::SendFailed);
    }
}

void TransferController::HandleReply(QByteArrayView reply)
{
    state_.linkActivity = 1;
    display_.ShowReply(reply);
    const QByteArrayView text = protocol::trimTrailingSpaces(reply);

    const auto kind = protocol::classifyReply(text, state_.imageLoaded == 1);
    // Unattended, a transfer that is over takes nothing more; one whose end
    // is being confirmed takes only the device's refusal.
    if (strict() && (phase_ == TransferPhase::Ended || phase_ == TransferPhase::Failed ||
                     phase_ == TransferPhase::NotConnected || confirmUntil_)) {
        if (confirmUntil_ && kind == protocol::ReplyKind::Error) {
            fail(TransferFailure::Kind::DeviceError, text);
        } else if (confirmUntil_ && kind != protocol::ReplyKind::Other) {
            // Every line has had its answer: one more is a copy of some reply.
            ignore(Verdict::NothingInFlight, text);
            fail(TransferFailure::Kind::Unpaired, text, Verdict::NothingInFlight);
        } else {
            ignore(Verdict::NothingInFlight, text);
        }
        return;
    }
    if (strict() && kind == protocol::ReplyKind::Version)
        ++versionReplies_;
    const Verdict verdict = rules_.judge(kind);
    if (verdict != Verdict::Answer) {
        ignore(verdict, text);
        if (strict() && unexplained(verdict, kind)) {
            // No sequence numbers: once a reply is seen twice, none can be
            // trusted to answer the line in flight.
            fail(TransferFailure::Kind::Unpaired, text, verdict);
            return;
        }
        // The last answer owed by a line sent more than once frees the next.
        if (pending_ && !rules_.settleDeadline())
            act(*std::exchange(pending_, std::nullopt), pendingReply_);
        return;
    }
    if (phase_ == TransferPhase::Download || phase_ == TransferPhase::Verify)
        slowestAnswer_ = std::max(slowestAnswer_, now() - rules_.sentAt());
    if (rules_.settleDeadline()) {
        // The line went out more than once: its other answers come first.
        pending_ = kind;
        pendingReply_ = text.toByteArray();
        return;
    }
    act(kind, text);
}

void TransferController::act(protocol::ReplyKind kind, QByteArrayView reply)
{
    switch (kind) {
    case protocol::ReplyKind::Version:
        versionReply_ = reply.toByteArray();
        link_.stopInquiryTimer();
        polling_ = false;
        SendNextLine();
        break;
    case protocol::ReplyKind::Error:
        display_.ShowStatus(status::kError);
        display_.SetBarColour(colour::kRed);
        if (strict())
            fail(TransferFailure::Kind::DeviceError, reply);
        else
            phase_ = TransferPhase::Failed;
        break;
    case protocol::ReplyKind::PassEnd:
        // With no image loaded (idle, or after "END") there is no pass to end.
        if (state_.imageLoaded != 1)
            break;
        if (state_.verifying == 1) {
            line_ = state_.lineCount;
            rules_.forgetLine();
            if (strict()) {
                // No sequence numbers: a late copy of the download pass's
                // "DOWNLOAD" can land while the last verify line waits, with
                // the device's own answer still on its way. The end stands
                // once twice the slowest answer of the transfer has passed
                // without an "ERROR".
                confirmUntil_ = now() + confirmTime();
                break;
            }
            endTransfer();
        } else {
            display_.ShowStatus(status::kVerify);
            state_.verifying = 1;
            state_.position = 0;
            phase_ = TransferPhase::Verify;
            line_ = 0;
            SendNextLine();
        }
        break;
    case protocol::ReplyKind::Ok:
        SendNextLine();
        break;
    case protocol::ReplyKind::Other:
        break;
    }
}

void TransferController::endTransfer()
{
    display_.ShowStatus(status::kEnd);
    display_.SetBarColour(colour::kGreen);
    state_.verifying = 0;
    display_.allowOpenFile(true);
    display_.clearReceivedReply();
    state_.imageLoaded = 0;
    state_.position = 0;
    phase_ = TransferPhase::Ended;
}

void TransferController::ignore(Verdict verdict, QByteArrayView reply)
{
    ++ignoredReplies_;
    if (rules_.lineInFlight() || phase_ == TransferPhase::Polling) {
        insteadReply_ = reply.toByteArray();
        insteadVerdict_ = verdict;
    }
}

// Whether a reply left out betrays a copy: one that no datagram of ours
// explains. A second answer to a line sent again is explained by the second
// send; a second "VER=" by a second inquiry.
bool TransferController::unexplained(Verdict verdict, protocol::ReplyKind kind) const
{
    switch (verdict) {
    case Verdict::StalePassEnd:
    case Verdict::EarlyOk:
        return true;
    case Verdict::LateVersion:
        return versionReplies_ > inquiriesSent_;
    case Verdict::NothingInFlight:
        // Before the device answered the inquiry, no line has been asked.
        return kind != protocol::ReplyKind::Other && !versionReply_.isEmpty();
    case Verdict::Answer:
    case Verdict::Unrecognised:
    case Verdict::BeforeInquiry:
    case Verdict::SecondAnswer:
        break;
    }
    return false;
}

Millis TransferController::confirmTime() const
{
    if (limits_.confirmTime)
        return *limits_.confirmTime;
    return std::min(std::max(StrictLimits::kMinConfirmTime, 2 * slowestAnswer_),
                    limits_.replyTimeout);
}

void TransferController::fail(TransferFailure::Kind kind, QByteArrayView reply, Verdict instead)
{
    failure_.kind = kind;
    failure_.phase = phase_;
    failure_.line = rules_.lineInFlight() || phase_ == TransferPhase::Download ||
                            phase_ == TransferPhase::Verify
                        ? line_
                        : 0;
    failure_.sends = rules_.copies();
    failure_.reply = reply.toByteArray();
    failure_.instead = instead;
    phase_ = TransferPhase::Failed;
    pending_.reset();
    confirmUntil_.reset();
    rules_.forgetLine();
}

void TransferController::PollDevice()
{
    if (!link_.send(protocol::kInquiry))
        inquirySendFailed_ = true;
    ++inquiriesSent_;
    display_.ClearReplyView();
    rules_.inquirySent();
}

void TransferController::InstallFirmware()
{
    link_.stopInquiryTimer();
    link_.send(protocol::kInstall);
    state_.linkActivity = TransferState::kLinkIdle;
    link_.pause(kInstallPause);
    link_.close();
    ResetTransfer();
}

void TransferController::ResetTransfer()
{
    display_.clearReceivedReply();
    display_.showLinkAlive(false);
    state_.linkActivity = TransferState::kLinkIdle;
    display_.allowOpenFile(false);
    state_.verifying = 0;
    state_.imageLoaded = 0;
    display_.SetBarValue(0);
    display_.SetBarColour(colour::kNavy);
    display_.ShowStatus(status::kNoFile);
    state_.position = 0;
    display_.showLinkAction(kCaptionConnect);
    state_.connected = 0;
    display_.ClearReplyView();

    phase_ = TransferPhase::NotConnected;
    polling_ = false;
    line_ = 0;
    pending_.reset();
    confirmUntil_.reset();
    rules_.reset();
}

std::optional<OperatorError> TransferController::ToggleLink(const LinkSettings &settings)
{
    if (state_.connected == 0)
        return connect(settings);
    disconnect();
    return std::nullopt;
}

std::optional<OperatorError> TransferController::connect(const LinkSettings &settings)
{
    display_.SetBarValue(0);
    display_.SetBarColour(colour::kNavy);
    link_.flushArpCache();
    if (auto error = link_.open(settings))
        return error;
    state_.linkActivity = 0;
    display_.allowOpenFile(true);
    link_.startInquiryTimer();
    state_.verifying = 0;
    state_.imageLoaded = 0;
    display_.showLinkAction(kCaptionDisconnect);
    state_.connected = 1;

    phase_ = TransferPhase::Polling;
    polling_ = true;
    line_ = 0;
    rules_.reset();
    pending_.reset();
    confirmUntil_.reset();
    slowestAnswer_ = Millis{0};
    failure_ = {};
    ignoredReplies_ = 0;
    resends_ = 0;
    versionReply_.clear();
    inquirySendFailed_ = false;
    insteadReply_.clear();
    insteadVerdict_ = Verdict::Answer;
    inquiriesSent_ = 0;
    versionReplies_ = 0;
    inquiryDeadline_ = now() + limits_.inquiryTimeout;
    return std::nullopt;
}

void TransferController::disconnect()
{
    link_.stopInquiryTimer();
    link_.close();
    ResetTransfer();
}

void TransferController::TickLinkIndicator()
{
    ++state_.linkActivity;
    if (state_.linkActivity > TransferState::kLinkIdle) {
        state_.linkActivity = TransferState::kLinkIdle;
        display_.showLinkAlive(false);
    } else {
        display_.showLinkAlive(true);
    }
}

void TransferController::resetForStart()
{
    state_.connected = 0;
    state_.linkActivity = TransferState::kLinkIdle;
}

void TransferController::startImageLoad()
{
    state_.verifying = 0;
}

void TransferController::clearImageForLoad()
{
    state_.position = 0;
    display_.ShowStatus(status::kNoFile);
}

void TransferController::adoptImage(LineTable &&lines)
{
    state_.lines.swap(lines);
    state_.lineCount = state_.lines.count();
    display_.SetBarMaximum(state_.lineCount);
    display_.ShowStatus(status::kReady);
    state_.position = 0;
    state_.imageLoaded = 1;

    // Whatever is still on its way answers the old image, not this one.
    rules_.forgetLine();
    pending_.reset();
    confirmUntil_.reset();
    line_ = 0;
    if (state_.connected == 1)
        phase_ = polling_ ? TransferPhase::Polling : TransferPhase::Ready;
}

void TransferController::abandonImageLoad()
{
    // Settled before an error box opens, so nothing the box lets through can
    // send from a stale image.
    state_.imageLoaded = 0;
    state_.position = 0;
    rules_.forgetLine();
    pending_.reset();
}

std::optional<Millis> TransferController::deadline() const
{
    if (!strict())
        return std::nullopt;
    if (confirmUntil_)
        return confirmUntil_;
    if (const auto settle = rules_.settleDeadline())
        return settle;
    if (phase_ == TransferPhase::Polling)
        return inquiryDeadline_;
    if (rules_.lineInFlight())
        return replyDeadline_;
    return std::nullopt;
}

void TransferController::handleTimeout()
{
    if (!strict())
        return;
    const Millis time = now();
    if (confirmUntil_) {
        if (time >= *confirmUntil_) {
            confirmUntil_.reset();
            endTransfer();
        }
        return;
    }
    if (const auto settle = rules_.settleDeadline()) {
        if (time < *settle)
            return;
        rules_.endSettling();
        if (pending_)
            act(*std::exchange(pending_, std::nullopt), pendingReply_);
        return;
    }
    if (phase_ == TransferPhase::Polling) {
        if (time >= inquiryDeadline_)
            fail(inquirySendFailed_ ? TransferFailure::Kind::SendFailed
                                    : TransferFailure::Kind::NoVersion,
                 insteadReply_, insteadVerdict_);
        return;
    }
    if (!rules_.lineInFlight() || time < replyDeadline_)
        return;
    if (rules_.copies() <= limits_.retries) {
        ++resends_;
        rules_.lineResent(time);
        replyDeadline_ = time + limits_.replyTimeout;
        if (!link_.send(lastMessage_))
            fail(TransferFailure::Kind::SendFailed);
        return;
    }
    fail(TransferFailure::Kind::NoAnswer, insteadReply_, insteadVerdict_);
}

} // namespace corvanel
