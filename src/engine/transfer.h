#pragma once

#include "engine/effects.h"
#include "engine/outbox.h"
#include "engine/policy.h"
#include "engine/reply_rules.h"
#include "engine/transfer_state.h"

#include <QByteArray>
#include <QByteArrayView>

#include <vector>
#include <optional>

namespace corvanel {

// Where a transfer stands.
enum class Phase {
    NotConnected,
    Polling,    // connected, inquiring; no pass has begun
    Ready,      // connected, an image loaded after polling stopped; the next "OK" starts it
    Download,   // the download pass
    Verify,     // the verify pass (unattended: also while its end is confirmed)
    Ended,      // "END": downloaded and verified
    Failed,     // the device answered "ERROR", or (unattended) the transfer could not go on
    Installing, // "BOOTg" sent; the link closes once it has left
};

// Why a transfer stopped, as typed values; front ends word it.
struct TransferFailure {
    enum class Kind {
        None,
        DeviceError, // the device answered "ERROR"
        // A reply that no datagram sent explains: the network copies replies
        // (or the device answers out of turn), so no reply proves which line
        // it answers and the image cannot be proven.
        Unpaired,
        NoVersion,  // no "VER=" within the inquiry time-out
        NoAnswer,   // no answer to a line within the reply time-out, after retries
        SendFailed, // a datagram could not be handed to the network
    };
    Kind kind = Kind::None;
    Phase phase = Phase::NotConnected; // where it stood: Polling, Download, Verify
    int line = 0;                      // the line in flight (0 while polling)
    int sends = 0;                     // how often that line went out
    QByteArray reply; // the reply that stopped it, or the last one left out instead
    Verdict instead = Verdict::Answer; // why that reply was left out
    // A refusal after the end: how long after the verify pass's "DOWNLOAD"
    // (phase Verify) or after "BOOTg" (phase Installing) it came.
    std::optional<Millis> afterEnd;
};

// The transfer, free of I/O: the download pass, the verify pass, the end,
// errors, install, inquiry polling, the link toggle and the link indicator.
// Inputs are calls that carry the time; outputs are effects the driver polls
// (datagrams, link and display changes, in order), the next deadline, and
// the transfer's phase and line. It is the only writer of TransferState.
//
// The window drives it with the window policy and its own two timers; the
// flasher drives one per board with the strict policy, through a HostRun.
class Transfer {
public:
    explicit Transfer(const Policy &policy = Policy::window());
    Transfer(const Transfer &) = delete;
    Transfer &operator=(const Transfer &) = delete;

    const Policy &policy() const { return policy_; }
    const TransferState &state() const { return state_; }
    Phase phase() const { return phase_; }
    // The line sent last in the pass under way; the line count once ended.
    int line() const { return line_; }
    bool isPolling() const { return polling_; }
    const TransferFailure &failure() const { return failure_; }
    int ignoredReplies() const { return ignoredReplies_; }
    int resends() const { return resends_; }
    // The reply that answered the inquiry on this connection, less trailing
    // spaces; empty until one came.
    const QByteArray &versionReply() const { return versionReply_; }

    // The link. Connect queues the steps up to OpenLink; the driver then
    // opens the socket and says how it went.
    void connect();
    void linkOpened(Millis now);
    void linkFailed();
    void disconnect();
    // The reset that disconnect and install share: no link, no image, the
    // bar at rest.
    void resetTransfer();
    // The window's start-up: no link, and the indicator at rest.
    void resetForStart();

    // One inquiry.
    void pollDevice(Millis now);
    // The next image line.
    void sendNextLine(Millis now);
    // One datagram from the device, whole; Answer, or why it was left out.
    Verdict handleDatagram(Millis now, const QByteArray &datagram);
    // A deadline of pollTimeout() has come.
    void handleTimeout(Millis now);
    // The datagram the last input sent could not be handed to the network.
    void handleSendFailure();
    // "BOOTg", then the link closes once kInstallPause has passed.
    void install(Millis now);
    void tickLinkIndicator();

    // Loading an image, in the order the open-file button takes its steps
    // once a file is chosen: the pass flag is cleared, the old image retired,
    // and a finished line table adopted (or the load abandoned).
    void startImageLoad();
    void clearImageForLoad();
    void adoptImage(SharedLines lines);
    void abandonImageLoad();

    // Outputs.
    // The next effect; null once all are taken. It stays valid until the
    // next call into the transfer: a driver that calls in while carrying one
    // out (an open that failed, a send that failed) is done with it.
    const Effect *pollEffect();
    bool hasEffects() const { return !effects_.empty(); }
    // When handleTimeout() is next due; empty when nothing waits.
    std::optional<Millis> pollTimeout() const;
    // Whether "BOOTg" could be sent; false when its send failed.
    bool installSent() const { return installSent_; }

private:
    void queue(Effect::Kind kind, qint64 value = 0) { effects_.push({kind, value}); }
    void queueWord(Effect::Kind kind, QLatin1StringView word)
    {
        effects_.push({kind, 0, word});
    }
    void send(QByteArray datagram)
    {
        effects_.push({Effect::Kind::Send, 0, {}, std::move(datagram)});
    }
    void act(protocol::ReplyKind kind, QByteArrayView reply, Millis now);
    void endTransfer();
    void forgetTransfer(); // whatever is in flight answers nothing any more
    void closeAfterInstall();
    void ignore(Verdict verdict, QByteArrayView reply);
    Millis confirmTime() const;
    void fail(TransferFailure::Kind kind, QByteArrayView reply = {},
              Verdict instead = Verdict::Answer);

    Policy policy_;
    ReplyRules rules_;
    TransferState state_;
    Outbox<Effect> effects_;

    Phase phase_ = Phase::NotConnected;
    int line_ = 0;
    bool polling_ = false;
    TransferFailure failure_;
    int ignoredReplies_ = 0;
    int resends_ = 0;
    QByteArray versionReply_;
    bool installSent_ = false;
    Millis closeAt_{0};     // Installing: when the link closes
    Millis endedAt_{0};     // when the verify pass's "DOWNLOAD" or "BOOTg" came or went
    Millis nextInquiry_{0}; // Polling: when the next inquiry is due

    // Bounded waits and the strict rules' bookkeeping.
    Millis inquiryDeadline_{0};
    Millis replyDeadline_{0};
    bool inquirySendFailed_ = false;
    std::optional<protocol::ReplyKind> pending_; // an answer held back while its line settles
    QByteArray pendingReply_;
    std::optional<Millis> confirmUntil_; // the end is being confirmed until then
    Millis slowestAnswer_{0};            // the longest a line waited for its answer
    QByteArray insteadReply_;            // left out while the line in flight waited
    Verdict insteadVerdict_ = Verdict::Answer;
};

} // namespace corvanel
