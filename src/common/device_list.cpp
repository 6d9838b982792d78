#include "common/device_list.h"

#include "common/command_line.h"
#include "common/ipv4_address.h"
#include "common/scan_targets.h"

#include <QFile>
#include <QHash>

namespace corvanel {

namespace {

constexpr qint64 kMaxHostsFileBytes = 16 * 1024 * 1024;

} // namespace

QString DeviceEntry::place() const
{
    return where.isEmpty() ? QStringLiteral("on the command line")
                           : QStringLiteral("at ") + where.chopped(2);
}

std::optional<QByteArray> readHostsFile(const QString &path, QString *error)
{
    QFile file;
    const bool opened = path == QLatin1String("-")
                            ? file.open(stdin, QIODevice::ReadOnly)
                            : (file.setFileName(path), file.open(QIODevice::ReadOnly));
    if (!opened) {
        *error =
            QStringLiteral("cannot read the hosts file \"%1\": %2").arg(path, file.errorString());
        return std::nullopt;
    }
    QByteArray text = file.read(kMaxHostsFileBytes + 1);
    if (text.size() > kMaxHostsFileBytes) {
        *error = QStringLiteral("the hosts file \"%1\" is larger than %2 bytes")
                     .arg(path)
                     .arg(kMaxHostsFileBytes);
        return std::nullopt;
    }
    return text;
}

std::variant<QList<DeviceEntry>, QString> hostsFileEntries(const QString &path, QByteArray text)
{
    if (text.startsWith("\xFF\xFE") || text.startsWith("\xFE\xFF") || text.contains('\0'))
        return QStringLiteral("the hosts file \"%1\" is not plain text (UTF-16?); save it as "
                              "ASCII or UTF-8")
            .arg(path);
    if (text.startsWith("\xEF\xBB\xBF")) // a UTF-8 byte-order mark
        text.remove(0, 3);
    QList<DeviceEntry> entries;
    int number = 0;
    for (const QByteArray &line : text.split('\n')) {
        ++number;
        const qsizetype hash = line.indexOf('#');
        const QString entry = QString::fromLatin1(hash < 0 ? line : line.left(hash)).trimmed();
        if (!entry.isEmpty())
            entries.append({entry, QStringLiteral("%1:%2: ").arg(path).arg(number)});
    }
    return entries;
}

std::variant<QList<Device>, QString> readDevices(const QList<DeviceEntry> &entries,
                                                 quint16 defaultPort, const HostResolver &resolve)
{
    QList<Device> devices;
    QHash<quint64, qsizetype> seen; // address << 16 | port: the entry that gave it
    QHash<QString, quint32> resolved;
    for (qsizetype i = 0; i < entries.size(); ++i) {
        const DeviceEntry &entry = entries[i];
        const QString text = cli::shown(entry.text); // as messages show it
        const HostAndPort target = splitTarget(entry.text);
        if (!target.error.isEmpty())
            return entry.where + target.error;
        const HostText read = readHostText(target.host);
        if (read.kind == HostText::Kind::Refused)
            return entry.where + QStringLiteral("\"%1\": %2").arg(text, read.problem);
        Device device{target.host, read.address, target.port};
        if (read.kind == HostText::Kind::Name) {
            const QString name = target.host.toLower();
            if (const auto known = resolved.constFind(name); known != resolved.cend()) {
                device.address = *known;
            } else {
                const auto found = resolve(target.host);
                if (const auto *error = std::get_if<QString>(&found))
                    return entry.where + QStringLiteral("\"%1\": ").arg(text) + *error;
                device.address = std::get<quint32>(found);
                resolved.insert(name, device.address);
            }
        }
        const quint16 port = device.port.value_or(defaultPort);
        const quint64 key = (quint64(device.address) << 16) | port;
        if (const auto first = seen.constFind(key); first != seen.cend()) {
            const DeviceEntry &earlier = entries[*first];
            return entry.where + QStringLiteral("\"%1\" is %2:%3, already given as \"%4\" %5")
                                     .arg(text, ipv4Text(device.address))
                                     .arg(port)
                                     .arg(cli::shown(earlier.text), earlier.place());
        }
        seen.insert(key, i);
        devices.append(device);
    }
    return devices;
}

} // namespace corvanel
