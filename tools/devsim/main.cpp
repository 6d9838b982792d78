// corvanel-devsim: the bootloader simulator as a program. See --help.

#include "tools/devsim/devsim_server.h"

#include <QCoreApplication>
#include <QFile>

#include <cstdio>

using namespace corvanel::devsim;

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(commandLine().program);
    QCoreApplication::setApplicationVersion(QStringLiteral(CORVANEL_VERSION));

    // The build asks for the man page and the completion script this way.
    if (const auto file = corvanel::cli::generatedFile(QCoreApplication::arguments(), commandLine(),
                                                       QCoreApplication::applicationVersion())) {
        std::fputs(file->toUtf8().constData(), stdout);
        return std::fflush(stdout) == 0 ? 0 : 1;
    }

    const ParsedCommandLine parsed = parseCommandLine(QCoreApplication::arguments());
    if (!parsed.options) {
        std::FILE *out = parsed.isError ? stderr : stdout;
        std::fputs(qPrintable(parsed.message), out);
        std::fflush(out);
        return parsed.isError ? 2 : 0;
    }

    DevsimServer server(*parsed.options);
    if (const auto error = server.start()) {
        std::fprintf(stderr, "corvanel-devsim: %s\n", qPrintable(*error));
        return 2;
    }
    // Tests read the port the system chose from this line.
    std::printf("listening %s:%u\n", qPrintable(server.address().toString()),
                unsigned(server.port()));
    std::fflush(stdout);

    const QString jsonPath = parsed.options->summaryJson;
    QObject::connect(&server, &DevsimServer::installed, &app, [&](int exitCode) {
        const ImageSummary summary = server.model().summary();
        std::printf("%s\n", qPrintable(summaryLine(summary)));
        std::fflush(stdout);
        if (!jsonPath.isEmpty()) {
            QFile file(jsonPath);
            if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
                file.write(summaryJson(summary)) < 0) {
                std::fprintf(stderr, "corvanel-devsim: cannot write %s: %s\n", qPrintable(jsonPath),
                             qPrintable(file.errorString()));
            }
        }
        QCoreApplication::exit(exitCode);
    });
    QObject::connect(&server, &DevsimServer::idleTimedOut, &app, [] {
        std::fprintf(stderr, "corvanel-devsim: idle time-out\n");
        QCoreApplication::exit(3);
    });
    return QCoreApplication::exec();
}
