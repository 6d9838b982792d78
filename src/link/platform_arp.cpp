#include "link/platform_arp.h"

#include <QtGlobal>

#ifdef Q_OS_WIN
#include <QDir>
#include <QProcess>
#include <QString>
#include <qt_windows.h>
#endif

namespace corvanel::platform {

#ifdef Q_OS_WIN

void flushArpCache()
{
    // Run arp.exe from the system directory, not whatever "arp" the PATH finds.
    wchar_t systemDir[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryW(systemDir, MAX_PATH);
    const QString program = length > 0 && length < MAX_PATH
                                ? QDir(QString::fromWCharArray(systemDir, int(length)))
                                      .filePath(QStringLiteral("arp.exe"))
                                : QStringLiteral("arp.exe");

    QProcess process;
    process.setProgram(QDir::toNativeSeparators(program));
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
