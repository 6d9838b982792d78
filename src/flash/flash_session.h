#pragma once

#include "engine/lane_run.h"
#include "engine/line_source.h"
#include "flash/trace.h"
#include "link/udp_link.h"

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QTimer>

#include <memory>
#include <vector>

namespace corvanel::flash {

// The driver of one lane (one board, or board after board at one address):
// its own socket and timer. It hands the lane the socket's datagrams and its
// deadlines, carries out what the lane asks for (open, send, close, flush the
// neighbour entry), stamps each record with the board's hardware address,
// and passes on the lane's events. The lane decides everything. With a
// trace, every datagram in and out is written to it with the lane's words.
class LaneDriver : public QObject {
    Q_OBJECT
public:
    // Random local ports tried before a taken port counts as a failure.
    static constexpr int kBindAttempts = 20;

    // `trace` (null: none) outlives the driver.
    LaneDriver(const LaneSettings &settings, const SharedLines &image, const QElapsedTimer &clock,
               Trace *trace = nullptr, QObject *parent = nullptr);
    ~LaneDriver() override;

    void start();
    void interrupt(int signal);
    const LaneRun &lane() const { return lane_; }
    LaneSnapshot snapshot() const { return lane_.snapshot(now()); }
    HostReport report() const { return lane_.report(now()); }
    // Continuous: every board's summary row, its hardware address stamped.
    const QList<HostReport> &boards() const { return boards_; }
    bool isFinished() const { return lane_.isFinished(); }

signals:
    void progressed();
    // An attempt on a board is over: its own report.
    void attemptEnded(const corvanel::HostReport &report);
    // A board is done: its summary row.
    void boardDone(const corvanel::HostReport &report);
    void finished();

private:
    Millis now() const { return Millis(clock_.elapsed()); }
    void drive();
    void openLink(quint16 lastPort);
    HostReport stamped(HostReport report) const;
    void send(const QByteArray &datagram);

    LaneRun lane_;
    const QElapsedTimer &clock_;
    Trace *trace_;
    QString traceLabel_; // "HOST:PORT", when traced
    UdpLink link_;
    QTimer timer_;
    Millis armedFor_{-1}; // the deadline timer_ was started for
    QList<HostReport> boards_;
};

// Every lane of one run, on the one thread: each has its own socket and run,
// and a failing board never stops the others.
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

    // The run's monotonic clock; every report's times count from its start.
    const QElapsedTimer &clock() const { return clock_; }
    bool isContinuous() const { return production_.continuous; }
    int laneCount() const { return int(lanes_.size()); }
    LaneSnapshot snapshot(int lane) const { return lanes_[size_t(lane)]->snapshot(); }
    // "HOST:PORT" as given.
    QString address(int lane) const;
    bool isFinished() const { return finishedCount_ == laneCount(); }
    // One row per host; continuous: one per board done, lane by lane.
    QList<HostReport> reports() const;
    // The boards of continuous production, and the codes of lanes that did
    // not stop at their count (a signal, a link that would not open).
    QList<HostReport> boards() const;
    QList<int> laneCodes() const;

signals:
    void laneProgressed(int lane);
    // One attempt on a board is over (more may follow): its own report.
    void attemptEnded(int lane, const corvanel::HostReport &report);
    void boardDone(int lane, const corvanel::HostReport &report);
    void laneFinished(int lane);
    void finished();

private:
    Production production_;
    QElapsedTimer clock_;
    std::vector<std::unique_ptr<LaneDriver>> lanes_;
    int finishedCount_ = 0;
};

} // namespace corvanel::flash
