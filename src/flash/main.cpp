#include "flash/flash_app.h"

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("corvanel-flash"));
    QCoreApplication::setApplicationVersion(QStringLiteral(CORVANEL_VERSION));

    corvanel::flash::Console console;
    console.errIsTerminal = corvanel::flash::isInteractiveTerminal(stderr);
    return corvanel::flash::runFlasher(app.arguments(), console);
}
