#include "link/udp_link.h"

#include "engine/protocol.h"

#include "common/numbers.h"

#include <QElapsedTimer>
#include <QHostInfo>
#include <QNetworkInterface>
#include <QNetworkProxy>
#include <QPointer>
#include <QRandomGenerator>
#include <QUdpSocket>
#include <QVariant>

#include <optional>

#ifdef Q_OS_UNIX
#include <sys/socket.h>
#endif

namespace corvanel {

namespace {

// Room for bursts while the window is busy; the system may cap it lower.
constexpr int kReceiveBufferBytes = 1 << 20;

// A port box's text as a port number from `lowest` to 65535; blanks around
// it are invisible in a box and mean nothing.
std::optional<quint16> parsePort(const QString &text, int lowest)
{
    const auto value = parseWholeNumber(QStringView(text).trimmed(), quint64(lowest), 65535);
    return value ? std::optional<quint16>(quint16(*value)) : std::nullopt;
}

// The broadcast addresses of this machine's interfaces. Read at most once a
// second: asking the system costs a netlink round trip, and a flasher opens
// thousands of links within one.
QList<QHostAddress> interfaceBroadcasts()
{
    static QList<QHostAddress> broadcasts;
    static QElapsedTimer age;
    if (!age.isValid() || age.elapsed() > 1000) {
        broadcasts.clear();
        const auto interfaces = QNetworkInterface::allInterfaces();
        for (const QNetworkInterface &interface : interfaces) {
            const auto entries = interface.addressEntries();
            for (const QNetworkAddressEntry &entry : entries) {
                if (!entry.broadcast().isNull())
                    broadcasts.append(entry.broadcast());
            }
        }
        age.start();
    }
    return broadcasts;
}

// Broadcast and multicast devices answer from their own unicast address, so
// with such a remote host the sender cannot be checked.
bool reachesManyHosts(const QHostAddress &address)
{
    if (address.isBroadcast() || address.isMulticast())
        return true;
    return interfaceBroadcasts().contains(address);
}

OperatorError bindError(const QUdpSocket &socket, quint16 port)
{
    const auto error = [&](int number) {
        return OperatorError{number, OperatorError::What::Bind, QString::number(port),
                             socket.errorString()};
    };
    switch (socket.error()) {
    case QAbstractSocket::AddressInUseError:
        return error(errnum::kAddressInUse);
    case QAbstractSocket::SocketAddressNotAvailableError:
        return error(errnum::kAddressNotAvailable);
    case QAbstractSocket::SocketAccessError:
        return error(errnum::kPermissionDenied);
    default:
        return error(errnum::kNetworkError);
    }
}

} // namespace

std::variant<quint32, QString> resolveHostName(const QString &name)
{
    // A blocking lookup, once per name, before any host is contacted.
    const QHostInfo info = QHostInfo::fromName(name);
    const auto addresses = info.addresses();
    for (const QHostAddress &candidate : addresses) {
        bool isV4 = false;
        const quint32 v4 = candidate.toIPv4Address(&isV4);
        if (isV4)
            return v4;
    }
    return info.error() != QHostInfo::NoError
               ? QStringLiteral("host not found: %1").arg(info.errorString())
               : QStringLiteral("the host has no IPv4 address");
}

QString initialLocalPort()
{
    return QString::number(kLocalPortBase + QRandomGenerator::global()->bounded(kLocalPortSpan));
}

QString initialRemotePort()
{
    return QString::number(protocol::kDefaultRemotePort);
}

UdpLink::UdpLink(QObject *parent)
    : QObject(parent), socket_(new QUdpSocket(this)),
      buffer_(protocol::kMaxDatagram + 1, Qt::Uninitialized)
{
    // A bootloader is reached directly, never through a proxy; asking the
    // system's proxy configuration costs a lookup per socket.
    socket_->setProxy(QNetworkProxy::NoProxy);
    QObject::connect(socket_, &QUdpSocket::readyRead, this, &UdpLink::readPending);
}

UdpLink::~UdpLink() = default;

std::optional<OperatorError> UdpLink::open(const LinkSettings &settings)
{
    close();

    const auto remotePort = parsePort(settings.remotePort, 1);
    if (!remotePort) {
        return OperatorError{errnum::kInvalidValue, OperatorError::What::RemotePort,
                             settings.remotePort};
    }
    const auto localPort = parsePort(settings.localPort, 0);
    if (!localPort) {
        return OperatorError{errnum::kInvalidValue, OperatorError::What::LocalPort,
                             settings.localPort};
    }

    const QString host = settings.remoteHost.trimmed();
    if (host.isEmpty())
        return OperatorError{errnum::kHostNotFound, OperatorError::What::NoHost};
    QHostAddress address;
    if (address.setAddress(host)) {
        bool isV4 = false;
        const quint32 v4 = address.toIPv4Address(&isV4); // also unwraps ::ffff:a.b.c.d
        if (!isV4) {
            return OperatorError{errnum::kAddressNotAvailable, OperatorError::What::NotIPv4, host};
        }
        address.setAddress(v4);
    } else {
        // A blocking lookup: connect is one operator action and waits for it.
        const QHostInfo info = QHostInfo::fromName(host);
        const auto found = info.addresses();
        for (const QHostAddress &candidate : found) {
            bool isV4 = false;
            const quint32 v4 = candidate.toIPv4Address(&isV4);
            if (isV4) {
                address.setAddress(v4);
                break;
            }
        }
        if (address.isNull()) {
            const QString reason = info.error() != QHostInfo::NoError
                                       ? info.errorString()
                                       : QStringLiteral("no IPv4 address");
            return OperatorError{errnum::kHostNotFound, OperatorError::What::HostNotFound, host,
                                 reason};
        }
    }
    if (address == QHostAddress(QHostAddress::AnyIPv4)) {
        return OperatorError{errnum::kAddressNotAvailable, OperatorError::What::NotADevice, host};
    }

    // Answers to a broadcast come from every board's own address: with the
    // device's exact address and port required, no answer could ever count,
    // and taking them all would let one board answer for another.
    const bool manyHosts = reachesManyHosts(address);
    if (manyHosts && senderCheck_ == SenderCheck::OneDevice) {
        return OperatorError{errnum::kAddressNotAvailable, OperatorError::What::ManyHosts, host};
    }

    // Exclusive, so that no second program on this port can take the replies.
    if (!socket_->bind(QHostAddress::AnyIPv4, *localPort, QAbstractSocket::DontShareAddress)) {
        OperatorError error = bindError(*socket_, *localPort);
        socket_->close();
        return error;
    }
    socket_->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption,
                             QVariant(kReceiveBufferBytes));

