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
    quint16 localPort() const;           // the bound port, 0 when closed
    QHostAddress remoteAddress() const;
    quint16 remotePort() const;
    QUdpSocket *socket() const;          // object name "Winsock1"
    QTimer *inquiryTimer() const;        // object name "Timer2"

signals:
    void inquiryTick();                          // each Timer2 tick while polling
    void datagramArrived(const QByteArray &data); // one per datagram, whole
};

} // namespace corvanel
