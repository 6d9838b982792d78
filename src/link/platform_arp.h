#pragma once

#include <QByteArrayView>
#include <QHostAddress>
#include <QString>

#include <optional>

namespace corvanel::platform {

// Deletes every entry of the host's ARP cache. On Windows this starts
// "arp -d *" in a minimized window and does not wait; elsewhere it does nothing.
void flushArpCache();

// The hardware address that a neighbour table in the text form of Linux's
// /proc/net/arp holds for the IPv4 `address`, as "aa:bb:cc:dd:ee:ff" (lower
// case). Unknown (nullopt) for a loopback or non-IPv4 address, when the table
// has no complete entry for it (flags without 0x2, or 00:00:00:00:00:00), or
// when its complete entries on several interfaces disagree.
std::optional<QString> neighbourMacInTable(QByteArrayView table, const QHostAddress &address);

// The same from the system's own table: Linux reads /proc/net/arp; other
// systems answer unknown.
std::optional<QString> neighbourMac(const QHostAddress &address);

// Deletes the neighbour entry of `address` alone, so that a new board at the
// same address is asked for its hardware address. Linux runs
// "ip neigh flush to ADDRESS" (it needs CAP_NET_ADMIN), Windows "arp -d
// ADDRESS" (it needs administrator rights); elsewhere nothing. Waits up to 5 s
// for the command; true when it ran and succeeded. Never for a loopback or
// non-IPv4 address (false).
bool flushNeighbour(const QHostAddress &address);

} // namespace corvanel::platform
