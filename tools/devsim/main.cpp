// corvanel-devsim: the bootloader simulator as a program. See --help.

#include "tools/devsim/devsim_server.h"

#include <QCoreApplication>
#include <QFile>

#include <cstdio>

using namespace corvanel::devsim;

namespace {

void printLine(const QString &line)
{
    std::printf("%s\n", qPrintable(line));
    std::fflush(stdout);
}

} // namespace

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
    const auto writeJson = [&jsonPath](const QByteArray &json) {
        if (jsonPath.isEmpty())
            return;
        QFile file(jsonPath);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(json) < 0) {
            std::fprintf(stderr, "corvanel-devsim: cannot write %s: %s\n", qPrintable(jsonPath),
                         qPrintable(file.errorString()));
        }
    };
    QObject::connect(&server, &DevsimServer::installed, &app, [&](int exitCode) {
        const ImageSummary summary = server.model().summary();
        printLine(summaryLine(summary));
        writeJson(summaryJson(summary));
        QCoreApplication::exit(exitCode);
    });
    // With --boards: a line per board as it leaves, the summary at the end.
    qsizetype printed = 0;
    const auto printBoards = [&](const QList<BoardRecord> &records) {
        for (; printed < records.size(); ++printed)
            printLine(boardLine(records[printed]));
    };
    QObject::connect(&server, &DevsimServer::boardLeft, &app,
                     [&] { printBoards(server.boardRecords()); });
    QObject::connect(&server, &DevsimServer::boardsFinished, &app, [&](int exitCode) {
        const QList<BoardRecord> records = server.boardRecords();
        printLine(boardsSummaryLine(records));
        writeJson(boardsJson(records));
        QCoreApplication::exit(exitCode);
    });
    const bool boards = parsed.options->boards > 0;
    QObject::connect(&server, &DevsimServer::idleTimedOut, &app, [&] {
        if (boards) {
            // The board in place too: what became of each board so far.
            const QList<BoardRecord> records = server.boardRecords();
            printBoards(records);
            printLine(boardsSummaryLine(records));
        }
        std::fprintf(stderr, "corvanel-devsim: idle time-out\n");
        QCoreApplication::exit(3);
    });
    return QCoreApplication::exec();
}
