#pragma once

#include "engine/policy.h"
#include "engine/protocol.h"

#include <QString>

#include <optional>

namespace corvanel {

// What became of one input: taken, or why it was left out. Every input a
// board's state does not expect gets one of these, and the trace says it.
enum class Verdict {
    Answer, // it answers what is in flight: acted on
    // The reply rules.
    Unrecognised,    // it holds no token
    BeforeInquiry,   // nothing has been asked yet
    NothingInFlight, // no line waits for its answer
    StalePassEnd,    // "DOWNLOAD" while a line other than the pass's last waits
    EarlyOk,         // "OK" to the pass's last line, which only "DOWNLOAD" answers
    LateVersion,     // "VER=" while a line waits for its answer
    SecondAnswer,    // one more answer to a line that went out more than once
    // Who sent it, and when.
    OtherPort, // from a port of the device's address that is not the device's
    RunOver,   // the board's run (or this attempt) is over
    // A production lane between boards.
    BoardThere,  // "VER=": a board answers; which one follows from its address
    BoardStays,  // "VER=" from the board done, which has not left
    NotAVersion, // only "VER=" tells that a board is there
    LaneStopped, // the lane has stopped
    NotExpected, // an input this state does not take (a link opened after the run)
};

// What became of a datagram: the verdict, and whether it betrayed a copy
// that fails the attempt.
struct Heard {
    Verdict verdict = Verdict::Answer;
    bool copy = false;
    bool operator==(Verdict v) const { return verdict == v; }
};

// The verdict as the trace writes it: "answer", "left out: ...".
QString verdictText(Verdict verdict);
inline bool isAnswer(Verdict verdict)
{
    return verdict == Verdict::Answer || verdict == Verdict::BoardThere ||
           verdict == Verdict::BoardStays;
}

// What one connection has asked so far: the copy rule counts against it.
struct Asked {
    bool inquired = false;
    int inquiries = 0;         // each may draw one "VER="
    int versions = 0;          // "VER=" replies judged
    bool versionTaken = false; // a "VER=" answered the inquiry: lines are asked from then on
};

// The line sent last, while it still expects an answer.
struct Flight {
    enum class Stage {
        Waiting,  // for its answer
        Settling, // answered; a line sent more than once owes its other answers first
    };
    Stage stage = Stage::Waiting;
    int line = 0;
    bool endsPass = false; // only "DOWNLOAD" answers it
    int sends = 1;         // how often it went out
    int owed = 0;          // Settling: answers still owed
    Millis sentAt{0};      // when it went out last
};

// The rules that decide whether a reply answers the line in flight. The
// protocol has no sequence numbers, and UDP duplicates, delays and reorders,
// so these rules are all that stands between a stale "DOWNLOAD" and a false
// "END". Plain values in, a verdict out; an Answer takes the line out of the
// air (`flight` emptied, or Settling while a resent line owes answers).
Verdict judgeReply(const Policy &policy, Asked &asked, std::optional<Flight> &flight,
                   protocol::ReplyKind kind);

// Whether a reply left out betrays a copy: one that no datagram sent
// explains. A second answer to a line sent again is explained by the second
// send; a second "VER=" by a second inquiry.
bool isCopy(const Asked &asked, Verdict verdict, protocol::ReplyKind kind);

} // namespace corvanel
