#pragma once

#include "engine/board.h"
#include "engine/line_source.h"
#include "link/trace.h"
#include "link/udp_link.h"

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QTimer>

#include <functional>
#include <memory>
#include <queue>
#include <vector>

namespace corvanel::flash {

// Every lane of one run (an address: one board, or board after board), on
// the one thread. Each lane is a Board with a socket of its own; one timer
// serves every lane's deadlines, so that thousands of lanes keep their
// time-outs. The session carries out what each board asks for (open, send,
// close, flush or read its neighbour entry), hands it the socket's datagrams
// and its deadlines, and passes on its events. The boards decide everything.
// With a trace, every datagram in and out is written to it with the verdict.
class FlashSession : public QObject {
    Q_OBJECT
public:
    // `trace` (null: none) outlives the session.
    FlashSession(const QList<HostSettings> &hosts, const SharedLines &image,
                 const Production &production = {}, Trace *trace = nullptr,
                 QObject *parent = nullptr);
    ~FlashSession() override;

    // Starts every lane. "finished" follows from the event loop, also when
    // every lane ends at once.
    void start();
    // Stops every lane; the boards that were done keep their result.
    void interrupt(int signal);
    // --skip-done: the record that shows a board done with this image (its
    // number in a continuous lane, 0 otherwise; its MAC address where known),
    // empty when none does.
    using DoneCheck = std::function<QByteArray(const HostSettings &host, int board,
                                               const std::optional<QString> &mac)>;
    void setDoneCheck(DoneCheck check) { doneCheck_ = std::move(check); }
    // -vv: the trace names each lane's deadlines as they come.
    void traceTimers(bool on) { traceTimers_ = on; }

    // The run's monotonic clock; every report's times count from its start.
    const QElapsedTimer &clock() const { return clock_; }
    bool isContinuous() const { return production_.continuous; }
    int laneCount() const { return int(lanes_.size()); }
    LaneSnapshot snapshot(int lane) const;
    // "HOST:PORT" as given.
    QString address(int lane) const;
    bool isFinished() const { return finishedCount_ == laneCount(); }
    // One row per host; continuous: one per board done, lane by lane, and
    // one for each lane that could not go on.
    QList<HostReport> reports() const;
    // The boards of continuous production, and the codes of lanes that did
    // not stop at their count (a signal, a link that would not open).
    QList<HostReport> boards() const;
    QList<int> laneCodes() const;

signals:
    void laneProgressed(int lane);
    // One attempt on a board is over: its own report; `another` attempt follows.
    void attemptEnded(int lane, const corvanel::HostReport &report, bool another);
    void boardDone(int lane, const corvanel::HostReport &report);
    // A board done before came back (its number and hardware address).
    void boardBack(int lane, const corvanel::HostReport &report);
    void laneFinished(int lane);
    // The first neighbour entry that could not be flushed; told once a run.
    void flushRefused(const QString &address);
    void finished();

private:
    struct Lane;
    Millis now() const { return Millis(clock_.elapsed()); }
    void drive(int index);
    void openLink(int index, const LinkEffect &effect);
    void send(int index, const QByteArray &datagram);
    void schedule(int index);
    void fireDue();
    void armTimer();

    Production production_;
    QElapsedTimer clock_;
    Trace *trace_;
    DoneCheck doneCheck_;
    bool traceTimers_ = false;
    std::vector<std::unique_ptr<Lane>> lanes_;
    int finishedCount_ = 0;
    bool flushRefusedOnce_ = false;

    // One timer for every lane: the deadlines in a heap, each entry valid
    // while it is the lane's latest.
    struct Due {
        Millis at;
        int lane;
        quint64 generation;
        bool operator>(const Due &other) const { return at > other.at; }
    };
    std::priority_queue<Due, std::vector<Due>, std::greater<>> due_;
    QTimer timer_;
    std::optional<Millis> armedFor_;
};

} // namespace corvanel::flash
