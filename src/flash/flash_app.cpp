#include "flash/flash_app.h"

#include "common/console.h"
#include "common/interrupt_notifier.h"
#include "common/process_limits.h"
#include "common/report_file.h"
#include "engine/run_summary.h"
#include "flash/board_scan.h"
#include "flash/flash_options.h"
#include "flash/flash_session.h"
#include "flash/progress_view.h"
#include "image/flash_image.h"
#include "link/trace.h"
#include "link/udp_link.h"
#include "records/done_index.h"
#include "records/run_records.h"
#include "records/shift_summary.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QHostInfo>
#include <QJsonDocument>

#include <cerrno>
#include <cstring>
#include <optional>

namespace corvanel::flash {

using namespace records;

namespace {

// Problems listed before the rest is only counted: a binary file would
// otherwise flood the terminal with thousands of lines.
constexpr int kMaxProblemsShown = 100;
// Files a run holds open besides one socket per host: the standard streams,
// the report, the event loop's and the interrupt notifier's descriptors,
// with room to spare.
constexpr quint64 kFilesBesidesHosts = 32;

Written printRaw(std::FILE *stream, const QByteArray &bytes)
{
    return writeOutput(stream, bytes);
}

Written print(std::FILE *stream, const QString &text)
{
    return printRaw(stream, text.toLocal8Bit());
}

int refuse(const Console &console, const FlashOptions &options, const ImageRefusal &refusal)
{
    const QString path = options.imagePath == QLatin1String("-")
                             ? QStringLiteral("(standard input)")
                             : QDir::toNativeSeparators(options.imagePath);
    QString list;
    for (qsizetype i = 0; i < refusal.problems.size() && i < kMaxProblemsShown; ++i) {
        const image::HexProblem &p = refusal.problems[i];
        list += QStringLiteral("%1:%2: %3\n").arg(path).arg(p.line).arg(p.problem);
    }
    if (refusal.problems.size() > kMaxProblemsShown)
        list +=
            QStringLiteral("... and %1 more\n").arg(refusal.problems.size() - kMaxProblemsShown);
    // Paths and names in the messages may come from an options file.
    print(console.err,
          cli::terminalSafe(list + QStringLiteral("%1: %2\n").arg(kProgramName, refusal.error)));
    if (options.json) {
        printRaw(console.out, refusalJson(options.imagePath, exitcode::kFileError, refusal.error,
                                          refusal.problems));
    }
    return exitCode(RunSummary::refusal(exitcode::kFileError));
}

// The end of every run that gets so far: its summary as the options ask (JSON,
// text, or nothing with -qq) and its exit code, decided from the summary.
template <typename Text, typename Json>
int finish(const Console &console, const FlashOptions &options, const RunSummary &summary,
           const Text &text, const Json &json)
{
    const int code = exitCode(summary);
    // A reader that quit ("| head") ends the writing quietly.
    if (options.quiet >= 2)
        return code;
    if (options.json)
        printRaw(console.out, json(code));
    else
        print(console.out, text(code));
    return code;
}

// What would be flashed, without the network.
int showInfo(const Console &console, const FlashOptions &options, const FlashImage &image)
{
    if (!image.figures) {
        return refuse(console, options,
                      {QStringLiteral("\"%1\" cannot be read as Intel HEX")
                           .arg(QDir::toNativeSeparators(options.imagePath)),
                       {}});
    }
    return finish(
        console, options, RunSummary{},
        [&](int) { return image::infoText(options.imagePath, *image.figures); },
        [&](int) { return image::infoJson(options.imagePath, *image.figures); });
}

// A shift's records, summarised: text or JSON, and the page with --html.
int summarizeReports(const Console &console, const FlashOptions &options)
{
    records::SummaryOptions bounds;
    bounds.since = options.since;
    bounds.until = options.until;
    auto read = records::summarize(options.reportInputs, bounds);
    if (const auto *error = std::get_if<QString>(&read))
        return refuse(console, options, {*error, {}});
    const records::ShiftSummary &shift = std::get<records::ShiftSummary>(read);
    if (!options.htmlPath.isEmpty()) {
        QFile page(options.htmlPath);
        const QByteArray html = records::summaryHtml(shift);
        if (!page.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
            page.write(html) != html.size() || !page.flush()) {
            return refuse(console, options,
                          {QStringLiteral("cannot write the page \"%1\" (%2)")
                               .arg(QDir::toNativeSeparators(options.htmlPath), page.errorString()),
                           {}});
        }
    }
    return finish(
        console, options, RunSummary{}, [&](int) { return records::summaryText(shift); },
        [&](int) { return records::summaryJson(shift); });
}

// The records that would be sent, as a file: "-" is standard output, where
// a reader that quits ("| head") ends the writing quietly.
int writeHex(const Console &console, const FlashOptions &options, const FlashImage &image)
{
    const bool toStdout = options.writeHexPath == QLatin1String("-");
    QFile file(options.writeHexPath);
    const QString name =
        toStdout ? QStringLiteral("standard output")
                 : QStringLiteral("\"%1\"").arg(QDir::toNativeSeparators(options.writeHexPath));
    const auto failed = [&](const QString &why) {
        return refuse(console, options,
                      {QStringLiteral("writing %1 failed (%2)").arg(name, why), {}});
    };
    if (!toStdout && !file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        return refuse(console, options,
                      {QStringLiteral("cannot write %1 (%2)").arg(name, file.errorString()), {}});
    }
    // In blocks: a converted image's million lines exist only as they are made.
    constexpr qsizetype kBlockBytes = 1 << 20;
    QByteArray block;
    const qint64 count = image.lines->count();
    for (qint64 number = 1; number <= count; ++number) {
        block += image.lines->line(number);
        block += "\r\n";
        if (block.size() < kBlockBytes && number < count)
            continue;
        if (toStdout) {
            const Written written = writeOutput(console.out, block);
            if (written == Written::ReaderGone)
                return exitCode(RunSummary{});
            if (written == Written::Failed)
                return failed(QString::fromLocal8Bit(std::strerror(errno)));
        } else if (file.write(block) != block.size()) {
            return failed(file.errorString());
        }
        block.clear();
    }
    if (!toStdout && !file.flush())
        return failed(file.errorString());
    return exitCode(RunSummary{});
}

int flashHosts(const Console &console, const QStringList &arguments, const FlashOptions &options,
               const FlashImage &image)
{
    RunFacts run;
    run.toolVersion = QCoreApplication::applicationVersion();
    run.station = options.station.isEmpty() ? QHostInfo::localHostName() : options.station;
    run.imagePath = options.imagePath;
    run.lineCount = int(image.lines->count());
    run.figures = image.figures;
    run.dryRun = options.mode == FlashOptions::Mode::DryRun;

    // Every host needs a socket of its own for the whole run: a run that could
    // not open them all does not start.
    const auto fileLimit = openFileLimit();
    const auto hostCount = quint64(options.hosts.size());
    if (fileLimit && hostCount + kFilesBesidesHosts > *fileLimit) {
        print(console.err, QStringLiteral("%1: %2 hosts need %3 open files (a socket each, and "
                                          "%4 for the run itself), more than this process's "
                                          "limit of %5 open files (ulimit -n); flash fewer "
                                          "hosts at once or raise the limit\n")
                               .arg(kProgramName)
                               .arg(hostCount)
                               .arg(hostCount + kFilesBesidesHosts)
                               .arg(kFilesBesidesHosts)
                               .arg(*fileLimit));
        return exitCode(RunSummary::refusal(exitcode::kNetworkError));
    }
    // Opened before anything is sent: a run that cannot be recorded does not start.
    ReportFile reportFile;
    if (!options.reportPath.isEmpty()) {
        if (auto error = reportFile.open(options.reportPath))
            return refuse(console, options, {*error, {}});
    }
    // The trace, when asked for; its file opened before anything is sent too.
    std::unique_ptr<Trace> trace;
    if (options.verbosity > 0 || !options.tracePath.isEmpty()) {
        trace = std::make_unique<Trace>(options.verbosity > 0 ? console.err : nullptr, console.err,
                                        QString(kProgramName));
        const QString header = Trace::header(QString(kProgramName), run.toolVersion,
                                             utcText(QDateTime::currentDateTimeUtc()), arguments);
        if (!options.tracePath.isEmpty()) {
            if (auto error = trace->openFile(options.tracePath, header))
                return refuse(console, options, {*error, {}});
        }
    }
    if (options.systemChosenPorts && !options.quiet) {
        print(console.err, QStringLiteral("%1: %2 hosts are more than the %3 local ports from %4 "
                                          "to %5; every host uses a port the system chooses\n")
                               .arg(kProgramName)
                               .arg(options.hosts.size())
                               .arg(kLocalPortSpan)
                               .arg(kLocalPortBase)
                               .arg(kLocalPortBase + kLocalPortSpan - 1));
    }

    // --skip-done: the boards a report shows done with this image, read
    // before anything is sent.
    records::DoneIndex done;
    if (!options.skipDonePath.isEmpty()) {
        if (const auto error = done.addReport(options.skipDonePath))
            return refuse(console, options, {*error, {}});
    }
    FlashSession session(options.hosts, image.lines, options.production, trace.get());
    session.traceTimers(options.verbosity >= 2);
    if (!options.skipDonePath.isEmpty()) {
        const QString sha256 =
            run.figures ? QString::fromLatin1(run.figures->sha256.toHex()) : QString();
        session.setDoneCheck([&, sha256](const HostSettings &host, int board,
                                         const std::optional<QString> &mac) {
            const auto record = done.lookup(
                {sha256, mac, run.station, host.host, host.remotePort, board, host.install});
            return record ? QJsonDocument(*record).toJson(QJsonDocument::Compact) : QByteArray();
        });
    }
    QObject::connect(&session, &FlashSession::flushRefused, &session, [&](const QString &address) {
        print(console.err,
              QStringLiteral("%1: could not flush the neighbour entry of %2 (this needs root or "
                             "CAP_NET_ADMIN on Linux, administrator rights on Windows); a swapped "
                             "board may go unanswered until the entry ages out\n")
                  .arg(kProgramName, address));
    });
    run.start = QDateTime::currentDateTimeUtc();
    run.origin = run.start.addMSecs(-session.clock().elapsed());
    // Live bars redrawn in place would be torn by the trace's lines.
    const ProgressView::Mode mode = options.quiet ? ProgressView::Mode::Quiet
                                    : console.errIsTerminal && options.verbosity == 0
                                        ? ProgressView::Mode::Bars
                                        : ProgressView::Mode::Lines;
    const QByteArray noColor = qgetenv("NO_COLOR");
    ProgressView view(mode, console.err, session,
                      colourWanted(options.colour, console.errIsTerminal, noColor));
    QObject::connect(&session, &FlashSession::laneProgressed, &view, &ProgressView::laneProgressed);
    QObject::connect(&session, &FlashSession::attemptEnded, &view, &ProgressView::attemptEnded);
    QObject::connect(&session, &FlashSession::boardDone, &view, &ProgressView::boardDone);
    QObject::connect(&session, &FlashSession::boardBack, &view, &ProgressView::boardBack);
    QObject::connect(&session, &FlashSession::laneFinished, &view, &ProgressView::laneFinished);

    bool reportFailed = false;
    if (reportFile.isOpen()) {
        QObject::connect(
            &session, &FlashSession::attemptEnded, &session,
            [&](int, const HostReport &attempt, bool) {
                if (const auto error = reportFile.append(attemptRecord(run, attempt))) {
                    reportFailed = true;
                    print(console.err, QStringLiteral("%1: %2\n").arg(kProgramName, *error));
                }
            });
    }

    QEventLoop loop;
    QObject::connect(&session, &FlashSession::finished, &loop, &QEventLoop::quit);
    InterruptNotifier interrupts;
    QObject::connect(&interrupts, &InterruptNotifier::interrupted, &session,
                     &FlashSession::interrupt);

    session.start();
    loop.exec();
    view.finish();
    run.end = QDateTime::currentDateTimeUtc();

    RunSummary summary;
    summary.mode = session.isContinuous() ? RunSummary::Mode::Continuous : RunSummary::Mode::Boards;
    summary.rows = session.reports();
    summary.laneCodes = session.laneCodes();
    summary.reportFailed = reportFailed;
    const bool colour = colourWanted(options.colour, console.outIsTerminal, noColor);
    return finish(
        console, options, summary,
        [&](int code) {
            return (run.dryRun ? dryRunHeader(run) : QString()) +
                   summaryTable(summary.rows, code, colour);
        },
        [&](int code) { return summaryJson(run, summary.rows, code); });
}

int scanBoards(const Console &console, const FlashOptions &options)
{
    BoardScan scan({options.scanDestinations, options.scanTime}, options.scanLocalPort);
    QEventLoop loop;
    QObject::connect(&scan, &BoardScan::finished, &loop, [&loop] { loop.exit(0); });
    InterruptNotifier interrupts;
    QObject::connect(&interrupts, &InterruptNotifier::interrupted, &scan,
                     [&](int number) { scan.interrupt(number); });
    if (const auto error = scan.start()) {
        print(console.err, QStringLiteral("%1: %2\n").arg(kProgramName, *error));
        return exitCode(RunSummary::refusal(exitcode::kNetworkError));
    }
    loop.exec();

    const ScanOutcome &outcome = scan.outcome();
    for (const QString &text : outcome.sendErrorTexts)
        print(console.err, QStringLiteral("%1: %2\n").arg(kProgramName, text));
    if (outcome.sendErrors > outcome.sendErrorTexts.size()) {
        print(console.err, QStringLiteral("%1: ... and %2 more inquiries not sent\n")
                               .arg(kProgramName)
                               .arg(outcome.sendErrors - outcome.sendErrorTexts.size()));
    }
    RunSummary summary;
    summary.mode = RunSummary::Mode::Scan;
    summary.scan = outcome;
    return finish(
        console, options, summary,
        [&](int code) {
            // Standard output is a hosts file that --hosts reads as it is; the
            // footer is for the operator.
            QString list;
            for (const FoundBoard &board : outcome.boards)
                list += scanLine(board);
            if (!options.quiet)
                print(console.err, scanFooter(outcome, code));
            return list;
        },
        [&](int code) {
            return scanJson(outcome, scan.started(), QCoreApplication::applicationVersion(),
                            options.scanTime, code);
        });
}

} // namespace

int runFlasher(const QStringList &arguments, const Console &console)
{
    const ParsedArguments parsed = parseArguments(arguments);
    const FlashOptions &options = parsed.options;
    const auto say = [&](const QStringList &lines) {
        for (const QString &line : lines)
            print(console.err,
                  cli::terminalSafe(QStringLiteral("%1: %2\n").arg(kProgramName, line)));
    };
    if (options.verbosity > 0)
        say(parsed.notes);
    if (options.quiet == 0)
        say(parsed.said);
    switch (parsed.action) {
    case ParsedArguments::Action::Help:
    case ParsedArguments::Action::HelpAll:
        print(console.out,
              cli::helpText(commandLine(), parsed.action == ParsedArguments::Action::Help
                                               ? cli::Detail::Brief
                                               : cli::Detail::Full));
        return exitCode(RunSummary{});
    case ParsedArguments::Action::Version:
        print(console.out,
              QStringLiteral("%1 %2\n").arg(kProgramName, QCoreApplication::applicationVersion()));
        return exitCode(RunSummary{});
    case ParsedArguments::Action::UsageError:
        print(console.err,
              cli::terminalSafe(
                  QStringLiteral("%1: %2\nTry '%1 --help'.\n").arg(kProgramName, parsed.error)));
        return exitCode(RunSummary::refusal(exitcode::kUsage));
    case ParsedArguments::Action::FileError:
        return refuse(console, options, {parsed.error, {}});
    case ParsedArguments::Action::Run:
        break;
    }
    if (options.mode == FlashOptions::Mode::Scan)
        return scanBoards(console, options);
    if (options.mode == FlashOptions::Mode::Summary)
        return summarizeReports(console, options);

    // Reading a terminal would wait for typing that never comes.
    if (options.imagePath == QLatin1String("-") && isTerminal(stdin)) {
        return refuse(console, options,
                      {QStringLiteral("the image is to come from standard input, which is a "
                                      "terminal; pipe or redirect it in"),
                       {}});
    }
    auto loaded = loadFlashImage(options.imagePath, options.image);
    if (auto *refusal = std::get_if<ImageRefusal>(&loaded))
        return refuse(console, options, *refusal);
    const FlashImage &image = std::get<FlashImage>(loaded);
    if (options.mode == FlashOptions::Mode::Info)
        return showInfo(console, options, image);
    if (options.mode == FlashOptions::Mode::WriteHex)
        return writeHex(console, options, image);
    return flashHosts(console, arguments, options, image);
}

} // namespace corvanel::flash
