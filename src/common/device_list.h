#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>
#include <optional>
#include <variant>

namespace corvanel {

// A device as the user named it (HOST or HOST:PORT), and where: "" for the
// command line, "FILE:LINE: " for a hosts file.
struct DeviceEntry {
    QString text;
    QString where;

    QString place() const; // "on the command line", "at FILE:LINE"
};

// A device as a run reaches it.
struct Device {
    QString host;                // as given, for the reports
    quint32 address = 0;         // A.B.C.D as typed, or the name's address, looked up once
    std::optional<quint16> port; // given with the host; else the run's default
};

// Reads a hosts file ("-": standard input); empty with `error` set when it cannot.
using HostsFileReader =
    std::function<std::optional<QByteArray>(const QString &path, QString *error)>;
std::optional<QByteArray> readHostsFile(const QString &path, QString *error);

// Looks up a host name: its first IPv4 address, or why there is none.
using HostResolver = std::function<std::variant<quint32, QString>(const QString &name)>;

// The entries of a hosts file: one HOST[:PORT] a line; blank lines and
// everything after '#' are left out. Refused when the text is not ASCII or
// UTF-8 (a UTF-8 byte-order mark is skipped).
std::variant<QList<DeviceEntry>, QString> hostsFileEntries(const QString &path, QByteArray text);

// Reads every entry: A.B.C.D, or a host name looked up once; short, octal
// and hexadecimal forms are refused without a lookup. The same address and
// port twice is refused, naming both places: two transfers on one device
// would each take the other's replies.
std::variant<QList<Device>, QString> readDevices(const QList<DeviceEntry> &entries,
                                                 quint16 defaultPort,
                                                 const HostResolver &resolve);

} // namespace corvanel
