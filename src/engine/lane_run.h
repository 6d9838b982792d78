#pragma once

#include "engine/host_run.h"

#include <QHash>
#include <QList>

#include <memory>
#include <optional>
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

// Everything one production lane is told: boards, one after the other, at
// one address.
struct LaneSettings {
    // The lane probes at least three times within the gone time, and never
    // faster than every 10 ms: a shorter gone time could not tell a board
    // that stays from one that left.
    static constexpr Millis kMinProbeInterval{10};
    static constexpr Millis kMinGoneTime{100};

    HostSettings host; // each board's run (attempts, install, limits, ...)
    // Board after board; otherwise the one board there, flashed at once (its
    // inquiry time-out bounding the wait), and the lane ends with it.
    bool continuous = true;
    std::optional<int> count; // boards to flash; empty: until interrupted
    Millis goneTime{1000}; // this long without an answer, a board has left (kMinGoneTime at least)
    bool flushArp = false; // the address's neighbour entry, before each board
    // Shared by the lanes of a run; empty: the lane keeps its own.
    std::shared_ptr<DoneBoards> doneBoards = nullptr;
};

// What a lane tells its driver besides the datagrams.
struct LaneEvent {
    enum class Kind {
        Progress,     // the board's run moved, or the lane's state changed
        AttemptEnded, // `report` is one attempt of board `report.board`
        BoardDone,    // `report` is the board's summary row
        BoardBack,    // a board done before came back: `report.board` and `report.mac`
        Finished,     // nothing follows
    };
    Kind kind;
    HostReport report{};
    bool another = false; // AttemptEnded: another attempt on the board follows
};

// Where a lane stands, for the live view and the summary.
struct LaneSnapshot {
    enum class State {
        Waiting,  // for a board to answer the inquiry
        Flashing, // the board's run
        Leaving,  // the board is done; it has answered within the gone time
        Done,     // the lane has stopped
    };
    State state = State::Waiting;
    int board = 0;          // the board under way (or last), from 1
    HostSnapshot host;      // the board under way, or the last one's end
    int boardsDone = 0;     // boards that have their summary row
    int boardsEnded = 0;    // of these, ended with "END"
    Millis elapsed{0};      // since the lane began
    Millis sinceFirstBoard{0}; // since the first board answered
    bool answering = false; // Leaving: the board has answered lately
    // Leaving: the board there was done before (board number, MAC address);
    // it gets no new record.
    std::optional<HostReport> back;
};

// A production lane, free of I/O: it waits for a board to answer the
// inquiry, runs one HostRun for it (its attempts, install, record), then
// waits until the board has left (no answer for the gone time: an installed
// board's firmware has started, a failed one was taken away), then waits for
// the next. A board that has not left is never flashed again. Inputs carry
// the time; the driver polls link effects (OpenLink, Send, CloseLink,
// FlushArp), the next deadline and events.
class LaneRun {
public:
    LaneRun(LaneSettings settings, SharedLines image);

    const LaneSettings &settings() const { return settings_; }

    void start(Millis now);
    void linkOpened(Millis now, quint16 localPort);
    void linkFailed(Millis now, const QString &error);
    // What the lane made of the datagram, in words, for a trace. `fromPort`
    // is its source port; the link has checked its address.
    QString handleDatagram(Millis now, const QByteArray &datagram, quint16 fromPort);
    void handleStranger();
    // The answer to ReadNeighbour: the hardware address the system's
    // neighbour table holds for the lane's address, empty when unknown. The
    // driver answers before the next input.
    void neighbourRead(Millis now, const std::optional<QString> &mac);
    void handleSendFailure(Millis now, const QString &error);
    void handleTimeout(Millis now);
    // Stops the lane: a board under way is recorded as interrupted; between
    // boards nothing is lost.
    void interrupt(Millis now, int signal);

    // The next effect; null once all are taken. Valid until the next call in.
    const Effect *pollEffect();
    std::optional<Millis> pollTimeout() const;
    bool pollEvent(LaneEvent &event);

    bool isFinished() const { return state_ == LaneSnapshot::State::Done; }
    LaneSnapshot snapshot(Millis now) const;
    // Every board's summary row, in order.
    const QList<HostReport> &boards() const { return boards_; }
    // The board's summary row so far: the one under way, else the last.
    HostReport report(Millis now) const;
    // The lane's own end when it could not go on (its link failed); empty otherwise.
    const std::optional<HostReport> &stopped() const { return stopped_; }
    // The signal that stopped the lane; 0 when none did.
    int stopSignal() const { return signal_; }

private:
    // The board at the fixture: the one whose run it was, or one come back.
    struct Present {
        std::optional<QString> version; // its "VER=" text
        std::optional<QString> mac;
    };
    // What a neighbour read is for.
    enum class Asked { Nothing, Identify, EndCheck };

    void waitForBoard(Millis now);
    void identify(Millis now, const std::optional<QString> &mac);
    void startBoard(Millis now, const std::optional<QString> &mac);
    void afterBoard(Millis now);
    void endBoard(Millis now, const std::optional<QString> &endMac);
    void openProbe(Millis now);
    void inquire(Millis now);
    Millis probeInterval() const;
    Millis goneTime() const;
    void finish();
    void push(Effect::Kind kind, QByteArray bytes = {}, qint64 value = 0);
    HostReport blankReport() const;

    LaneSettings settings_;
    SharedLines image_;
    std::unique_ptr<HostRun> run_; // the board under way
    HostSnapshot last_;            // the last board's end
    LaneSnapshot::State state_ = LaneSnapshot::State::Waiting;
    Outbox<Effect> effects_;
    Outbox<LaneEvent> events_;
    QList<HostReport> boards_;
    std::optional<HostReport> stopped_;

    int board_ = 0;
    int signal_ = 0;
    bool probeOpen_ = false; // the lane's own link, for its inquiries
    quint16 lastPort_ = 0;
    Millis started_{0};
    std::optional<Millis> firstBoardAt_;
    Millis nextInquiry_{0};
    Millis lastAnswer_{0};   // Leaving: the board's last answer (or its end)
    Millis leavingSince_{0};

    std::shared_ptr<DoneBoards> done_;
    Present present_;                   // Leaving: the board there
    std::optional<QString> boardMac_;   // Flashing: read at the board's first "VER="
    std::optional<HostReport> back_;    // Leaving: a board done before, come back
    Asked asked_ = Asked::Nothing;
    std::optional<QString> heardVersion_; // Identify: the "VER=" text that asked
    std::vector<LaneEvent> heldEnd_;      // EndCheck: the board's last record, held
};

} // namespace corvanel
