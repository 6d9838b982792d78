#pragma once

#include "engine/line_source.h"
#include "engine/outbox.h"
#include "engine/policy.h"
#include "engine/protocol.h"
#include "engine/reply_rules.h"
#include "engine/run_report.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>

#include <array>
#include <memory>
#include <optional>
#include <variant>
#include <vector>

namespace corvanel {

// The boards of one run known by their hardware address, over every lane: a
// board done once is never flashed again in the run, at whichever fixture it
// comes back.
class DoneBoards {
public:
    struct Board {
        int number = 0; // in its lane
        QString lane;   // "HOST:PORT"
    };
    const Board *find(const QString &mac) const
    {
        const auto it = boards_.constFind(mac);
        return it == boards_.cend() ? nullptr : &*it;
    }
    void add(const QString &mac, Board board) { boards_.insert(mac, std::move(board)); }

private:
    QHash<QString, Board> boards_;
};

// One address the flasher talks to, and how.
struct HostSettings {
    QString host;    // as given, for the reports
    QString address; // "A.B.C.D", what the link talks to: a name resolved once, before
                     // anything is sent; empty: `host` itself
    quint16 remotePort = protocol::kDefaultRemotePort;
    // Empty: a random port from 5500 to 6499, as the window picks it (another
    // one is drawn when that port is taken). 0: a port the system chooses.
    std::optional<quint16> localPort;
    StrictLimits limits;
    int attempts = 1;     // whole transfers, each from the inquiry on
    bool install = false; // "BOOTg" after "END"
    bool dryRun = false;  // wait for "VER=" and send nothing else

    // What the link is aimed at.
    const QString &linkHost() const { return address.isEmpty() ? host : address; }
};

// How the boards come to an address: one, flashed at once, or board after
// board at a fixture (continuous production).
struct Production {
    // The lane probes at least three times within the gone time, and never
    // faster than every 10 ms: a shorter gone time could not tell a board
    // that stays from one that left.
    static constexpr Millis kMinProbeInterval{10};
    static constexpr Millis kMinGoneTime{100};

