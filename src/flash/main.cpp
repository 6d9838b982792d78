#include "flash/flash_app.h"
#include "flash/flash_options.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
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
    console.errIsTerminal = corvanel::flash::isInteractiveTerminal(stderr);
    return corvanel::flash::runFlasher(app.arguments(), console);
}
