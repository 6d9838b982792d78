#include "flash/flash_app.h"

#include "flash/flash_options.h"
#include "flash/flash_session.h"
#include "flash/hex_check.h"
#include "flash/interrupt_notifier.h"
#include "flash/progress_view.h"
#include "flash/report_writers.h"
#include "image/image_loader.h"
#include "link/platform_arp.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>

#ifdef Q_OS_UNIX
#include <unistd.h>
#elif defined(Q_OS_WIN)
#include <io.h>
#endif

namespace corvanel::flash {

namespace {

// Problems listed before the rest is only counted: a binary file would
// otherwise flood the terminal with thousands of lines.
constexpr int kMaxProblemsShown = 100;

void print(std::FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

void printRaw(std::FILE *stream, const QByteArray &bytes)
{
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

int refuse(const Console &console, const FlashOptions &options, int code, const QString &error,
           const QList<HexProblem> &problems = {})
{
    print(console.err, QStringLiteral("%1: %2\n").arg(kProgramName, error));
    if (options.json)
        printRaw(console.out, refusalJson(options.imagePath, code, error, problems));
    return code;
}

// The lines the check read must be the lines the transfer sends; a file the
// line reader splits differently (a comma, a quote) is refused, not guessed at.
std::optional<int> firstDifferentLine(const QList<QByteArrayView> &checked, const LineTable &table)
{
    const qsizetype common = qMin(checked.size(), qsizetype(table.count()));
    for (qsizetype i = 0; i < common; ++i) {
        if (checked[i] != table.line(int(i) + 1))
            return int(i) + 1;
    }
    if (checked.size() != table.count())
        return int(common) + 1;
    return std::nullopt;
}

} // namespace

bool isInteractiveTerminal(std::FILE *stream)
{
#ifdef Q_OS_UNIX
    if (!::isatty(fileno(stream)))
        return false;
#elif defined(Q_OS_WIN)
    if (!_isatty(_fileno(stream)))
        return false;
#else
    return false;
#endif
    return qEnvironmentVariable("TERM") != QLatin1String("dumb");
}

int runFlasher(const QStringList &arguments, const Console &console)
{
    const ParsedArguments parsed = parseArguments(arguments);
    switch (parsed.action) {
    case ParsedArguments::Action::Help:
        print(console.out, helpText());
        return exitcode::kOk;
    case ParsedArguments::Action::Version:
        print(console.out,
              QStringLiteral("%1 %2\n").arg(kProgramName, QCoreApplication::applicationVersion()));
        return exitcode::kOk;
    case ParsedArguments::Action::UsageError:
        print(console.err,
              QStringLiteral("%1: %2\nTry '%1 --help'.\n").arg(kProgramName, parsed.error));
        return exitcode::kUsage;
    case ParsedArguments::Action::Run:
        break;
    }
    const FlashOptions &options = parsed.options;

    auto loaded = readImageFile(options.imagePath, LineTable::kUnlimited);
    if (auto *error = std::get_if<OperatorError>(&loaded))
        return refuse(console, options, exitcode::kFileError, error->text);
    const LineTable &image = std::get<LineTable>(loaded);
    if (image.count() == 0) {
        // The controller sends nothing from an image of no lines; the device
        // would wait for ever and so would we.
        return refuse(console, options, exitcode::kFileError,
                      QStringLiteral("\"%1\" has no lines; there is nothing to send")
                          .arg(QDir::toNativeSeparators(options.imagePath)));
    }

    if (options.check) {
        QFile file(options.imagePath);
        if (!file.open(QIODevice::ReadOnly)) {
            return refuse(
                console, options, exitcode::kFileError,
                QStringLiteral("cannot read \"%1\" to check it: %2")
                    .arg(QDir::toNativeSeparators(options.imagePath), file.errorString()));
        }
        const QByteArray text = file.readAll();
        QList<HexProblem> problems = checkIntelHex(text);
        if (problems.isEmpty()) {
            if (const auto line = firstDifferentLine(splitHexLines(text), image)) {
                problems.append(
                    {*line, QStringLiteral("the line reader splits this line differently "
                                           "from the file (a comma or a quote?)")});
            }
        }
        if (!problems.isEmpty()) {
            const QString path = QDir::toNativeSeparators(options.imagePath);
            QString list;
            for (qsizetype i = 0; i < problems.size() && i < kMaxProblemsShown; ++i)
                list += QStringLiteral("%1:%2: %3\n")
                            .arg(path)
                            .arg(problems[i].line)
                            .arg(problems[i].problem);
            if (problems.size() > kMaxProblemsShown)
                list +=
                    QStringLiteral("... and %1 more\n").arg(problems.size() - kMaxProblemsShown);
            print(console.err, list);
            return refuse(console, options, exitcode::kFileError,
                          QStringLiteral("refused \"%1\": %2 bad line%3, nothing sent")
                              .arg(path)
                              .arg(problems.size())
                              .arg(problems.size() == 1 ? QString() : QStringLiteral("s")),
                          problems);
        }
    }

    if (options.flushArp)
        platform::flushArpCache();

    FlashSession session(options.hosts, image);
    const ProgressView::Mode mode = options.quiet           ? ProgressView::Mode::Quiet
                                    : console.errIsTerminal ? ProgressView::Mode::Bars
                                                            : ProgressView::Mode::Lines;
    ProgressView view(mode, console.err, session);
    QObject::connect(&session, &FlashSession::hostProgressed, &view, &ProgressView::hostProgressed);
    QObject::connect(&session, &FlashSession::hostFinished, &view, &ProgressView::hostFinished);

    QEventLoop loop;
    QObject::connect(&session, &FlashSession::finished, &loop,
                     [&loop](int code) { loop.exit(code); });
    InterruptNotifier interrupts;
    QObject::connect(&interrupts, &InterruptNotifier::interrupted, &session,
                     &FlashSession::interrupt);

    session.start();
    const int code = loop.exec();
    view.finish();

    const QList<HostReport> reports = session.reports();
    if (options.json)
        printRaw(console.out, summaryJson(options.imagePath, image.count(), reports, code));
    else
        print(console.out, summaryTable(reports, code));
    return code;
}

} // namespace corvanel::flash
