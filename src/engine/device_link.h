#pragma once

#include "common/operator_error.h"

#include <QByteArrayView>
#include <QString>

#include <chrono>
#include <optional>

namespace corvanel {

// What connect reads from the window: the address box and the two port boxes,
// as text.
struct LinkSettings {
    QString remoteHost;
    QString remotePort;
    QString localPort;
};

// The transfer's way to the device. The UDP adapter implements it over a
// socket and the inquiry timer; tests implement it as a recorder.
class DeviceLink {
public:
    virtual ~DeviceLink() = default;

    // Deletes the host's ARP cache so a replaced board's new MAC is learnt.
    virtual void flushArpCache() = 0;
    // UDP, remote port and host, bind the local port. On failure nothing stays
    // open and the error says what failed and on which address or port.
    virtual std::optional<OperatorError> open(const LinkSettings &settings) = 0;
    // One datagram to the remote host and port; false when it could not go.
    virtual bool send(QByteArrayView datagram) = 0;
    virtual void close() = 0;
    virtual void startInquiryTimer() = 0;
    virtual void stopInquiryTimer() = 0;
    // Lets a datagram leave before the socket closes; the window blocks for it.
    virtual void pause(std::chrono::milliseconds duration) = 0;
};

} // namespace corvanel
