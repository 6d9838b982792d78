#pragma once

#include "common/scan_targets.h"
#include "engine/policy.h"

#include <QByteArrayView>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

#include <deque>
#include <optional>

namespace corvanel {

struct ScanSettings {
    QList<ScanDestination> destinations;
    Millis time{1000}; // how long the scan listens
};

// A board that answered the inquiry.
struct FoundBoard {
    quint32 address = 0;
    quint16 port = 0;
    QString version; // the text after "VER="
    qint64 ms = 0;   // since the scan began
};

struct ScanOutcome {
    QList<FoundBoard> boards; // in order of answer; once finished: by address, then port
    int destinations = 0;
    int rounds = 0;             // times every destination was asked
    int sent = 0;               // inquiries handed to the network
    int sendErrors = 0;         // inquiries that could not be sent
    QStringList sendErrorTexts; // the first few, naming their destination
    int ignored = 0;            // datagrams that were no board's "VER=" answer
    qint64 ms = 0;              // the scan's length, once finished
    bool interrupted = false;
    int signal = 0; // the interrupt's
};

// Finds the boards waiting in their bootloader, free of I/O: "BOOTi" to
// every destination, paced, in a few rounds so that one lost datagram hides
// no board, and every "VER=" answer from a scanned port kept once. Rounds
// begin at 0, a quarter and half of the scan time, each when the one before
// is sent; the scan ends at its time, or a quarter of it after the last
// inquiry when a wide range took longer to send.
//
// Inputs carry the time. The driver sends "BOOTi" to each destination
// pollInquiry() hands out (a failure is told at once, before the next poll),
// wakes the scan at pollTimeout(), and reads the socket before each input so
// that no answer that came in time is left out.
class ScanRun {
public:
    static constexpr int kRounds = 3;
    // At most kBurst inquiries every kPace: 10,000 a second.
    static constexpr int kBurst = 50;
    static constexpr Millis kPace{5};
    static constexpr int kErrorTextsKept = 5;

    explicit ScanRun(ScanSettings settings);

    // Inputs.
    void start(Millis now);
    // A datagram from `fromAddress` (IPv4, host byte order) and `fromPort`;
    // a sender that is not IPv4 comes as port 0, which no scan asks.
    void handleDatagram(Millis now, quint32 fromAddress, quint16 fromPort, QByteArrayView datagram);
    // The inquiry pollInquiry() handed out last could not be sent.
    void handleSendFailure(Millis now, const QString &error);
    void handleTimeout(Millis now);
    // Ends the scan now.
    void interrupt(Millis now, int signal);

    // Outputs.
    std::optional<ScanDestination> pollInquiry(); // "BOOTi" to this address and port
    std::optional<Millis> pollTimeout() const;
    std::optional<FoundBoard> pollFound(); // each board once, as it answers

    bool isFinished() const { return finished_; }
    const ScanOutcome &outcome() const { return outcome_; }

private:
    void beginRound(Millis now);
    void releaseBurst(Millis now);
    void roundSent(Millis now);
    void finish(Millis now);

    ScanSettings settings_;
    QSet<quint16> ports_;
    QSet<quint64> found_;
    std::deque<FoundBoard> news_;
    ScanOutcome outcome_;
    Millis start_{0};
    qsizetype next_ = 0;            // the round's next destination
    qsizetype burstEnd_ = 0;        // the burst released ends before this one
    std::optional<Millis> burstAt_; // the round's next burst
    std::optional<Millis> roundAt_; // the next round
    std::optional<Millis> endAt_;
    bool started_ = false;
    bool finished_ = false;
};

} // namespace corvanel
