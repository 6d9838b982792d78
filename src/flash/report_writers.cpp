#include "flash/report_writers.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace corvanel::flash {

namespace {

QJsonObject hostJson(const HostReport &r)
{
    return QJsonObject{
        {QStringLiteral("host"), r.host},
        {QStringLiteral("port"), r.port},
        {QStringLiteral("localPort"), r.localPort},
        {QStringLiteral("result"), outcomeWord(r.outcome)},
        {QStringLiteral("ok"), r.outcome == Outcome::Ok},
        {QStringLiteral("exitCode"), exitCodeFor(r.outcome)},
        {QStringLiteral("phase"), phaseWord(r.phase)},
        {QStringLiteral("line"), r.outcome == Outcome::Ok ? r.lineCount : r.line},
        {QStringLiteral("lineCount"), r.lineCount},
        {QStringLiteral("installed"), r.installed},
        {QStringLiteral("seconds"), r.seconds},
        {QStringLiteral("resends"), r.resends},
        {QStringLiteral("ignoredReplies"), r.ignoredReplies},
        {QStringLiteral("reason"), r.reason},
    };
}

} // namespace

QString linesText(const HostReport &r)
{
    const int done = r.outcome == Outcome::Ok ? r.lineCount : r.line;
    return QStringLiteral("%1/%2").arg(done).arg(r.lineCount);
}

QString timeText(double seconds)
{
    return QString::number(seconds, 'f', 2) + QStringLiteral(" s");
}

QString detailText(const HostReport &r)
{
    if (r.outcome == Outcome::Ok)
        return r.installed ? QStringLiteral("installed (\"BOOTg\" sent)") : QString();
    return r.reason;
}

QString summaryTable(const QList<HostReport> &reports, int exitCode)
{
    const QStringList header{QStringLiteral("HOST"), QStringLiteral("RESULT"),
                             QStringLiteral("PASS"), QStringLiteral("LINES"),
                             QStringLiteral("TIME"), QStringLiteral("REASON")};
    QList<QStringList> rows{header};
    int ok = 0;
    for (const HostReport &r : reports) {
        if (r.outcome == Outcome::Ok)
            ++ok;
        rows.append({r.address(), outcomeWord(r.outcome), phaseWord(r.phase), linesText(r),
                     timeText(r.seconds), detailText(r)});
    }
    QList<qsizetype> widths(header.size(), 0);
    for (const QStringList &row : rows) {
        for (qsizetype c = 0; c < row.size(); ++c)
            widths[c] = qMax(widths[c], row[c].size());
    }
    QString text;
    for (const QStringList &row : rows) {
        QString line;
        for (qsizetype c = 0; c < row.size(); ++c) {
            const bool last = c + 1 == row.size();
            line += last ? row[c] : row[c].leftJustified(widths[c]) + QStringLiteral("  ");
        }
        text += line.trimmed() + QLatin1Char('\n');
    }
    const int failed = int(reports.size()) - ok;
    text += QStringLiteral("%1 host%2: %3 ended with END, %4 failed; exit code %5\n")
                .arg(reports.size())
                .arg(reports.size() == 1 ? QString() : QStringLiteral("s"))
                .arg(ok)
                .arg(failed)
                .arg(exitCode);
    return text;
}

QByteArray summaryJson(const QString &imagePath, int lineCount, const QList<HostReport> &reports,
                       int exitCode)
{
    QJsonArray hosts;
    for (const HostReport &r : reports)
        hosts.append(hostJson(r));
    const QJsonObject root{
        {QStringLiteral("image"), imagePath},   {QStringLiteral("lineCount"), lineCount},
        {QStringLiteral("exitCode"), exitCode}, {QStringLiteral("ok"), exitCode == exitcode::kOk},
        {QStringLiteral("hosts"), hosts},
    };
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

QByteArray refusalJson(const QString &imagePath, int exitCode, const QString &error,
                       const QList<image::HexProblem> &problems)
{
    QJsonArray list;
    for (const image::HexProblem &p : problems)
        list.append(
            QJsonObject{{QStringLiteral("line"), p.line}, {QStringLiteral("problem"), p.problem}});
    const QJsonObject root{
        {QStringLiteral("image"), imagePath}, {QStringLiteral("exitCode"), exitCode},
        {QStringLiteral("ok"), false},        {QStringLiteral("error"), error},
        {QStringLiteral("problems"), list},   {QStringLiteral("hosts"), QJsonArray{}},
    };
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

namespace {

QString rangeText(const image::AddressRange &range)
{
    return QStringLiteral("%1-%2").arg(image::hexAddress(range.start),
                                       image::hexAddress(range.last()));
}

} // namespace

QString infoText(const QString &imagePath, const image::ImageFigures &figures)
{
    QStringList ranges;
    for (const image::AddressRange &range : figures.ranges)
        ranges << QStringLiteral("  %1  %2 bytes").arg(rangeText(range)).arg(range.size);
    return QStringLiteral("image:      %1\n"
                          "format:     %2\n"
                          "records:    %3\n"
                          "data bytes: %4\n"
                          "crc32:      %5\n"
                          "sha256:     %6\n"
                          "ranges:\n%7\n")
        .arg(QDir::toNativeSeparators(imagePath), figures.formatName)
        .arg(figures.recordCount)
        .arg(figures.dataBytes)
        .arg(image::hexAddress(figures.crc32), QString::fromLatin1(figures.sha256.toHex()),
             ranges.join(QLatin1Char('\n')));
}

QByteArray infoJson(const QString &imagePath, const image::ImageFigures &figures)
{
    QJsonArray ranges;
    for (const image::AddressRange &range : figures.ranges) {
        ranges.append(QJsonObject{{QStringLiteral("start"), image::hexAddress(range.start)},
                                  {QStringLiteral("end"), image::hexAddress(range.last())},
                                  {QStringLiteral("bytes"), range.size}});
    }
    const QJsonObject root{
        {QStringLiteral("image"), imagePath},
        {QStringLiteral("format"), figures.formatName},
        {QStringLiteral("records"), figures.recordCount},
        {QStringLiteral("dataBytes"), figures.dataBytes},
        {QStringLiteral("crc32"), image::hexAddress(figures.crc32)},
        {QStringLiteral("sha256"), QString::fromLatin1(figures.sha256.toHex())},
        {QStringLiteral("ranges"), ranges},
    };
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

} // namespace corvanel::flash
