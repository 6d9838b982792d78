#pragma once

#include "engine/line_table.h"
#include "engine/protocol.h"
#include "engine/transfer_controller.h"
#include "flash/flash_result.h"
#include "flash/host_settings.h"
#include "link/udp_link.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <chrono>
#include <memory>
#include <optional>

namespace corvanel::flash {

class LingeringLink;

// One device: its own socket and its own unattended transfer controller. This
// class only starts the transfer, feeds it the socket's datagrams, the
// inquiry ticks and its deadlines, and says how it ended; the controller
// decides everything about the transfer itself. A failed attempt is followed
// by a whole new one (a new socket, the inquiry, line 1) while the settings
// allow more; an interrupt never is.
class HostFlasher : public QObject {
    Q_OBJECT
public:
    // Random local ports tried before a taken port counts as a failure.
    static constexpr int kBindAttempts = 20;

    HostFlasher(HostSettings settings, const LineTable &image, QObject *parent = nullptr);
    ~HostFlasher() override;

    // Connects, loads the image and sends the first inquiry at once; the
    // transfer follows from the event loop.
    void start();
    // Stops a transfer under way, or a new attempt not yet begun; "finished"
    // follows from the event loop.
    void interrupt();

    const HostSettings &settings() const { return settings_; }
    bool isFinished() const { return finished_; }
    Phase phase() const { return phase_; }
    int line() const { return line_; } // line sent last in this pass
    int lineCount() const { return image_.count(); }
    int attempt() const { return attempt_; } // 1 for the first, 0 before start
    qint64 linesDone() const; // over both passes of this attempt, 0 to 2 × lineCount
    qint64 elapsedMs() const; // since start
    qint64 transferStartMs() const
    {
        return transferStartMs_;
    } // this attempt's first line, -1 before
    // The host's summary row: the last attempt's result over the whole time.
    HostReport report() const;

    UdpLink &udpLink() { return udp_; }

signals:
    void progressed(); // the phase or the line changed
    // An attempt is over; its own report. isFinished() tells whether another
    // attempt follows. Comes before "finished".
    void attemptEnded(const corvanel::flash::HostReport &report);
    void finished();

private:
    Millis now() const { return Millis(clock_.elapsed()); }
    void startAttempt();
    void afterEvent();
    void install();
    void onLinkClosed();
    void conclude(Outcome outcome, const QString &reason);
    void closeAndFinish();
    void resetReport(); // what an attempt's report says before it ends
    bool mayTryAgain() const;
    void setPhase(Phase phase);
    QString failureReason() const;

    HostSettings settings_;
    LineTable image_;
    QElapsedTimer clock_;
    UdpLink udp_;
    std::unique_ptr<LingeringLink> link_;
    SilentDisplay display_;
    TransferController controller_;
    LinkSettings linkSettings_;
    QTimer deadlineTimer_;
    Millis armedDeadline_{-1}; // what deadlineTimer_ was started for
    QTimer nextAttemptTimer_;
    HostReport report_; // the attempt under way, or the last one
    QDateTime firstStart_;
    Phase phase_ = Phase::Connecting;
    int line_ = 0;
    int attempt_ = 0;
    qint64 attemptStartMs_ = 0;
    qint64 transferStartMs_ = -1;
    qint64 endMs_ = 0;
    bool settled_ = false; // the attempt under way has its outcome
    bool interrupted_ = false;
    bool finished_ = false;
};

// "0.3 s", "30 s": a duration as the options take it.
QString secondsText(std::chrono::milliseconds duration);

// The device's reply as it can be quoted on one line of a report.
QString quotedReply(QByteArrayView reply);

} // namespace corvanel::flash
