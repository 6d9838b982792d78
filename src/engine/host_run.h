#pragma once

#include "engine/effects.h"
#include "engine/line_source.h"
#include "engine/outbox.h"
#include "engine/policy.h"
#include "engine/protocol.h"
#include "engine/run_report.h"
#include "engine/transfer.h"

#include <QString>

#include <vector>
#include <optional>

namespace corvanel {

// Everything one board's run is told.
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

// What a board's run tells its driver besides the datagrams.
struct RunEvent {
    enum class Kind {
        Progress,     // the phase or the line changed
        AttemptEnded, // `report` is that attempt's own; another may follow
        Finished,     // `report` is the board's summary row; nothing follows
    };
    Kind kind;
    HostReport report{};
    bool another = false; // AttemptEnded: another attempt follows
};

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

// One board's whole run for the flasher, free of I/O: attempts (each a new
// link, the inquiry, both passes), the dry run, the install and its pause,
// the end's quiet time and the copy rule (from the strict transfer), and the
// outcome with its exit code. Inputs carry the time; the driver polls the
// link effects (OpenLink, Send, CloseLink), the next deadline and events.
class HostRun {
public:
    HostRun(HostSettings settings, SharedLines image);

    const HostSettings &settings() const { return settings_; }

    // Inputs.
    void start(Millis now);
    void linkOpened(Millis now, quint16 localPort);
    void linkFailed(Millis now, const QString &error);
    // One datagram from the device's address, from `fromPort`; what the rules
    // made of it, in words ("answer", "left out: ..."), for a trace. The
    // first "VER=" makes its source port the device's for the attempt, as the
    // window takes it; datagrams from other ports are strangers.
    QString handleDatagram(Millis now, const QByteArray &datagram, quint16 fromPort);
    void handleStranger() { ++strangers_; } // from another address or port
    void handleSendFailure(Millis now, const QString &error);
    void handleTimeout(Millis now);
    // Stops the run: at once, or, while "BOOTg" is leaving, once it has left.
    void interrupt(Millis now, int signal);

    // Outputs.
    // The next link effect; null once all are taken. Valid until the next
    // call into the run.
    const Effect *pollEffect();
    std::optional<Millis> pollTimeout() const;
    // The next event into `event`; false when there is none.
    bool pollEvent(RunEvent &event);

    int lineCount() const { return lineCount_; }
    bool isFinished() const { return finished_; }
    // The board's summary row so far.
    HostReport report(Millis now) const;
    HostSnapshot snapshot(Millis now) const;

private:
    void startAttempt(Millis now);
    void resetReport(Millis now); // what an attempt's report says before it ends
    void afterTransfer(Millis now);
    void drainTransfer();
    void conclude(Millis now, Outcome outcome, const QString &reason);
    QString failureReason() const;
    void progress();
    qint64 linesDone() const;

    HostSettings settings_;
    SharedLines image_;
    int lineCount_ = 0;
    Transfer transfer_;
    Outbox<Effect> effects_;
    Outbox<RunEvent> events_;

    Phase phase_ = Phase::NotConnected;
    int line_ = 0;
    int attempt_ = 0;
    int strangers_ = 0;
    int signal_ = 0;
    bool linkOpen_ = false;
    bool settled_ = false; // the attempt under way has its outcome
    bool interrupted_ = false;
    bool finished_ = false;
    std::optional<Millis> nextAttemptAt_;
    Millis firstStart_{0};
    std::optional<Millis> transferStart_; // this attempt's first line
    quint16 lastLocalPort_ = 0;
    std::optional<quint16> replyPort_; // the port "VER=" came from, this attempt
    QString sendError_;
    HostReport report_; // the attempt under way, or the last one
};

} // namespace corvanel
