#include "engine/transfer.h"

#include "engine/protocol.h"

#include <algorithm>
#include <utility>

namespace corvanel {

using K = Effect::Kind;

Transfer::Transfer(const Policy &policy) : policy_(policy), rules_(policy_) {}

const Effect *Transfer::pollEffect()
{
    return effects_.take();
}

void Transfer::connect()
{
    queue(K::SetBarValue, 0);
    queue(K::SetBarColour, colour::kNavy);
    queue(K::FlushArp);
    queue(K::OpenLink);
}

void Transfer::linkOpened(Millis now)
{
    state_.linkActivity = 0;
    queue(K::AllowOpenFile, 1);
    queue(K::StartInquiries);
    state_.verifying = 0;
    state_.imageLoaded = 0;
    queueWord(K::ShowLinkAction, kCaptionDisconnect);
    state_.connected = 1;

    // A new connection: nothing asked, nothing counted.
    phase_ = Phase::Polling;
    polling_ = true;
    line_ = 0;
    forgetTransfer();
    rules_.reset();
    slowestAnswer_ = Millis{0};
    failure_ = {};
    ignoredReplies_ = 0;
    resends_ = 0;
    versionReply_.clear();
    inquirySendFailed_ = false;
    insteadReply_.clear();
    insteadVerdict_ = Verdict::Answer;
    installSent_ = false;
    nextInquiry_ = now + Policy::kInquiryInterval;
    inquiryDeadline_ = now + policy_.limits.inquiryTimeout;
}

void Transfer::linkFailed()
{
    // Nothing more of the connect: the link stays closed and the button
    // still offers "Connect", so the operator can correct and try again.
}

void Transfer::disconnect()
{
    queue(K::StopInquiries);
    queue(K::CloseLink);
    resetTransfer();
}

void Transfer::resetTransfer()
{
    queue(K::ClearReceivedReply);
    queue(K::ShowLinkAlive, 0);
    state_.linkActivity = TransferState::kLinkIdle;
    queue(K::AllowOpenFile, 0);
    state_.verifying = 0;
    state_.imageLoaded = 0;
    queue(K::SetBarValue, 0);
    queue(K::SetBarColour, colour::kNavy);
    queueWord(K::ShowStatus, status::kNoFile);
    state_.position = 0;
    queueWord(K::ShowLinkAction, kCaptionConnect);
    state_.connected = 0;
    queue(K::ClearReplyView);

    phase_ = Phase::NotConnected;
    polling_ = false;
    line_ = 0;
    forgetTransfer();
    rules_.reset();
}

void Transfer::resetForStart()
{
    state_.connected = 0;
    state_.linkActivity = TransferState::kLinkIdle;
}

void Transfer::forgetTransfer()
{
    rules_.forgetLine();
    pending_.reset();
    confirmUntil_.reset();
}

void Transfer::pollDevice(Millis now)
{
    send(protocol::kInquiry.toByteArray());
    queue(K::ClearReplyView);
    rules_.inquirySent();
    nextInquiry_ = now + Policy::kInquiryInterval;
}

void Transfer::sendNextLine(Millis now)
{
    if (state_.imageLoaded != 1)
        return;
    // An image of no lines has nothing to send; the position could never wrap.
    if (state_.lineCount <= 0 || state_.lineCount > state_.lines->count())
        return;
    // A position outside the image (never reached through these operations)
    // restarts the pass instead of reading beyond the table.
    if (state_.position < 0 || state_.position >= state_.lineCount)
        state_.position = 0;

    const QByteArray line = state_.lines->line(state_.position + 1);
    rules_.lineSent(state_.position + 1, state_.lineCount, protocol::isEndOfFileRecord(line), now);
    if (state_.verifying == 1) {
        ++state_.position;
        send(protocol::verifyLineMessage(line));
        queue(K::SetBarValue, state_.position);
        phase_ = Phase::Verify;
    } else {
        queueWord(K::ShowStatus, status::kDownload);
        ++state_.position;
        send(protocol::downloadLineMessage(line));
        queue(K::SetBarValue, state_.position);
        phase_ = Phase::Download;
    }
    line_ = state_.position;
    if (state_.position == state_.lineCount)
        state_.position = 0;

    replyDeadline_ = now + policy_.limits.replyTimeout;
    insteadReply_.clear();
    insteadVerdict_ = Verdict::Answer;
}

Verdict Transfer::handleDatagram(Millis now, const QByteArray &datagram)
{
    state_.linkActivity = 1;
    effects_.push({K::ShowReply, 0, {}, datagram});
    const QByteArrayView text = protocol::trimTrailingSpaces(datagram);
    const auto kind = protocol::classifyReply(text, state_.imageLoaded == 1);

    // A transfer that is over takes nothing more; one whose end is being
    // confirmed takes only the device's refusal, and a copy of anything else
    // proves that replies cannot be paired.
    if (policy_.endsAreFinal && (phase_ == Phase::Ended || phase_ == Phase::Failed ||
                                 phase_ == Phase::NotConnected ||
                                 phase_ == Phase::Installing || confirmUntil_)) {
        // The device's refusal is never left out while the link is open: after
        // the end it unmakes the end, after "BOOTg" it says the install failed.
        if ((confirmUntil_ || phase_ == Phase::Installing) &&
            kind == protocol::ReplyKind::Error) {
            fail(TransferFailure::Kind::DeviceError, text);
            failure_.afterEnd = now - endedAt_;
            return Verdict::Answer;
        }
        ignore(Verdict::NothingInFlight, text);
        if (confirmUntil_ && kind != protocol::ReplyKind::Other)
            fail(TransferFailure::Kind::Unpaired, text, Verdict::NothingInFlight);
        return Verdict::NothingInFlight;
    }
    const Verdict verdict = rules_.judge(kind);
    if (verdict != Verdict::Answer) {
        ignore(verdict, text);
        if (policy_.copiesFail && rules_.isCopy(verdict, kind)) {
            // No sequence numbers: once a reply is seen twice, none can be
            // trusted to answer the line in flight.
            fail(TransferFailure::Kind::Unpaired, text, verdict);
            return verdict;
        }
        // The last answer owed by a line sent more than once frees the next.
        if (pending_ && !rules_.settleDeadline())
            act(*std::exchange(pending_, std::nullopt), pendingReply_, now);
        return verdict;
    }
    if (phase_ == Phase::Download || phase_ == Phase::Verify)
        slowestAnswer_ = std::max(slowestAnswer_, now - rules_.sentAt());
    if (rules_.settleDeadline()) {
        // The line went out more than once: its other answers come first.
        pending_ = kind;
        pendingReply_ = text.toByteArray();
        return Verdict::Answer;
    }
    act(kind, text, now);
    return Verdict::Answer;
}

void Transfer::act(protocol::ReplyKind kind, QByteArrayView reply, Millis now)
{
    switch (kind) {
    case protocol::ReplyKind::Version:
        versionReply_ = reply.toByteArray();
        queue(K::StopInquiries);
        polling_ = false;
        sendNextLine(now);
        break;
    case protocol::ReplyKind::Error:
        queueWord(K::ShowStatus, status::kError);
        queue(K::SetBarColour, colour::kRed);
        fail(TransferFailure::Kind::DeviceError, reply);
        break;
    case protocol::ReplyKind::PassEnd:
        // With no image loaded (idle, or after "END") there is no pass to end.
        if (state_.imageLoaded != 1)
            break;
        if (state_.verifying == 1) {
            line_ = state_.lineCount;
            rules_.forgetLine();
            if (policy_.bounded) {
                // No sequence numbers: a late copy of the download pass's
                // "DOWNLOAD" can land while the last verify line waits, with
                // the device's own answer still on its way. The end stands
                // after a quiet time.
                confirmUntil_ = now + confirmTime();
                endedAt_ = now;
                break;
            }
            endTransfer();
        } else {
            queueWord(K::ShowStatus, status::kVerify);
            state_.verifying = 1;
            state_.position = 0;
            phase_ = Phase::Verify;
            line_ = 0;
            sendNextLine(now);
        }
        break;
    case protocol::ReplyKind::Ok:
        sendNextLine(now);
        break;
    case protocol::ReplyKind::Other:
        break;
    }
}

void Transfer::endTransfer()
{
    queueWord(K::ShowStatus, status::kEnd);
    queue(K::SetBarColour, colour::kGreen);
    state_.verifying = 0;
    queue(K::AllowOpenFile, 1);
    queue(K::ClearReceivedReply);
    state_.imageLoaded = 0;
    state_.position = 0;
    phase_ = Phase::Ended;
}

void Transfer::ignore(Verdict verdict, QByteArrayView reply)
{
    ++ignoredReplies_;
    if (rules_.lineInFlight() || phase_ == Phase::Polling) {
        insteadReply_ = reply.toByteArray();
        insteadVerdict_ = verdict;
    }
}

Millis Transfer::confirmTime() const
{
    if (policy_.limits.confirmTime)
        return *policy_.limits.confirmTime;
    return std::min(std::max(StrictLimits::kMinConfirmTime, 2 * slowestAnswer_),
                    policy_.limits.replyTimeout);
}

void Transfer::fail(TransferFailure::Kind kind, QByteArrayView reply, Verdict instead)
{
    failure_.kind = kind;
    failure_.phase = phase_;
    failure_.line =
        rules_.lineInFlight() || phase_ == Phase::Download || phase_ == Phase::Verify ? line_ : 0;
    failure_.sends = rules_.copies();
    failure_.reply = reply.toByteArray();
    failure_.instead = instead;
    failure_.afterEnd.reset();
    phase_ = Phase::Failed;
    // The window goes on at a later "OK" (its rules take it as asked for);
    // unattended, nothing more is sent.
    if (policy_.endsAreFinal)
        forgetTransfer();
}

void Transfer::install(Millis now)
{
    queue(K::StopInquiries);
    send(protocol::kInstall.toByteArray());
    state_.linkActivity = TransferState::kLinkIdle;
    polling_ = false;
    installSent_ = true;
    phase_ = Phase::Installing;
    endedAt_ = now;
    closeAt_ = now + Policy::kInstallPause;
}

void Transfer::closeAfterInstall()
{
    queue(K::CloseLink);
    resetTransfer();
}

void Transfer::handleSendFailure()
{
    switch (phase_) {
    case Phase::Polling:
        // Told at the inquiry's time-out, unless the device answers meanwhile.
        inquirySendFailed_ = true;
        break;
    case Phase::Installing:
        installSent_ = false;
        break;
    case Phase::Download:
    case Phase::Verify:
        if (policy_.bounded)
            fail(TransferFailure::Kind::SendFailed);
        break;
    default:
        break;
    }
}

void Transfer::tickLinkIndicator()
{
    ++state_.linkActivity;
    if (state_.linkActivity > TransferState::kLinkIdle) {
        state_.linkActivity = TransferState::kLinkIdle;
        queue(K::ShowLinkAlive, 0);
    } else {
        queue(K::ShowLinkAlive, 1);
    }
}

void Transfer::startImageLoad()
{
    state_.verifying = 0;
}

void Transfer::clearImageForLoad()
{
    state_.position = 0;
    queueWord(K::ShowStatus, status::kNoFile);
}

void Transfer::adoptImage(SharedLines lines)
{
    if (lines)
        state_.lines = std::move(lines);
    state_.lineCount = transferLineCount(*state_.lines);
    queue(K::SetBarMaximum, state_.lineCount);
    queueWord(K::ShowStatus, status::kReady);
    state_.position = 0;
    state_.imageLoaded = 1;

    // Whatever is still on its way answers the old image, not this one.
    forgetTransfer();
    line_ = 0;
    if (state_.connected == 1)
        phase_ = polling_ ? Phase::Polling : Phase::Ready;
}

void Transfer::abandonImageLoad()
{
    // Settled before an error box opens, so nothing the box lets through can
    // send from a stale image.
    state_.imageLoaded = 0;
    state_.position = 0;
    forgetTransfer();
}

std::optional<Millis> Transfer::pollTimeout() const
{
    if (phase_ == Phase::Installing)
        return closeAt_;
    if (polling_)
        return policy_.bounded ? std::min(nextInquiry_, inquiryDeadline_) : nextInquiry_;
    if (!policy_.bounded)
        return std::nullopt;
    if (confirmUntil_)
        return confirmUntil_;
    if (const auto settle = rules_.settleDeadline())
        return settle;
    if (phase_ != Phase::Failed && rules_.lineInFlight())
        return replyDeadline_;
    return std::nullopt;
}

void Transfer::handleTimeout(Millis now)
{
    if (phase_ == Phase::Installing) {
        if (now >= closeAt_)
            closeAfterInstall();
        return;
    }
    if (polling_) {
        if (policy_.bounded && now >= inquiryDeadline_) {
            polling_ = false;
            fail(inquirySendFailed_ ? TransferFailure::Kind::SendFailed
                                    : TransferFailure::Kind::NoVersion,
                 insteadReply_, insteadVerdict_);
        } else if (now >= nextInquiry_) {
            pollDevice(now);
        }
        return;
    }
    if (!policy_.bounded)
        return;
    if (confirmUntil_) {
        if (now >= *confirmUntil_) {
            confirmUntil_.reset();
            endTransfer();
        }
        return;
    }
    if (const auto settle = rules_.settleDeadline()) {
        if (now < *settle)
            return;
        rules_.endSettling();
        if (pending_)
            act(*std::exchange(pending_, std::nullopt), pendingReply_, now);
        return;
    }
    if (phase_ == Phase::Failed || !rules_.lineInFlight() || now < replyDeadline_)
        return;
    if (rules_.copies() <= policy_.limits.retries) {
        ++resends_;
        rules_.lineResent(now);
        replyDeadline_ = now + policy_.limits.replyTimeout;
        // The line in flight, framed again as it went out.
        const QByteArray line = state_.lines->line(rules_.line());
        send(phase_ == Phase::Verify ? protocol::verifyLineMessage(line)
                                     : protocol::downloadLineMessage(line));
        return;
    }
    fail(TransferFailure::Kind::NoAnswer, insteadReply_, insteadVerdict_);
}

} // namespace corvanel
