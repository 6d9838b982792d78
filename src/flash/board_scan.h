#pragma once

#include "common/scan_targets.h"

#include <QByteArray>
#include <QDateTime>
#include <QElapsedTimer>
#include <QObject>
#include <QSet>
#include <QTimer>

#include <chrono>
#include <optional>

class QUdpSocket;

namespace corvanel::flash {

struct ScanSettings {
    QList<ScanDestination> destinations;
    std::chrono::milliseconds time{1000};
    std::optional<quint16> localPort; // empty or 0: a port the system chooses
};

// A board that answered the inquiry.
struct FoundBoard {
    quint32 address = 0;
    quint16 port = 0;
    QString version; // the text after "VER="
    qint64 ms = 0;   // since the scan began
};

struct ScanOutcome {
    QList<FoundBoard> boards; // by address, then port; each board once
    int destinations = 0;
    int rounds = 0;             // times every destination was asked
    int sent = 0;               // inquiries handed to the network
    int sendErrors = 0;         // inquiries that could not be sent
    QStringList sendErrorTexts; // the first few, naming their destination
    int ignored = 0;            // datagrams that were no board's "VER=" answer
    qint64 ms = 0;
    QDateTime start; // UTC
    QDateTime end;   // UTC
    bool interrupted = false;
};

// Finds the boards waiting in their bootloader: "BOOTi" to every destination
// from one socket (broadcast allowed), paced, in a few rounds so that one lost
// datagram hides no board, and every "VER=" answer from a scanned port kept.
// Rounds begin at 0, a quarter and half of the scan time, each when the one
// before is sent; the scan ends at its time, or a quarter of it after the
// last inquiry when a wide range took longer to send.
class BoardScan : public QObject {
    Q_OBJECT
public:
    static constexpr int kRounds = 3;
    // At most kBurst inquiries every kPace: 10,000 a second.
    static constexpr int kBurst = 50;
    static constexpr std::chrono::milliseconds kPace{5};
    static constexpr int kErrorTextsKept = 5;

    explicit BoardScan(ScanSettings settings, QObject *parent = nullptr);
    ~BoardScan() override;

    // Opens the socket and sends the first inquiries; the error names the port.
    std::optional<QString> start();
    // Ends the scan early; "finished" follows from the event loop.
    void interrupt();

    const ScanOutcome &outcome() const { return outcome_; }

signals:
    void boardFound(const corvanel::flash::FoundBoard &board);
    void finished();

private:
    void beginRound();
    void sendBurst();
    void roundSent();
    void readPending();
    void finish();

    ScanSettings settings_;
    QUdpSocket *socket_;
    QTimer paceTimer_;
    QTimer roundTimer_;
    QTimer endTimer_;
    QElapsedTimer clock_;
    QSet<quint16> ports_;
    QSet<quint64> found_;
    QByteArray buffer_;
    ScanOutcome outcome_;
    qsizetype next_ = 0;
    bool finished_ = false;
};

// What --scan prints: a table, or JSON for scripts.
QString scanTable(const ScanOutcome &outcome, int exitCode);
QByteArray scanJson(const ScanOutcome &outcome, const QString &toolVersion,
                    std::chrono::milliseconds scanTime, int exitCode);

} // namespace corvanel::flash
