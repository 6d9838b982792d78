#pragma once

#include "engine/host_run.h"
#include "engine/line_source.h"
#include "link/udp_link.h"

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QTimer>

#include <memory>
#include <vector>

namespace corvanel::flash {

// The driver of one board's run: its own socket and timer. It hands the
// run the socket's datagrams and its deadlines, carries out what the run
// asks for (open, send, close), and passes on the run's events. The run
// itself decides everything.
class HostDriver : public QObject {
    Q_OBJECT
public:
    // Random local ports tried before a taken port counts as a failure.
    static constexpr int kBindAttempts = 20;

    HostDriver(HostSettings settings, const SharedLines &image, const QElapsedTimer &clock,
               QObject *parent = nullptr);
    ~HostDriver() override;

    void start();
    void interrupt(int signal);
    HostSnapshot snapshot() const { return run_.snapshot(now()); }
    HostReport report() const { return run_.report(now()); }
    bool isFinished() const { return run_.isFinished(); }

signals:
    void progressed();
    // An attempt is over: its own report. Comes before "finished".
    void attemptEnded(const corvanel::HostReport &report);
    void finished();

private:
    Millis now() const { return Millis(clock_.elapsed()); }
    void drive();
    void openLink(quint16 lastPort);

    HostRun run_;
    const QElapsedTimer &clock_;
    UdpLink link_;
    QTimer timer_;
    Millis armedFor_{-1}; // the deadline timer_ was started for
};

// Every board of one run, flashed at the same time on the one thread: each
// has its own socket and run, and a failing board never stops the others.
class FlashSession : public QObject {
    Q_OBJECT
public:
    FlashSession(const QList<HostSettings> &hosts, const SharedLines &image,
                 QObject *parent = nullptr);
    ~FlashSession() override;

    // Starts every board. "finished" follows from the event loop, also when
    // every board fails at once.
    void start();
    // Stops every run under way; the boards that were done keep their result.
    void interrupt(int signal);

    // The run's monotonic clock; every report's times count from its start.
    const QElapsedTimer &clock() const { return clock_; }
    int hostCount() const { return int(hosts_.size()); }
    HostSnapshot snapshot(int index) const { return hosts_[size_t(index)]->snapshot(); }
    bool isFinished() const { return finishedCount_ == hostCount(); }
    QList<HostReport> reports() const;

signals:
    void hostProgressed(int index);
    // One attempt on a board is over (more may follow): its own report.
    void attemptEnded(int index, const corvanel::HostReport &report);
    void hostFinished(int index);
    void finished();

private:
    QElapsedTimer clock_;
    std::vector<std::unique_ptr<HostDriver>> hosts_;
    int finishedCount_ = 0;
};

} // namespace corvanel::flash
