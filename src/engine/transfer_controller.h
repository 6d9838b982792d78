#pragma once

#include "engine/device_link.h"
#include "engine/reply_rules.h"
#include "engine/status_display.h"
#include "engine/transfer_state.h"

#include <QByteArray>
#include <QByteArrayView>

#include <functional>
#include <optional>

namespace corvanel {

// Where a transfer stands.
enum class TransferPhase {
    NotConnected,
    Polling,  // connected, inquiring; no pass has begun
    Ready,    // connected, an image loaded after polling stopped; the next "OK" starts it
    Download, // the download pass
    Verify,   // the verify pass
    Ended,    // "END": downloaded and verified
    Failed,   // the device answered "ERROR", or (unattended) a wait ran out
};

// Why an unattended transfer stopped, as typed values; front ends word it.
struct TransferFailure {
    enum class Kind {
        None,
        DeviceError,    // the device answered "ERROR"
        // A reply that no datagram of ours explains: the network duplicates
        // (or the device answers out of turn), so no reply proves which line
        // it answers and the image cannot be proven.
        Unpaired,
        NoVersion,      // no "VER=" within the inquiry time-out
        NoAnswer,       // no answer to a line within the reply time-out, after retries
        SendFailed,     // a datagram could not be handed to the network
    };
    Kind kind = Kind::None;
    TransferPhase phase = TransferPhase::NotConnected; // where it stood: Polling, Download, Verify
    int line = 0;                                      // the line in flight (0 while polling)
    int sends = 0;                                     // how often that line went out
    QByteArray reply; // the reply that stopped it, or the last one left out instead
    Verdict instead = Verdict::Answer; // why that reply was left out
};

// Bounds of an unattended transfer.
struct StrictLimits {
    // The shortest quiet time before an end stands.
    static constexpr Millis kMinConfirmTime{50};

    Millis inquiryTimeout{30000};
    Millis replyTimeout{3000};
    int retries = 0; // sends of a line again after its reply time-out
    // How long the end of the verify pass must stand without a further reply
    // before it counts; empty: at least kMinConfirmTime and twice the slowest
    // answer of the transfer, at most the reply time-out.
    std::optional<Millis> confirmTime;
};

// Monotonic time for an unattended transfer's deadlines.
using Clock = std::function<Millis()>;

// The transfer state machine: download pass, verify pass, end, error, install,
// inquiry polling, the link toggle and the link indicator. It is the only
// writer of the transfer state. It does no I/O of its own: every effect goes
// through the display and the link it was given, and every reply is first
// judged by its reply rules.
//
// The window's controller follows the operator's rules and waits as long as
// the operator does. An unattended controller (the command-line flasher) takes
// strict rules and limits: its deadline() says when handleTimeout() is due.
class TransferController {
public:
    static constexpr Millis kInstallPause{100};

    TransferController(StatusDisplay &display, DeviceLink &link);
    TransferController(StatusDisplay &display, DeviceLink &link, const StrictLimits &limits,
                       Clock clock);

    const TransferState &state() const { return state_; }
    TransferPhase phase() const { return phase_; }
    // The line sent last in the pass under way; the line count once ended.
    int line() const { return line_; }
    bool isPolling() const { return polling_; }
    const TransferFailure &failure() const { return failure_; }
    int ignoredReplies() const { return ignoredReplies_; }
    int resends() const { return resends_; }
    // The reply that answered the inquiry on this connection, as received
    // less trailing spaces; empty until one came. Unattended front ends quote
    // the device's "VER=" text from it.
    const QByteArray &versionReply() const { return versionReply_; }

    void SendNextLine();
    void HandleReply(QByteArrayView reply);
    void PollDevice();
    void InstallFirmware();
    void ResetTransfer();

    // Connects when not connected, disconnects otherwise. A connect that cannot
    // complete returns its error and leaves the link closed and the caption
    // "Connect", so the operator can correct the settings and try again.
    std::optional<OperatorError> ToggleLink(const LinkSettings &settings);

    // One tick of the link indicator.
    void TickLinkIndicator();

    // Start-up: no link, and the indicator at rest.
    void resetForStart();

    // Loading an image, in the order the open-file button takes its steps:
    // the pass flag is cleared first whatever the outcome, the old image is
    // retired once a file is chosen, and a finished line table is adopted.
    void startImageLoad();
    void clearImageForLoad();
    void adoptImage(LineTable &&lines);
    // A load that failed: nothing is sent from the retired image.
    void abandonImageLoad();

    // Unattended only: when handleTimeout() is next due; empty when nothing waits.
    std::optional<Millis> deadline() const;
    void handleTimeout();

private:
    bool strict() const { return rules_.policy() == ReplyPolicy::Strict; }
    Millis now() const { return clock_ ? clock_() : Millis{0}; }
    std::optional<OperatorError> connect(const LinkSettings &settings);
    void disconnect();
    void act(protocol::ReplyKind kind, QByteArrayView reply);
    void endTransfer();
    void ignore(Verdict verdict, QByteArrayView reply);
    bool unexplained(Verdict verdict, protocol::ReplyKind kind) const;
    Millis confirmTime() const;
    void fail(TransferFailure::Kind kind, QByteArrayView reply = {},
              Verdict instead = Verdict::Answer);

    TransferState state_;
    StatusDisplay &display_;
    DeviceLink &link_;
    ReplyRules rules_;
    StrictLimits limits_;
    Clock clock_;

    TransferPhase phase_ = TransferPhase::NotConnected;
    int line_ = 0;
    bool polling_ = false;
    TransferFailure failure_;
    int ignoredReplies_ = 0;
    int resends_ = 0;
    QByteArray versionReply_;

    // Unattended bookkeeping.
    QByteArray lastMessage_; // the line in flight, as sent
    Millis inquiryDeadline_{0};
    Millis replyDeadline_{0};
    bool inquirySendFailed_ = false;
    std::optional<protocol::ReplyKind> pending_; // an answer held back while its line settles
    QByteArray pendingReply_;
    std::optional<Millis> confirmUntil_; // the end is being confirmed until then
    Millis slowestAnswer_{0};            // the longest a line waited for its answer
    QByteArray insteadReply_;            // left out while the line in flight waited
    Verdict insteadVerdict_ = Verdict::Answer;
    int inquiriesSent_ = 0;  // each may draw one "VER="
    int versionReplies_ = 0; // "VER=" replies taken or left out
};

} // namespace corvanel
