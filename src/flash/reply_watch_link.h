#pragma once

#include "engine/device_link.h"

#include <QByteArray>
#include <QObject>
#include <QTimer>

#include <chrono>

namespace corvanel::flash {

// Wraps the real link so that the flasher never waits for ever, while the
// controller stays exactly the window's: every datagram sent outside polling
// wants a reply, and a timer bounds that wait. On time-out the same datagram
// goes out again, up to the allowed number of retries.
//
// The install pause does not block here: one thread serves every host, and a
// blocking 100 ms pause per host would stall all other transfers. Instead the
// close that follows the pause is put off by the same time, so "BOOTg" still
// leaves well before the socket closes.
class ReplyWatchLink : public QObject, public DeviceLink {
    Q_OBJECT
public:
    explicit ReplyWatchLink(DeviceLink &inner, QObject *parent = nullptr);

    void setReplyTimeout(std::chrono::milliseconds timeout);
    void setRetries(int retries) { retries_ = retries; }

    bool isPolling() const { return polling_; }
    bool isWaitingForReply() const { return replyTimer_.isActive(); }
    bool isLingering() const { return lingerTimer_.isActive(); }
    QByteArray lastSent() const { return lastSent_; }
    // How often the datagram waiting for its reply has been sent.
    int sendCount() const { return 1 + attempt_; }

    // The reply to the last datagram has come: stop the clock.
    void replyArrived() { replyTimer_.stop(); }
    // Stops waiting and closes at once, an install's pending close included.
    void abort();

    void FlushArpCache() override { inner_.FlushArpCache(); }
    std::optional<OperatorError> Open(const LinkSettings &settings) override;
    bool Send(QByteArrayView datagram) override;
    void Close() override;
    void StartInquiryTimer() override;
    void StopInquiryTimer() override;
    void Pause(std::chrono::milliseconds duration) override { linger_ = duration; }

signals:
    void sent();              // a datagram that wants a reply left
    void sendFailed();        // a datagram could not be handed to the network
    void inquiryFailed();     // the same for an inquiry; the next one may still go
    void resent(int attempt); // the same datagram again, after a reply time-out
    void replyTimedOut();     // no reply, and no retry left
    void closed();            // the socket is closed

private:
    void onReplyTimeout();
    void closeNow();

    DeviceLink &inner_;
    QTimer replyTimer_;
    QTimer lingerTimer_;
    QByteArray lastSent_;
    std::chrono::milliseconds linger_{0};
    int retries_ = 0;
    int attempt_ = 0;
    bool polling_ = false;
    bool open_ = false;
};

} // namespace corvanel::flash
