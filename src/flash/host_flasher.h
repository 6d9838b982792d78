#pragma once

#include "engine/line_table.h"
#include "engine/protocol.h"
#include "engine/transfer_controller.h"
#include "engine/udp_link.h"
#include "flash/flash_display.h"
#include "flash/flash_result.h"
#include "flash/reply_watch_link.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <chrono>
#include <optional>

namespace corvanel::flash {

struct HostSettings {
    QString host;
    quint16 remotePort = protocol::kDefaultRemotePort;
    // Empty: a random port from 5500 to 6499, as the window picks it (another
    // one is drawn when that port is taken). 0: a port the system chooses.
    std::optional<quint16> localPort;
    std::chrono::milliseconds inquiryTimeout{30000};
    std::chrono::milliseconds replyTimeout{3000};
    int retries = 0;
    bool install = false;
};

// One device: its own socket, its own transfer controller and a display that
// watches the status words. The controller does the protocol exactly as in the
// window; this class only starts it, bounds every wait, keeps out replies that
// answer nothing, and says how the transfer ended.
class HostFlasher : public QObject {
    Q_OBJECT
public:
    // Random local ports tried before a taken port counts as a failure.
    static constexpr int kBindAttempts = 20;
    // How long a reply waits for its copy once the link has repeated one.
    static constexpr std::chrono::milliseconds kRepeatSettle{1};

    HostFlasher(HostSettings settings, const LineTable &image, QObject *parent = nullptr);
    ~HostFlasher() override;

    // Connects and loads the image; polling and the transfer follow from the
    // event loop.
    void start();
    // Stops a transfer under way; "finished" follows from the event loop.
    void interrupt();

    const HostSettings &settings() const { return settings_; }
    bool isFinished() const { return finished_; }
    Phase phase() const { return phase_; }
    int line() const { return line_; } // line sent last in this pass
    int lineCount() const { return lineCount_; }
    int linesDone() const;    // over both passes, 0 to 2 × lineCount
    qint64 elapsedMs() const; // since start
    qint64 transferStartMs() const { return transferStartMs_; } // first line, -1 before
    HostReport report() const;

    UdpLink &udpLink() { return udp_; }

signals:
    void progressed(); // the phase or the line changed
    void finished();

private:
    void onDatagram(const QByteArray &datagram);
    void deliverReply(const QByteArray &datagram);
    void noteIgnoredReply();
    void onStatus(QLatin1StringView word);
    void onBarValue(int value);
    void onLinkClosed();
    void install();
    void conclude(Outcome outcome, const QString &reason);
    void closeAndFinish();
    void setPhase(Phase phase);
    QString where() const;

    HostSettings settings_;
    LineTable image_;
    int lineCount_ = 0;
    UdpLink udp_;
    ReplyWatchLink link_;
    FlashDisplay display_;
    TransferController controller_;
    LinkSettings linkSettings_;
    QTimer inquiryDeadline_;
    QElapsedTimer clock_;
    HostReport report_;
    Phase phase_ = Phase::Connecting;
    int line_ = 0;
    qint64 transferStartMs_ = -1;
    bool awaitingReply_ = false;  // a line went out and its reply has not come
    bool deliveryQueued_ = false; // a reply waits for the controller
    bool repeatsSeen_ = false;    // a reply came that answered nothing
    QString inquiryError_;        // why the last inquiry could not be sent
    bool settled_ = false;
    bool finished_ = false;
};

// "0.3 s", "30 s": a duration as the options take it.
QString secondsText(std::chrono::milliseconds duration);

} // namespace corvanel::flash
