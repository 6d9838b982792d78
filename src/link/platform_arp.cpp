#include "link/platform_arp.h"

#include <QByteArray>
#include <QList>
#include <QProcess>
#include <QStringList>
#include <QtGlobal>

#include <cctype>

#ifdef Q_OS_WIN
#include <QDir>
#include <qt_windows.h>
#elif defined(Q_OS_LINUX)
#include <QFile>
#include <QStandardPaths>
#endif

namespace corvanel::platform {

namespace {

// The IPv4 address a neighbour table can hold an entry for: not loopback,
// which never has a hardware address.
std::optional<quint32> neighbourIpv4(const QHostAddress &address)
{
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    if (!isV4 || (v4 >> 24) == 127)
        return std::nullopt;
    return v4;
}

// "AA:bb:..." as six pairs of hex digits, in lower case; unknown when it is
// anything else or all zero (the kernel's placeholder while it still asks).
std::optional<QString> hardwareAddress(const QByteArray &text)
{
    if (text.size() != 17)
        return std::nullopt;
    bool zero = true;
    for (int i = 0; i < 17; ++i) {
        const char c = text[i];
        if (i % 3 == 2) {
            if (c != ':')
                return std::nullopt;
        } else if (!std::isxdigit(static_cast<unsigned char>(c))) {
            return std::nullopt;
        } else if (c != '0') {
            zero = false;
        }
    }
    if (zero)
        return std::nullopt;
    return QString::fromLatin1(text).toLower();
}

#if defined(Q_OS_LINUX) || defined(Q_OS_WIN)
// Runs a system command with a bounded wait; true when it exited with 0.
bool runCommand(const QString &program, const QStringList &arguments)
{
    constexpr int kCommandWaitMs = 5000;
    if (program.isEmpty())
        return false;
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(kCommandWaitMs)) {
        process.kill();
        process.waitForFinished(kCommandWaitMs);
        return false;
    }
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}
#endif

#ifdef Q_OS_WIN
// arp.exe from the system directory, not whatever "arp" the PATH finds.
QString systemArp()
{
    wchar_t systemDir[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryW(systemDir, MAX_PATH);
    const QString program = length > 0 && length < MAX_PATH
                                ? QDir(QString::fromWCharArray(systemDir, int(length)))
                                      .filePath(QStringLiteral("arp.exe"))
                                : QStringLiteral("arp.exe");
    return QDir::toNativeSeparators(program);
}
#endif

} // namespace

std::optional<QString> neighbourMacInTable(QByteArrayView table, const QHostAddress &address)
{
    // IP address  HW type  Flags  HW address  Mask  Device; a header line first.
    constexpr uint kComplete = 0x2; // ATF_COM: the hardware address is known
    const auto wanted = neighbourIpv4(address);
    if (!wanted)
        return std::nullopt;
    std::optional<QString> found;
    for (const QByteArray &line : table.toByteArray().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() < 4)
            continue;
        QHostAddress entry;
        if (!entry.setAddress(QString::fromLatin1(fields[0])) ||
            entry.protocol() != QAbstractSocket::IPv4Protocol || entry.toIPv4Address() != *wanted) {
            continue;
        }
        bool ok = false;
        const uint flags = fields[2].startsWith("0x") ? fields[2].mid(2).toUInt(&ok, 16) : 0;
        if (!ok || !(flags & kComplete))
            continue;
        const auto mac = hardwareAddress(fields[3]);
        if (!mac)
            continue;
        if (found && *found != *mac)
            return std::nullopt; // two interfaces, two boards: which one answered is unknown
        found = mac;
    }
    return found;
}

#ifdef Q_OS_LINUX

std::optional<QString> neighbourMac(const QHostAddress &address)
{
    if (!neighbourIpv4(address))
        return std::nullopt;
    // A procfs file says size 0: read it to its end, bounded.
    constexpr qint64 kMaxTableBytes = 4 << 20;
    QFile file(QStringLiteral("/proc/net/arp"));
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return neighbourMacInTable(file.read(kMaxTableBytes), address);
}

bool flushNeighbour(const QHostAddress &address)
{
    const auto v4 = neighbourIpv4(address);
    if (!v4)
        return false;
    // The system's ip, not whatever the PATH finds. "Nothing to flush" is
    // success too: the entry is gone either way.
    const QString ip = QStandardPaths::findExecutable(
        QStringLiteral("ip"), {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin"),
                               QStringLiteral("/usr/bin"), QStringLiteral("/bin")});
    return runCommand(ip, {QStringLiteral("neigh"), QStringLiteral("flush"), QStringLiteral("to"),
                           QHostAddress(*v4).toString()});
}

#elif defined(Q_OS_WIN)

std::optional<QString> neighbourMac(const QHostAddress &)
{
    return std::nullopt;
}

bool flushNeighbour(const QHostAddress &address)
{
    const auto v4 = neighbourIpv4(address);
    if (!v4)
        return false;
    return runCommand(systemArp(), {QStringLiteral("-d"), QHostAddress(*v4).toString()});
}

#else

// Other systems keep their neighbour table to themselves.
std::optional<QString> neighbourMac(const QHostAddress &)
{
    return std::nullopt;
}

bool flushNeighbour(const QHostAddress &)
{
    return false;
}

#endif

#ifdef Q_OS_WIN

void flushArpCache()
{
    QProcess process;
    process.setProgram(systemArp());
    process.setArguments({QStringLiteral("-d"), QStringLiteral("*")});
    // Its own console window, minimized and active, as operators know it; the
    // result is not awaited (without administrator rights the command fails).
    process.setCreateProcessArgumentsModifier([](QProcess::CreateProcessArguments *args) {
        args->flags &= ~DWORD(CREATE_NO_WINDOW);
        args->flags |= CREATE_NEW_CONSOLE;
        args->startupInfo->dwFlags |= STARTF_USESHOWWINDOW;
        args->startupInfo->wShowWindow = SW_SHOWMINIMIZED;
    });
    process.startDetached();
}

#else

// Other systems keep their neighbour cache to themselves: flushing it needs
// root and a different command, and a stale entry only delays the first
// replies until the kernel re-resolves it.
void flushArpCache() {}

#endif

} // namespace corvanel::platform
