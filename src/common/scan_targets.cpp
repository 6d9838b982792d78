#include "common/scan_targets.h"

#include "common/command_line.h"
#include "common/ipv4_address.h"
#include "common/numbers.h"

#include <QSet>

#include <optional>

namespace corvanel {

namespace {

constexpr int kLongestSpecialPrefix = 30; // /31 and /32 have no network or broadcast address

} // namespace

HostAndPort splitTarget(const QString &argument)
{
    HostAndPort result;
    QString text = argument.trimmed();
    QString portText;
    bool hasPort = false;
    if (text.startsWith(QLatin1Char('['))) {
        const qsizetype close = text.indexOf(QLatin1Char(']'));
        const QString rest = close < 0 ? QString() : text.mid(close + 1);
        if (close < 0 || (!rest.isEmpty() && !rest.startsWith(QLatin1Char(':')))) {
            result.error = QStringLiteral("\"%1\": an address in brackets is written [ADDRESS] "
                                          "or [ADDRESS]:PORT")
                               .arg(cli::shown(argument));
            return result;
        }
        result.host = text.mid(1, close - 1);
        hasPort = !rest.isEmpty();
        portText = rest.mid(1);
    } else if (text.count(QLatin1Char(':')) > 1) {
        result.host = text;
    } else {
        const qsizetype colon = text.indexOf(QLatin1Char(':'));
        hasPort = colon >= 0;
        result.host = hasPort ? text.left(colon) : text;
        portText = hasPort ? text.mid(colon + 1) : QString();
    }
    if (result.host.contains(QLatin1Char(':'))) {
        result.error = QStringLiteral("\"%1\": IPv6 addresses are not supported; the "
                                      "bootloader protocol runs over IPv4")
                           .arg(cli::shown(argument));
        return result;
    }
    if (hasPort) {
        const auto port = parseWholeNumber(portText, 1, 65535);
        if (!port) {
            result.error =
                QStringLiteral("\"%1\": the port after ':' must be a number from 1 to 65535")
                    .arg(cli::shown(argument));
            return result;
        }
        result.port = quint16(*port);
    }
    return result;
}

std::variant<QList<ScanDestination>, QString> scanDestinations(const QStringList &targets,
                                                               quint16 defaultPort)
{
    QList<ScanDestination> destinations;
    QSet<quint64> seen;
    const auto add = [&](quint32 address, quint16 port) {
        const quint64 key = (quint64(address) << 16) | port;
        if (!seen.contains(key)) {
            seen.insert(key);
            destinations.append({address, port});
        }
    };
    for (const QString &target : targets) {
        const auto fail = [&target](const QString &what) {
            return QStringLiteral("scan target \"%1\": %2").arg(cli::shown(target), what);
        };
        const HostAndPort split = splitTarget(target);
        if (!split.error.isEmpty())
            return QStringLiteral("scan target ") + split.error;
        QString text = split.host;
        const quint16 port = split.port.value_or(defaultPort);
        int prefix = 32;
        bool range = false;
        if (const qsizetype slash = text.indexOf(QLatin1Char('/')); slash >= 0) {
            const auto number = parseWholeNumber(text.mid(slash + 1), 0, 32);
            if (!number)
                return fail(QStringLiteral("the prefix after '/' must be a number from %1 to 32")
                                .arg(kWidestScanPrefix));
            prefix = int(*number);
            if (prefix < kWidestScanPrefix)
                return fail(QStringLiteral("a /%1 range holds %2 addresses; --scan takes /%3 "
                                           "(%4 addresses) at the widest")
                                .arg(prefix)
                                .arg(quint64(1) << (32 - prefix))
                                .arg(kWidestScanPrefix)
                                .arg(kMaxScanDestinations));
            range = true;
            text.truncate(slash);
        }
        const HostText read = readHostText(text);
        if (read.kind == HostText::Kind::Name)
            return fail(QStringLiteral("not an IPv4 address A.B.C.D (the scan takes addresses "
                                       "and ranges, not host names)"));
        if (read.kind == HostText::Kind::Refused)
            return fail(read.problem);
        const std::optional<quint32> address = read.address;
        if (!range) {
            if (*address == 0)
                return fail(QStringLiteral("0.0.0.0 is not a device address"));
            add(*address, port);
        } else {
            const quint32 size = quint32(quint64(1) << (32 - prefix));
            const quint32 first = *address & ~(size - 1);
            const bool hostsOnly = prefix <= kLongestSpecialPrefix;
            for (quint32 i = hostsOnly ? 1 : 0; i < (hostsOnly ? size - 1 : size); ++i) {
                if (first + i != 0)
                    add(first + i, port);
            }
        }
        if (destinations.size() > kMaxScanDestinations)
            return QStringLiteral("the scan targets hold more than %1 addresses and ports; "
                                  "scan fewer at once")
                .arg(kMaxScanDestinations);
    }
    return destinations;
}

} // namespace corvanel
