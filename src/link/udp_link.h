#pragma once

#include "common/operator_error.h"
#include "link/link_settings.h"

#include <QByteArray>
#include <QHostAddress>
#include <QObject>

#include <optional>
#include <variant>

class QUdpSocket;

namespace corvanel {

// The local ports a link draws from when none is given: 5500 to 6499.
inline constexpr int kLocalPortBase = 5500;
inline constexpr int kLocalPortSpan = 1000;

// Start-up values of the port boxes: a local port from 5500 to 6499 that
// changes from run to run, and the remote port.
QString initialLocalPort();
QString initialRemotePort(); // "111"

// What the link is aimed at. Which port of the device's address answers is
// the board's rule, not the link's.
enum class SenderCheck {
    Address,   // the device's address; a broadcast or multicast one hears every sender
    OneDevice, // one device's address only: broadcast and multicast are refused
};

// Looks up a host name with the system's resolver, blocking: its first IPv4
// address, or why there is none.
std::variant<quint32, QString> resolveHostName(const QString &name);

// The socket as a driver uses it: open, send, close. UdpLink is the real
// one; tests put a recorder in its place.
class DatagramLink {
public:
    virtual ~DatagramLink() = default;
    // On failure nothing stays open and the error says what failed and on
    // which address or port.
    virtual std::optional<OperatorError> open(const LinkSettings &settings) = 0;
    // One datagram to the remote host and port; false when it could not go.
    virtual bool send(QByteArrayView datagram) = 0;
    virtual void close() = 0;
    virtual bool isOpen() const = 0;
    virtual quint16 localPort() const = 0;   // the bound port, 0 when closed
    virtual QString errorString() const = 0; // why the last operation failed
};

// The device link over UDP: one socket bound on all IPv4 interfaces, every
// datagram to the remote host and port read at connect. It carries
// datagrams and nothing else: no timer, no queue; its drivers decide.
class UdpLink : public QObject, public DatagramLink {
    Q_OBJECT
public:
    // Datagrams handed on per arrival notice; the rest are announced again
    // from the event loop, so a flood cannot starve the window. One suits the
    // lock-step traffic of a transfer: a second read would only find the socket
    // empty, at the cost of a system call per reply.
    static constexpr int kDefaultReadBatch = 1;

    explicit UdpLink(QObject *parent = nullptr);
    ~UdpLink() override;

    // UDP, remote port and host, bind the local port.
    std::optional<OperatorError> open(const LinkSettings &settings) override;
    // Aimed at `host` and `remotePort`, bound to `localPort` when given (0:
    // the system's choice), else to a random port of 5500 to 6499 that is not
    // `avoidPort` (a new attempt's socket never hears the last one's late
    // replies), drawn again while taken, and the system's choice when every
    // port drawn was.
    std::optional<OperatorError> openDrawing(const QString &host, quint16 remotePort,
                                             std::optional<quint16> localPort, quint16 avoidPort);
    // A scan's socket: bound to `localPort` (0: the system's choice), with
    // broadcasts allowed; every datagram, from any sender, is heard().
    std::optional<OperatorError> listen(quint16 localPort);
    // One datagram to any address and port (a listening link's).
    bool sendTo(quint32 address, quint16 port, QByteArrayView datagram);
    bool send(QByteArrayView datagram) override;
    void close() override;
    bool isOpen() const override;
    quint16 localPort() const override;
    QString errorString() const override;
    QHostAddress remoteAddress() const;
    quint16 remotePort() const;
    QUdpSocket *socket() const; // object name "Winsock1"

    void setSenderCheck(SenderCheck check) { senderCheck_ = check; }
    // True while datagrams from every sender are taken (broadcast or multicast
    // remote host); otherwise only the device's address is heard.
    bool acceptsAnySender() const { return acceptAnySender_; }

    void setReadBatch(int datagrams) { readBatch_ = datagrams > 0 ? datagrams : 1; }
    int readBatch() const { return readBatch_; }
    // Hands on what has come, up to a batch: also before a deadline, so that
    // nothing that came in time is taken as late.
    void readPending();

signals:
    // One per datagram, whole, with the port it came from.
    void datagramArrived(const QByteArray &data, quint16 senderPort);
    // One turned away, with its sender; `data` is valid during the call only.
    void strangerArrived(const QHostAddress &sender, quint16 port, QByteArrayView data);
    // Listening: every datagram, with its sender (0 for one that is not
    // IPv4); `data` is valid during the call only.
    void heard(quint32 address, quint16 port, QByteArrayView data);

private:
    bool fromDevice(const QHostAddress &sender) const;

    QUdpSocket *socket_ = nullptr;
    QHostAddress remoteAddress_;
    quint32 remoteIPv4_ = 0;
    quint16 remotePort_ = 0;
    SenderCheck senderCheck_ = SenderCheck::Address;
    bool acceptAnySender_ = false;
    bool listening_ = false;
    int readBatch_ = kDefaultReadBatch;
    QByteArray buffer_; // one datagram of the largest size, reused
};

} // namespace corvanel
