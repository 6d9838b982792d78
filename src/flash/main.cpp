#include "flash/flash_app.h"
#include "flash/flash_options.h"
#include "common/console.h"

#include <QCoreApplication>

#include <cstdio>

#ifdef Q_OS_UNIX
#include <csignal>
#include <sys/resource.h>
#endif

int main(int argc, char *argv[])
{
#ifdef Q_OS_UNIX
    // Output that cannot be written (a reader that quit, a file size limit
    // reached) fails the write and is dealt with there; it never ends the
    // process in the middle of a transfer.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    // One socket per host: as many hosts as the system lets this process have.
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &files);
    }
#endif
    // The flasher's event loop is sockets and timers alone: Qt's own event
    // dispatcher serves it with less work per datagram than GLib's. Asked for
    // through the environment, which no child process inherits.
    const bool dispatcherChosen = qEnvironmentVariableIsSet("QT_NO_GLIB");
    if (!dispatcherChosen)
        qputenv("QT_NO_GLIB", "1");
    QCoreApplication app(argc, argv);
    if (!dispatcherChosen)
        qunsetenv("QT_NO_GLIB");
    QCoreApplication::setApplicationName(QString(corvanel::flash::kProgramName));
    QCoreApplication::setApplicationVersion(QStringLiteral(CORVANEL_VERSION));

    // The build asks for the man page and the completion script this way.
    corvanel::cli::Definition definition = corvanel::flash::commandLine();
    definition.seeAlso = {QStringLiteral("corvanel-devsim(1)"), QStringLiteral("corvanel(1)")};
    if (const auto file = corvanel::cli::generatedFile(app.arguments(), definition,
                                                       QCoreApplication::applicationVersion())) {
        std::fputs(file->toUtf8().constData(), stdout);
        return std::fflush(stdout) == 0 ? 0 : 1;
    }

    corvanel::flash::Console console;
    console.errIsTerminal = corvanel::isInteractiveTerminal(stderr);
    console.outIsTerminal = corvanel::isInteractiveTerminal(stdout);
    return corvanel::flash::runFlasher(app.arguments(), console);
}
