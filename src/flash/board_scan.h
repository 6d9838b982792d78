#pragma once

#include "engine/scan_run.h"
#include "link/udp_link.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <optional>

namespace corvanel::flash {

// The driver of a ScanRun: one listening link (broadcast allowed) and one
// timer. It sends the inquiries the run hands out, feeds it the answers and
// its deadlines, and passes on each board found; the run decides the rest.
class BoardScan : public QObject {
    Q_OBJECT
public:
    // `localPort` empty or 0: a port the system chooses.
    BoardScan(ScanSettings settings, std::optional<quint16> localPort, QObject *parent = nullptr);

    // Opens the link and sends the first inquiries; the error names the port.
    std::optional<QString> start();
    // Ends the scan early; "finished" follows from the event loop.
    void interrupt(int signal);

    const ScanOutcome &outcome() const { return run_.outcome(); }
    // When the scan began (UTC); its end is this plus the outcome's ms.
    const QDateTime &started() const { return started_; }

signals:
    void finished();

private:
    Millis now() const { return Millis(clock_.elapsed()); }
    void drive();

    ScanRun run_;
    std::optional<quint16> localPort_;
    UdpLink link_;
    QTimer timer_;
    QElapsedTimer clock_;
    QDateTime started_;
    bool closed_ = false; // the run finished, the link closed, "finished" sent
};

} // namespace corvanel::flash
