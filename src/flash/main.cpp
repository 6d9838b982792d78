#include "common/console.h"
#include "common/process_limits.h"
#include "flash/flash_app.h"
#include "flash/flash_options.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char *argv[])
{
    corvanel::setUpProcess();
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
