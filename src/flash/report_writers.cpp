#include "flash/report_writers.h"

#include "flash/terminal.h"

#include <algorithm>

#include <QDir>

namespace corvanel::flash {

namespace {

// The image as a person reads its name: "-" is standard input.
QString imageText(const QString &imagePath)
{
    return imagePath == QLatin1String("-") ? QStringLiteral("(standard input)")
                                           : QDir::toNativeSeparators(imagePath);
}

QString figuresText(const RunFacts &run)
{
    QString text = QStringLiteral("%1 lines").arg(run.lineCount);
    if (run.figures) {
        text += QStringLiteral(", %1 data bytes, CRC-32 %2, SHA-256 %3")
                    .arg(run.figures->dataBytes)
                    .arg(image::hexAddress(run.figures->crc32),
                         QString::fromLatin1(run.figures->sha256.toHex()));
    }
    return text;
}

} // namespace

QString linesText(const HostReport &r)
{
    return QStringLiteral("%1/%2").arg(linesReached(r)).arg(r.lineCount);
}

QString timeText(double seconds)
{
    return QString::number(seconds, 'f', 2) + QStringLiteral(" s");
}

QString detailText(const HostReport &r)
{
    if (r.outcome == Outcome::Ok && r.dryRun)
        return {};
    if (r.outcome == Outcome::Ok)
        return r.installed ? QStringLiteral("installed (\"BOOTg\" sent)") : QString();
    return r.reason;
}

QString summaryTable(const QList<HostReport> &reports, int exitCode, bool colour)
{
    bool dryRun = !reports.isEmpty();
    bool retried = false;
    for (const HostReport &r : reports) {
        dryRun = dryRun && r.dryRun;
        retried = retried || r.maxAttempts > 1;
    }
    // A dry run has no pass and no lines to show; attempts only when allowed.
    const bool boards = std::any_of(reports.begin(), reports.end(),
                                    [](const HostReport &r) { return r.board > 0; });
    QStringList header{QStringLiteral("HOST")};
    if (boards)
        header << QStringLiteral("BOARD");
    header << QStringLiteral("RESULT");
    if (!dryRun)
        header << QStringLiteral("PASS") << QStringLiteral("LINES");
    header << QStringLiteral("TIME");
    if (retried)
        header << QStringLiteral("ATTEMPT");
    header << QStringLiteral("VER") << QStringLiteral("REASON");
    QList<QStringList> rows{header};
    int ok = 0;
    int skipped = 0;
    for (const HostReport &r : reports) {
        if (r.outcome == Outcome::Ok)
            ++ok;
        if (r.outcome == Outcome::Skipped)
            ++skipped;
        QStringList row{r.address()};
        if (boards)
            row << QString::number(r.board);
        row << resultWord(r);
        if (!dryRun)
            row << phaseWord(r.phase) << linesText(r);
        row << timeText(r.seconds());
        if (retried)
            row << QStringLiteral("%1/%2").arg(r.attempt).arg(r.maxAttempts);
        row << (r.deviceVersion ? quotedReply(r.deviceVersion->toLatin1()) : QStringLiteral("-"))
            << detailText(r);
        rows.append(row);
    }
    QList<qsizetype> widths(header.size(), 0);
    for (const QStringList &row : rows) {
        for (qsizetype c = 0; c < row.size(); ++c)
            widths[c] = qMax(widths[c], row[c].size());
    }
    QString text;
    for (qsizetype r = 0; r < rows.size(); ++r) {
        const QStringList &row = rows[r];
        QString line;
        for (qsizetype c = 0; c < row.size(); ++c) {
            const bool last = c + 1 == row.size();
            line += last ? row[c] : row[c].leftJustified(widths[c]) + QStringLiteral("  ");
        }
        // Painted once laid out: the codes take no room on the screen.
        const Tone tone = colour && r > 0 ? toneOf(reports[r - 1]) : Tone::Plain;
        text += painted(line.trimmed(), tone) + QLatin1Char('\n');
    }
    const int failed = int(reports.size()) - ok - skipped;
    text += QStringLiteral("%1 %2%3: %4 %5, %6failed; exit code %7\n")
                .arg(reports.size())
                .arg(boards ? QStringLiteral("board") : QStringLiteral("host"))
                .arg(reports.size() == 1 ? QString() : QStringLiteral("s"))
                .arg(ok)
                .arg(dryRun ? QStringLiteral("answered \"VER=\" (nothing else sent)")
                            : QStringLiteral("ended with END"))
                .arg((skipped ? QStringLiteral("%1 skipped (done already), ").arg(skipped)
                              : QString()) +
                     QString::number(failed) + QLatin1Char(' '))
                .arg(exitCode);
    return text;
}

QString dryRunHeader(const RunFacts &run)
{
    return QStringLiteral("dry run: would flash %1 (%2)\n")
        .arg(imageText(run.imagePath), figuresText(run));
}

QString problemText(const OperatorError &error)
{
    using What = OperatorError::What;
    const QString &s = error.subject;
    switch (error.what) {
    case What::ReadImage:
    case What::SaveAddresses:
        return (error.line > 0 ? QStringLiteral("%1:%2: ").arg(s).arg(error.line)
                               : s + QStringLiteral(": ")) +
               (error.reason.endsWith(QLatin1Char('.')) ? error.reason.chopped(1) : error.reason);
    case What::RemotePort:
        return QStringLiteral("remote port \"%1\" is not a number from 1 to 65535").arg(s);
    case What::LocalPort:
        return QStringLiteral("local port \"%1\" is not a number from 0 to 65535").arg(s);
    case What::NoHost:
        return QStringLiteral("no remote host given");
    case What::NotIPv4:
        return QStringLiteral("%1 is not an IPv4 address").arg(s);
    case What::HostNotFound:
        return QStringLiteral("host %1 not found: %2").arg(s, error.reason);
    case What::NotADevice:
        return QStringLiteral("%1 is not a device address").arg(s);
    case What::ManyHosts:
        return QStringLiteral("%1 is a broadcast or multicast address, not one device").arg(s);
    case What::Bind:
        return QStringLiteral("local port %1 cannot be bound: %2").arg(s, error.reason);
    }
    return {};
}

} // namespace corvanel::flash
