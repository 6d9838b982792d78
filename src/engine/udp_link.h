#pragma once

#include "engine/device_link.h"

#include <QByteArray>
#include <QHostAddress>
#include <QObject>

#include <chrono>
#include <functional>

class QUdpSocket;
class QTimer;

namespace corvanel {

inline constexpr std::chrono::milliseconds kInquiryInterval{500};

// Start-up values of the port boxes: a local port from 5500 to 6499 that
// changes from run to run, and the remote port.
QString initialLocalPort();
QString initialRemotePort(); // "111"

// The device link over UDP: one socket bound on all IPv4 interfaces, every
// datagram to the remote host and port read at connect, and the inquiry timer.
class UdpLink : public QObject, public DeviceLink {
    Q_OBJECT
public:
    using ArpFlush = std::function<void()>;
    using Sleeper = std::function<void(std::chrono::milliseconds)>;

    // Datagrams handed on per arrival notice; the rest are announced again
    // from the event loop, so a flood cannot starve the window. One suits the
    // lock-step traffic of a transfer: a second read would only find the socket
    // empty, at the cost of a system call per reply.
    static constexpr int kDefaultReadBatch = 1;

    // `flushArp` defaults to the platform's ARP flush and `sleep` to a real
    // blocking sleep; tests pass recorders.
    explicit UdpLink(QObject *parent = nullptr, ArpFlush flushArp = {}, Sleeper sleep = {});
    ~UdpLink() override;

    void FlushArpCache() override;
    std::optional<OperatorError> Open(const LinkSettings &settings) override;
    bool Send(QByteArrayView datagram) override;
    void Close() override;
    void StartInquiryTimer() override;
    void StopInquiryTimer() override;
    void Pause(std::chrono::milliseconds duration) override;

    bool isOpen() const;
    quint16 localPort() const; // the bound port, 0 when closed
    QHostAddress remoteAddress() const;
    quint16 remotePort() const;
    QUdpSocket *socket() const;   // object name "Winsock1"
    QTimer *inquiryTimer() const; // object name "Timer2"

    // True while datagrams from every sender are taken (broadcast or multicast
    // remote host); otherwise only the remote host's datagrams count.
    bool acceptsAnySender() const { return acceptAnySender_; }

    void setReadBatch(int datagrams) { readBatch_ = datagrams > 0 ? datagrams : 1; }
    int readBatch() const { return readBatch_; }

signals:
    void inquiryTick();                           // each Timer2 tick while polling
    void datagramArrived(const QByteArray &data); // one per datagram, whole

private:
    void readPending();
    bool fromRemote(const QHostAddress &sender) const;

    ArpFlush flushArp_;
    Sleeper sleep_;
    QUdpSocket *socket_ = nullptr;
    QTimer *inquiryTimer_ = nullptr;
    QHostAddress remoteAddress_;
    quint32 remoteIPv4_ = 0;
    quint16 remotePort_ = 0;
    bool acceptAnySender_ = false;
    int readBatch_ = kDefaultReadBatch;
    QByteArray buffer_; // one datagram of the largest size, reused
};

} // namespace corvanel