    bool continuous = false;
    std::optional<int> count; // continuous: boards to flash; empty: until interrupted
    Millis goneTime{1000};    // continuous: this long without an answer, a board has left
    bool flushArp = false;    // the address's neighbour entry, before each board
    // Ask, once a board has answered, whether a record shows it done with
    // this image already (--skip-done): then it is not flashed again.
    bool skipDone = false;
    // Shared by the lanes of a run; empty: the board keeps its own.
    std::shared_ptr<DoneBoards> doneBoards = nullptr;
};

// What the board wants done on the link, in order. The driver carries it out
// and answers where it says so, before the next input.
struct LinkEffect {
    enum class Kind : quint8 {
        Send,           // `bytes`: one datagram to the device; a failure: handleSendFailure
        OpenLink,       // bind and aim the socket; answer linkOpened or linkFailed
        CloseLink,      //
        FlushArpCache,  // the window's "Connect": the host's whole ARP cache
        FlushNeighbour, // the neighbour entry of the board's address alone
        // The address's hardware address, and with Production::skipDone the
        // record that shows the board done already; answer neighbourRead.
        ReadNeighbour,
    };
    Kind kind;
    QByteArray bytes{};
    // OpenLink for the flasher: the port to bind (0: the system's choice), or
    // empty for a random one of 5500 to 6499 that is not `avoidPort`.
    std::optional<quint16> localPort{};
    quint16 avoidPort = 0;
};

enum class Pass : quint8 { Download, Verify };

// What happened, for whoever shows or records it: the window makes its
// words, colours and indicator from these; the flasher its progress and
// records.
struct BoardEvent {
    enum class Kind : quint8 {
        Connecting,     // the window's connect began
        Connected,      // the link is open; the inquiries begin
        PollingStopped, // the inquiries end (the window's inquiry timer)
        Inquired,       // an inquiry went out
        ReplyArrived,   // `bytes`: a datagram from the device, as received
        ImageLoading,   // a new image is being read; the old one is retired
        ImageLoaded,    // `line`: its line count
        LineSent,       // `pass`, `line`: the line sent last
        VerifyStarted,  // the download pass ended; the verify pass begins
        Ended,          // "END": downloaded and verified
        Refused,        // the device answered "ERROR"
        Installing,     // "BOOTg" went out; the link closes after the pause
        Reset,          // no link, no image: disconnect, or the install's end
        // The flasher's run.
        Progress,     // where the run stands changed (a phase, a lane's state)
        AttemptEnded, // `report`: an attempt's own record; `another` attempt follows
        BoardDone,    // `report`: the board's summary row
        BoardBack,    // `report`: a board done before came back (number, MAC)
        Finished,     // the run is over: nothing follows
    };
    Kind kind;
    Pass pass = Pass::Download;
    int line = 0;
    bool another = false;
    QByteArray bytes{};
    std::shared_ptr<HostReport> report{}; // the events that carry one
};

using BoardOutput = std::variant<LinkEffect, BoardEvent>;

// Where one board's run stands, as the live view and the summary take it: a
// copy, never the run itself.
struct HostSnapshot {
    Phase phase = Phase::NotConnected;
    int line = 0;
    int lineCount = 0;
    qint64 linesDone = 0;                  // over both passes, 0 to 2 × lineCount
    Millis elapsed{0};                     // since the run began
    std::optional<Millis> transferElapsed; // since this attempt's first line
    bool finished = false;
    HostReport report; // once finished: the board's summary row
};

// Where a lane (an address the boards come to) stands.
struct LaneSnapshot {
    enum class State {
        Waiting,  // for a board to answer the inquiry
        Flashing, // the board's run
        Leaving,  // the board is done; it has answered within the gone time
        Done,     // the lane has stopped
    };
    State state = State::Waiting;
    int board = 0;             // the board under way (or last), from 1
    HostSnapshot host;         // the board under way, or the last one's end
    int boardsDone = 0;        // boards that have their summary row
    int boardsEnded = 0;       // of these, ended with "END"
    Millis elapsed{0};         // since the lane began
    Millis sinceFirstBoard{0}; // since the first board answered
    bool answering = false;    // Leaving: the board has answered lately
    // Leaving: the board there was done before (its number and MAC); it gets
    // no new record.
    std::optional<HostReport> back;
};

// The window's view of the transfer, in the fields it is known by. Flags hold
// 0 or 1; the counters are 32 bits wide so that converted images of a
// million lines fit.
struct TransferView {
    int connected = 0;   // 1 while the link is open
    int position = 0;    // the line sent last; 0: line 1 is next
    int lineCount = 0;   // lines of the loaded image
    int verifying = 0;   // 1 during the verify pass
    int imageLoaded = 0; // 1 from a successful load until the transfer ends
    SharedLines lines;   // the image, lines 1 to lineCount; never null
};

// The states of a board's life, one of which it is in (Board::State). Each
// holds what only it needs.
namespace board_state {

struct Closed {
    bool imageLoaded = false;
};
struct Opening {};
struct Polling {
    bool imageLoaded = true;
    bool identifying = false; // the board answered; is it done already? (skipDone)
    bool sendFailed = false;  // an inquiry could not be sent; told at the limit
    QByteArray instead{};     // the last reply left out meanwhile, and why
    Verdict insteadVerdict = Verdict::Answer;
};
struct Idle { // the window: connected, no pass under way
    bool imageLoaded = false;
};
struct Passing {
    Pass pass = Pass::Download;
    int position = 0; // the line sent last; the window wraps to 0 after the last
    std::optional<Flight> flight{};
    // An answer held back while a line sent more than once settles.
    std::optional<protocol::ReplyKind> held{};
    QByteArray heldReply{};
    QByteArray instead{}; // the last reply left out while the line waited, and why
    Verdict insteadVerdict = Verdict::Answer;
};
struct Quiet {
    Millis endedAt{0}; // when the verify pass's "DOWNLOAD" came
};
struct Installing {
    Millis sentAt{0};
    bool sent = true; // "BOOTg" could be handed to the network
};
struct Ended {};
struct Failed {
    TransferFailure failure;
    bool imageLoaded = true;
    Pass pass = Pass::Download; // the window resumes the pass at a later "OK"
    int position = 0;
};
struct BetweenAttempts {};
struct WaitingForBoard {
    bool linkOpen = false;
    std::optional<QString> heard{}; // a "VER=" text whose board is being identified
    bool identifying = false;
};
struct Leaving {
    bool linkOpen = false;
    Millis since{0};
    Millis lastAnswer{0};
    std::optional<QString> version{}; // the board there: its "VER=" text and MAC
    std::optional<QString> mac{};
    std::optional<HostReport> back{}; // it was done before and came back
    std::optional<QString> heard{};
    bool identifying = false;
};
struct CheckingEnd { // the board's last record waits for its MAC read again
    std::vector<BoardEvent> held;
};
struct Done {};
using State = std::variant<Closed, Opening, Polling, Idle, Passing, Quiet, Installing, Ended,
                           Failed, BetweenAttempts, WaitingForBoard, Leaving, CheckingEnd, Done>;

} // namespace board_state

// One board's whole life, free of I/O, in one state machine: the link, the
// inquiry, the download and verify passes, the quiet time before "END", the
// install and its pause, the outcome; for the flasher also its attempts, and
// in production the wait for a board and for it to leave. Its state is one
// typed value (State below), each alternative carrying its own data; every
// transition is written once, in board.cpp. Inputs are calls that carry the
// time and say what became of them; outputs are link effects and events in
// one ordered queue, and one next deadline from one timer table.
//
// The window drives one with Policy::window() and its own inquiry timer; the
// flasher one per address with Policy::strict().
class Board {
public:
    // The timer table: every deadline a board keeps, by name.
    enum class Timer : quint8 {
        InstallClose, // the link closes after "BOOTg" has left
        NextAttempt,  // the next attempt begins
        Quiet,        // the end of the verify pass stands
        Settle,       // a line sent more than once has had its other answers
        InquiryLimit, // no "VER=" in time
        Inquiry,      // the next inquiry (strict; the window keeps its own)
        Reply,        // no answer to the line in time: send it again, or fail
        Gone,         // the board done has been silent for the gone time
        Probe,        // the lane's next inquiry
        Count,
    };

