#pragma once

#include "common/ipv4_address.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>
#include <variant>

namespace corvanel {

// A target of the flasher, as given: a host to flash or a scan target.
struct HostAndPort {
    QString host;
    std::optional<quint16> port;
    QString error; // names the argument and says what is wrong
};

// "HOST", "HOST:PORT", "[ADDRESS]" or "[ADDRESS]:PORT", split; the host part
// is not looked at beyond refusing IPv6 (the bootloader protocol runs over
// IPv4). The port, when given, is a number from 1 to 65535.
HostAndPort splitTarget(const QString &argument);

// One address and port that --scan asks.
struct ScanDestination {
    quint32 address = 0; // IPv4, host byte order
    quint16 port = 0;

    friend bool operator==(const ScanDestination &, const ScanDestination &) = default;
};

// The widest range one target may name, and the most destinations one scan
// asks: a scan is for a line's subnet, not for sweeping networks.
inline constexpr int kWidestScanPrefix = 16;
inline constexpr qsizetype kMaxScanDestinations = qsizetype(1) << (32 - kWidestScanPrefix);

// Every destination the targets name, in their order, each once. A target is
// A.B.C.D (an address or a broadcast address) or A.B.C.D/N (the host
// addresses of that range: its network and broadcast addresses left out from
// /30 down; N from 16 to 32), either with ":PORT" (else `defaultPort`). The
// error names the target and says what is wrong.
std::variant<QList<ScanDestination>, QString> scanDestinations(const QStringList &targets,
                                                               quint16 defaultPort);

} // namespace corvanel