    remoteAddress_ = address;
    remoteIPv4_ = address.toIPv4Address();
    remotePort_ = *remotePort;
    acceptAnySender_ = manyHosts;
    return std::nullopt;
}

std::optional<OperatorError> UdpLink::openDrawing(const QString &host, quint16 remotePort,
                                                  std::optional<quint16> localPort,
                                                  quint16 avoidPort)
{
    constexpr int kBindAttempts = 20; // random ports tried before a taken one is a failure
    LinkSettings link{host, QString::number(remotePort), {}};
    std::optional<OperatorError> error;
    for (int bind = 0; bind < kBindAttempts; ++bind) {
        link.localPort = localPort ? QString::number(*localPort) : initialLocalPort();
        for (int draw = 0; !localPort && draw < 8 && link.localPort == QString::number(avoidPort);
             ++draw)
            link.localPort = initialLocalPort();
        error = open(link);
        // Only a random port may be drawn again: a given one is the user's.
        if (!error || localPort || error->number != errnum::kAddressInUse)
            return error;
    }
    // Every port drawn was taken (hosts enough to fill the range, or other
    // programs on it): a port the system chooses serves as well.
    link.localPort = QStringLiteral("0");
    return open(link);
}

std::optional<OperatorError> UdpLink::listen(quint16 localPort)
{
    close();
    if (!socket_->bind(QHostAddress::AnyIPv4, localPort, QAbstractSocket::DontShareAddress)) {
        OperatorError error = bindError(*socket_, localPort);
        socket_->close();
        return error;
    }
    socket_->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption,
                             QVariant(kReceiveBufferBytes));
#ifdef Q_OS_UNIX
    // Qt allows broadcast on its UDP sockets already; said here, as a
    // broadcast target depends on it.
    const int on = 1;
    ::setsockopt(int(socket_->socketDescriptor()), SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
#endif
    listening_ = true;
    return std::nullopt;
}

bool UdpLink::sendTo(quint32 address, quint16 port, QByteArrayView datagram)
{
    return isOpen() && socket_->writeDatagram(datagram.data(), datagram.size(),
                                              QHostAddress(address), port) == datagram.size();
}

bool UdpLink::send(QByteArrayView datagram)
{
    if (!isOpen())
        return false;
    return socket_->writeDatagram(datagram.data(), datagram.size(), remoteAddress_, remotePort_) ==
           datagram.size();
}

void UdpLink::close()
{
    socket_->close();
    remoteAddress_.clear();
    remoteIPv4_ = 0;
    remotePort_ = 0;
    acceptAnySender_ = false;
    listening_ = false;
}

bool UdpLink::isOpen() const
{
    return socket_->state() == QAbstractSocket::BoundState;
}

quint16 UdpLink::localPort() const
{
    return isOpen() ? socket_->localPort() : 0;
}

QString UdpLink::errorString() const
{
    return socket_->errorString();
}

QHostAddress UdpLink::remoteAddress() const
{
    return remoteAddress_;
}

quint16 UdpLink::remotePort() const
{
    return remotePort_;
}

QUdpSocket *UdpLink::socket() const
{
    return socket_;
}

bool UdpLink::fromDevice(const QHostAddress &sender) const
{
    if (acceptAnySender_)
        return true;
    bool isV4 = false;
    const quint32 v4 = sender.toIPv4Address(&isV4);
    return isV4 && v4 == remoteIPv4_;
}

void UdpLink::readPending()
{
    // A receiver may close the link while handling a datagram (Install does).
    const QPointer<UdpLink> alive(this);
    for (int taken = 0; taken < readBatch_; ++taken) {
        // The notice itself says a datagram waits; ask only before reading more.
        if (!isOpen() || (taken > 0 && !socket_->hasPendingDatagrams()))
            return;
        QHostAddress sender;
        quint16 senderPort = 0;
        const qint64 size =
            socket_->readDatagram(buffer_.data(), buffer_.size(), &sender, &senderPort);
        if (size < 0)
            continue;
        if (listening_) {
            bool isV4 = false;
            const quint32 address = sender.toIPv4Address(&isV4);
            emit heard(isV4 ? address : 0, isV4 ? senderPort : 0,
                       QByteArrayView(buffer_.constData(), size));
            if (!alive)
                return;
            continue;
        }
        if (!fromDevice(sender)) {
            emit strangerArrived(sender, senderPort, QByteArrayView(buffer_.constData(), size));
            if (!alive)
                return;
            continue;
        }
        emit datagramArrived(QByteArray(buffer_.constData(), size), senderPort);
        if (!alive)
            return;
    }
    // What is left is announced again from the event loop: the socket's
    // notifier is level-triggered and each read re-arms it.
}

} // namespace corvanel