    // The states (board_state above), each holding what only it needs.
    using Closed = board_state::Closed;
    using Opening = board_state::Opening;
    using Polling = board_state::Polling;
    using Idle = board_state::Idle;
    using Passing = board_state::Passing;
    using Quiet = board_state::Quiet;
    using Installing = board_state::Installing;
    using Ended = board_state::Ended;
    using Failed = board_state::Failed;
    using BetweenAttempts = board_state::BetweenAttempts;
    using WaitingForBoard = board_state::WaitingForBoard;
    using Leaving = board_state::Leaving;
    using CheckingEnd = board_state::CheckingEnd;
    using Done = board_state::Done;
    using State = board_state::State;

    explicit Board(const Policy &policy = Policy::window(), HostSettings host = {},
                   Production production = {}, SharedLines image = {});
    Board(const Board &) = delete;
    Board &operator=(const Board &) = delete;

    const Policy &policy() const { return policy_; }
    const HostSettings &settings() const { return host_; }
    const Production &production() const { return production_; }
    const State &state() const { return state_; }

    // Inputs of the window's operations.
    void connect();
    void disconnect();
    // The reset that disconnect and the install's end share: no link, no image.
    void resetTransfer();
    void pollDevice(Millis now); // one inquiry
    void sendNextLine(Millis now);
    void install(Millis now); // "BOOTg", then the close once the pause has passed
    void beginImageLoad();    // a file was chosen: the old image is retired
    void adoptImage(SharedLines lines);
    void abandonImageLoad(); // the file could not be read

    // Inputs of the flasher's run.
    void start(Millis now);
    // Stops the run: at once, or, while "BOOTg" is leaving, once it has left.
    void interrupt(Millis now, int signal);
    // The answer to ReadNeighbour: the address's MAC address, empty when
    // unknown; and the record that shows the board done (skipDone), empty
    // when none does.
    void neighbourRead(Millis now, const std::optional<QString> &mac,
                       const QByteArray &doneRecord = {});
    // The board the next ReadNeighbour asks about: its number in a
    // continuous lane (0 for a single board).
    int boardAsked() const { return production_.continuous ? lane_.board + 1 : 0; }

    // Inputs of both.
    Verdict linkOpened(Millis now, quint16 localPort = 0);
    Verdict linkFailed(Millis now, const QString &error = {});
    // One datagram from the device's address, from `fromPort`.
    Heard handleDatagram(Millis now, const QByteArray &datagram, quint16 fromPort);
    // One from another address (counted, never acted on).
    void handleStranger() { ++counts_.strangers; }
    // The datagram just handed out could not be sent.
    Verdict handleSendFailure(Millis now, const QString &error = {});
    // A deadline of nextDeadline() has come: every timer due acts, in the
    // table's order.
    void handleTimeout(Millis now);

    // Outputs.
    // The next link effect or event, in order; null once all are taken. It
    // stays valid until the next call into the board.
    const BoardOutput *poll() { return outbox_.take(); }
    std::optional<Millis> nextDeadline() const;
    std::optional<Millis> timer(Timer timer) const;
    static QString timerName(Timer timer); // "reply time-out", for a trace

