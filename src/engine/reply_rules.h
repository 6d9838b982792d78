#pragma once

#include "engine/policy.h"
#include "engine/protocol.h"

#include <QString>

#include <chrono>
#include <optional>

namespace corvanel {

// What one classified reply means for the transfer.
enum class Verdict {
    Answer,          // it answers what is in flight: act on it
    Unrecognised,    // it holds no token
    BeforeInquiry,   // nothing has been asked yet
    NothingInFlight, // no line waits for its answer
    StalePassEnd,    // "DOWNLOAD" while a line other than the pass's last waits
    EarlyOk,         // "OK" to the pass's last line, which only "DOWNLOAD" answers
    LateVersion,     // "VER=" while a line waits for its answer
    SecondAnswer,    // one more answer to a line that went out more than once
};

// Why a reply was left out, in words for a report.
QString verdictText(Verdict verdict);

// The rules that decide whether a datagram answers the line in flight. The
// protocol has no sequence numbers, and UDP duplicates, delays and reorders,
// so these rules are all that stands between a stale "DOWNLOAD" and a false
// "END". Plain calls in, a verdict out: no sockets, no timers, no clock. The
// policy says which rules apply.
class ReplyRules {
public:
    explicit ReplyRules(const Policy &policy) : policy_(policy) {}

    // A link opened or closed: nothing asked, nothing in flight.
    void reset();
    // No line of the current image is in flight any more (a new image, or the
    // transfer is over): what still arrives answers nothing.
    void forgetLine();
    void inquirySent()
    {
        inquired_ = true;
        ++inquiries_;
    }
    // Line `line` of `lineCount` went out; `endOfFileRecord` when it is one.
    void lineSent(int line, int lineCount, bool endOfFileRecord, Millis now);
    // The line in flight went out again (its answer did not come in time).
    void lineResent(Millis now);

    // Judges one reply; an Answer takes the line in flight out of the air.
    Verdict judge(protocol::ReplyKind kind);
    // Whether a reply left out betrays a copy: one that no datagram sent
    // explains. A second answer to a line sent again is explained by the
    // second send; a second "VER=" by a second inquiry.
    bool isCopy(Verdict verdict, protocol::ReplyKind kind) const;

    bool lineInFlight() const { return state_ == State::InFlight; }
    int line() const { return line_; }
    int copies() const { return copies_; }
    // When the line in flight (or the one answered last) went out last.
    Millis sentAt() const { return sentAt_; }
    // While an answered line that went out more than once may still be
    // answered again, the next line waits: until its other answers came, or
    // until this time. Empty when nothing holds the next line back.
    std::optional<Millis> settleDeadline() const
    {
        if (state_ != State::Settling)
            return std::nullopt;
        return sentAt_ + policy_.limits.replyTimeout;
    }
    // The wait above is over (its time passed).
    void endSettling();

private:
    enum class State { Idle, InFlight, Settling };

    const Policy &policy_;
    State state_ = State::Idle;
    bool inquired_ = false;
    int inquiries_ = 0;     // each may draw one "VER="
    int versions_ = 0;      // "VER=" replies judged
    bool versionTaken_ = false; // a "VER=" answered the inquiry: lines are asked from then on
    int line_ = 0;
    bool endsPass_ = false;
    int copies_ = 0;       // how often the line in flight went out
    int extraAnswers_ = 0; // answers still owed while settling
    Millis sentAt_{0};
};

} // namespace corvanel
