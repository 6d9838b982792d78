#pragma once

#include "engine/scan_run.h"

#include <QByteArray>
#include <QDateTime>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <chrono>
#include <optional>

class QUdpSocket;

namespace corvanel::flash {

// The driver of a ScanRun: one socket (broadcast allowed) and one timer. It
// sends the inquiries the run hands out, feeds it the answers and its
// deadlines, and passes on each board found; the run decides the rest.
class BoardScan : public QObject {
    Q_OBJECT
public:
    // `localPort` empty or 0: a port the system chooses.
    BoardScan(ScanSettings settings, std::optional<quint16> localPort, QObject *parent = nullptr);
    ~BoardScan() override;

    // Opens the socket and sends the first inquiries; the error names the port.
    std::optional<QString> start();
    // Ends the scan early; "finished" follows from the event loop.
    void interrupt(int signal);

    const ScanOutcome &outcome() const { return run_.outcome(); }
    // When the scan began (UTC); its end is this plus the outcome's ms.
    const QDateTime &started() const { return started_; }

signals:
    void boardFound(const corvanel::FoundBoard &board);
    void finished();

private:
    Millis now() const { return Millis(clock_.elapsed()); }
    void readPending();
    void drive();

    ScanRun run_;
    std::optional<quint16> localPort_;
    QUdpSocket *socket_;
    QTimer timer_;
    QElapsedTimer clock_;
    QDateTime started_;
    QByteArray buffer_;
    bool closed_ = false; // the run finished, the socket closed, "finished" sent
};

} // namespace corvanel::flash
