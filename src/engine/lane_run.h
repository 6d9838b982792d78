#pragma once

#include "engine/host_run.h"

#include <QList>

#include <memory>
#include <optional>
#include <vector>

namespace corvanel {

// Everything one production lane is told: boards, one after the other, at
// one address.
struct LaneSettings {
    HostSettings host; // each board's run (attempts, install, limits, ...)
    // Board after board; otherwise the one board there, flashed at once (its
    // inquiry time-out bounding the wait), and the lane ends with it.
    // The lane probes at least three times within the gone time, and never
    // faster than every 10 ms: a shorter gone time could not tell a board
    // that stays from one that left.
    static constexpr Millis kMinProbeInterval{10};
    static constexpr Millis kMinGoneTime{100};

    bool continuous = true;
    std::optional<int> count; // boards to flash; empty: until interrupted
    Millis goneTime{1000};    // this long without an answer, a board has left; kMinGoneTime at least
    bool flushArp = false;    // the address's neighbour entry, before each new board
};

// How the boards of a run come: all there at once, or one after the other
// at each address (continuous production); the lanes' settings beside each
// board's.
struct Production {
    bool continuous = false;
    std::optional<int> count; // continuous: boards per lane
    Millis goneTime{1000};    // continuous: silence after which a board has left
    bool flushArp = false;    // continuous: the neighbour entry before each board
};

// What a lane tells its driver besides the datagrams.
struct LaneEvent {
    enum class Kind {
        Progress,     // the board's run moved, or the lane's state changed
        AttemptEnded, // `report` is one attempt of board `report.board`
        BoardDone,    // `report` is the board's summary row
        Finished,     // nothing follows
    };
    Kind kind;
    HostReport report{};
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
    // What the lane made of the datagram, in words, for a trace.
    QString handleDatagram(Millis now, const QByteArray &datagram);
    void handleStranger();
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
    void waitForBoard(Millis now);
    void startBoard(Millis now);
    void afterBoard(Millis now);
    void watchLeaving(Millis now);
    void openProbe(Millis now);
    void inquire(Millis now);
    Millis probeInterval() const;
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
};

} // namespace corvanel
