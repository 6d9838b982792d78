#pragma once

#include "common/operator_error.h"
#include "link/link_settings.h"

#include <QByteArray>
#include <QHostAddress>
#include <QObject>

#include <optional>

class QUdpSocket;

namespace corvanel {

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
// datagram to the remote host and port read at connect. It carries
// datagrams and nothing else: no timer, no queue; its drivers decide.
class UdpLink : public QObject {
    Q_OBJECT
public:
    // Datagrams handed on per arrival notice; the rest are announced again
    // from the event loop, so a flood cannot starve the window. One suits the
    // lock-step traffic of a transfer: a second read would only find the socket
    // empty, at the cost of a system call per reply.
    static constexpr int kDefaultReadBatch = 1;

    explicit UdpLink(QObject *parent = nullptr);
    ~UdpLink() override;

    // UDP, remote port and host, bind the local port. On failure nothing stays
    // open and the error says what failed and on which address or port.
    std::optional<OperatorError> open(const LinkSettings &settings);
    // One datagram to the remote host and port; false when it could not go.
    bool send(QByteArrayView datagram);
    void close();

    bool isOpen() const;
    quint16 localPort() const; // the bound port, 0 when closed
    QHostAddress remoteAddress() const;
    quint16 remotePort() const;
    QUdpSocket *socket() const; // object name "Winsock1"

    void setSenderCheck(SenderCheck check) { senderCheck_ = check; }
    // True while datagrams from every sender are taken (broadcast or multicast
    // remote host); otherwise only the device's datagrams count.
    bool acceptsAnySender() const { return acceptAnySender_; }
    // Datagrams turned away since the link opened, from other senders.
    int strangerDatagrams() const { return strangers_; }

    void setReadBatch(int datagrams) { readBatch_ = datagrams > 0 ? datagrams : 1; }
    int readBatch() const { return readBatch_; }

signals:
    // One per datagram, whole, with the port it came from.
    void datagramArrived(const QByteArray &data, quint16 senderPort);
    // One turned away, with its sender; `data` is valid during the call only.
    void strangerArrived(const QHostAddress &sender, quint16 port, QByteArrayView data);

private:
    void readPending();
    bool fromDevice(const QHostAddress &sender, quint16 port) const;

    QUdpSocket *socket_ = nullptr;
    QHostAddress remoteAddress_;
    quint32 remoteIPv4_ = 0;
    quint16 remotePort_ = 0;
    SenderCheck senderCheck_ = SenderCheck::Address;
    bool acceptAnySender_ = false;
    int strangers_ = 0;
    int readBatch_ = kDefaultReadBatch;
    QByteArray buffer_; // one datagram of the largest size, reused
};

} // namespace corvanel