    // Where it stands.
    Phase phase() const;
    int line() const; // the line sent last in the pass under way; the count once ended
    TransferView view() const;
    const TransferFailure *failure() const;
    bool isFinished() const { return std::holds_alternative<Done>(state_); }
    // The port the device answers from: the first "VER="'s, else the one sent to.
    quint16 devicePort() const { return counts_.replyPort.value_or(host_.remotePort); }
    int lineCount() const { return lineCount_; }
    const QByteArray &versionReply() const { return counts_.versionReply; }
    // The board's summary row so far: the one under way, else the last.
    HostReport report(Millis now) const;
    HostSnapshot snapshot(Millis now) const;
    LaneSnapshot laneSnapshot(Millis now) const;
    // Production: every board's summary row, in order, and the lane's own end
    // when it could not go on.
    const QList<HostReport> &boards() const { return boards_; }
    const std::optional<HostReport> &stopped() const { return stopped_; }
    int stopSignal() const { return run_.signal; }

private:
    // Everything counted over one connection (an attempt, or the window's link).
    struct Counts {
        Asked asked;
        int ignoredReplies = 0;
        int resends = 0;
        int strangers = 0;
        Millis slowestAnswer{0};
        QByteArray versionReply; // the reply that answered the inquiry, less trailing spaces
        std::optional<quint16> replyPort;
        QString sendError;
    };
    // One board's run for the flasher, over its attempts.
    struct Run {
        int attempt = 0;
        int signal = 0;
        bool interrupted = false;
        Millis firstStart{0};
        std::optional<Millis> transferStart;
        quint16 lastLocalPort = 0;
        HostReport report; // the attempt under way, or the last one
        Phase lastPhase = Phase::NotConnected;
        int lastLine = 0;
    };
    // A production lane, over its boards.
    struct Lane {
        int board = 0;
        std::optional<QString> mac; // of the board under way, read at its first "VER="
        std::optional<QString> version;
        Millis started{0};
        std::optional<Millis> firstBoardAt;
        quint16 lastPort = 0;
        HostSnapshot last; // the last board's end
    };

    template <typename S> S *in() { return std::get_if<S>(&state_); }
    template <typename S> const S *in() const { return std::get_if<S>(&state_); }

    void link(LinkEffect::Kind kind, QByteArray bytes = {});
    void tell(BoardEvent event) { outbox_.push(std::move(event)); }
    void tell(BoardEvent::Kind kind) { outbox_.push(BoardEvent{kind}); }
    void arm(Timer timer, Millis at);
    void disarm(Timer timer);
    bool imageLoaded() const;
    void setImageLoaded(bool loaded);

    // The transfer.
    void newConnection(Millis now);
    void sendLine(Millis now, Passing &passing);
    void resend(Millis now, Passing &passing);
    void startPass(Millis now, Pass pass);
    void act(Millis now, protocol::ReplyKind kind, QByteArrayView reply);
    void leaveOut(Verdict verdict, QByteArrayView reply);
    void endTransfer(Millis now);
    void fail(TransferFailure::Kind kind, QByteArrayView reply = {},
              Verdict instead = Verdict::Answer);
    Millis confirmTime() const;
    void closeAfterInstall(Millis now);
    void fire(Millis now, Timer timer);

    // The flasher's run.
    void startAttempt(Millis now);
    void resetReport(Millis now);
    void afterTransfer(Millis now);
    void conclude(Millis now, Outcome outcome, const QString &reason);
    bool attemptLive() const; // an attempt's link is open or opening
    void progress();

    // Production.
    void waitForBoard(Millis now);
    void openProbe();
    void probe(Millis now);
    Verdict heardVersion(Millis now, QByteArrayView text);
    void settleNeighbourRead(Millis now);
    void identify(Millis now, const std::optional<QString> &heard,
                  const std::optional<QString> &mac, const QByteArray &done, bool leaving);
    void skipBoard(Millis now, const QByteArray &done);
    void startBoard(Millis now, const std::optional<QString> &mac);
    void boardFinished(Millis now, BoardEvent lastAttempt);
    void endBoard(Millis now, std::vector<BoardEvent> held, const std::optional<QString> &endMac,
                  bool probeOpen = false);
    void finishLane();
    Millis goneTime() const;
    Millis probeInterval() const;
    HostReport blankReport() const;

    Policy policy_;
    HostSettings host_;
    Production production_;
    SharedLines image_;
    int lineCount_ = 0;

    State state_;
    std::array<std::optional<Millis>, size_t(Timer::Count)> timers_{};
    Outbox<BoardOutput> outbox_;

    Counts counts_;
    Run run_;
    Lane lane_;
    std::shared_ptr<DoneBoards> done_;
    QList<HostReport> boards_;
    std::optional<HostReport> stopped_;
};

} // namespace corvanel
