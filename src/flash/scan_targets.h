#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <variant>

namespace corvanel::flash {

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

// "A.B.C.D".
QString ipv4Text(quint32 address);

} // namespace corvanel::flash
