#pragma once

#include "engine/device_link.h"

#include <QByteArray>
#include <QHostAddress>
#include <QObject>

#include <chrono>
#include <deque>
#include <functional>

class QUdpSocket;
class QTimer;

namespace corvanel {

inline constexpr std::chrono::milliseconds kInquiryInterval{500};

// The local ports a link draws from when none is given: 5500 to 6499.
inline constexpr int kLocalPortBase = 5500;
inline constexpr int kLocalPortSpan = 1000;

// Start-up values of the port boxes: a local port from 5500 to 6499 that
// changes from run to run, and the remote port.
QString initialLocalPort();
QString initialRemotePort(); // "111"

// Which senders' datagrams count as the device's.
enum class SenderCheck {
    Address,        // any port of the device's address (the window)
    AddressAndPort, // only the device's address and port (unattended)
};

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
    // Datagrams kept while events are held; a flood beyond this is dropped.
    static constexpr qsizetype kMaxHeldDatagrams = 4096;

    // `flushArp` defaults to the platform's ARP flush and `sleep` to a real
    // blocking sleep; tests pass recorders.
    explicit UdpLink(QObject *parent = nullptr, ArpFlush flushArp = {}, Sleeper sleep = {});
    ~UdpLink() override;

    void flushArpCache() override;
    std::optional<OperatorError> open(const LinkSettings &settings) override;
    bool send(QByteArrayView datagram) override;
    void close() override;
    void startInquiryTimer() override;
    void stopInquiryTimer() override;
    void pause(std::chrono::milliseconds duration) override;

    bool isOpen() const;
    quint16 localPort() const; // the bound port, 0 when closed
    QHostAddress remoteAddress() const;
    quint16 remotePort() const;
    QUdpSocket *socket() const;   // object name "Winsock1"
    QTimer *inquiryTimer() const; // object name "Timer2"

    void setSenderCheck(SenderCheck check) { senderCheck_ = check; }
    // True while datagrams from every sender are taken (broadcast or multicast
    // remote host); otherwise only the device's datagrams count.
    bool acceptsAnySender() const { return acceptAnySender_; }
    // Datagrams turned away since the link opened: from other senders, or
    // beyond what could be held.
    int strangerDatagrams() const { return strangers_; }

    // While held, arriving datagrams and inquiry ticks are kept, not handed
    // on: an operation that shows a dialog must finish before the next event
    // is handled. Release hands them on from the event loop, in the order they
    // came, with the ticks that fell due in between taken as one.
    void holdEvents();
    void releaseEvents();
    bool isHolding() const { return holding_; }

    void setReadBatch(int datagrams) { readBatch_ = datagrams > 0 ? datagrams : 1; }
    int readBatch() const { return readBatch_; }

signals:
    void inquiryTick();                           // each Timer2 tick while polling
    void datagramArrived(const QByteArray &data); // one per datagram, whole

private:
    void readPending();
    void onInquiryTimer();
    void deliverHeld();
    bool fromDevice(const QHostAddress &sender, quint16 port) const;

    ArpFlush flushArp_;
    Sleeper sleep_;
    QUdpSocket *socket_ = nullptr;
    QTimer *inquiryTimer_ = nullptr;
    QHostAddress remoteAddress_;
    quint32 remoteIPv4_ = 0;
    quint16 remotePort_ = 0;
    SenderCheck senderCheck_ = SenderCheck::Address;
    bool acceptAnySender_ = false;
    int strangers_ = 0;
    int readBatch_ = kDefaultReadBatch;
    QByteArray buffer_; // one datagram of the largest size, reused

    // Held events, in the order they came.
    struct HeldEvent {
        bool tick = false;
        QByteArray datagram;
    };
    bool holding_ = false;
    bool tickHeld_ = false;
    std::deque<HeldEvent> held_;
};

} // namespace corvanel
