#include "records/shift_summary.h"
#include "records/summary_format.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>

namespace corvanel::records {

namespace format {

QString plain(const QString &text)
{
    QString out = text;
    for (QChar &c : out) {
        const QChar::Category category = c.category();
        if (category == QChar::Other_Control || category == QChar::Other_Format ||
            category == QChar::Separator_Line || category == QChar::Separator_Paragraph)
            c = QLatin1Char('?');
    }
    return out;
}

QString percent(double share)
{
    return QString::number(share * 100.0, 'f', 1) + QStringLiteral(" %");
}

QString when(const ShiftSummary &summary, const QDateTime &time)
{
    return time.isValid()
               ? time.toTimeZone(summary.zone).toString(QStringLiteral("yyyy-MM-dd HH:mm"))
               : QStringLiteral("-");
}

QString period(const ShiftSummary &summary)
{
    const QDateTime from = summary.since.isValid() ? summary.since : summary.total.first;
    const QDateTime to = summary.until.isValid() ? summary.until : summary.total.last;
    if (!from.isValid() && !to.isValid())
        return QStringLiteral("no boards");
    return QStringLiteral("%1 to %2").arg(when(summary, from), when(summary, to));
}

QString zoneName(const QTimeZone &zone)
{
    return QString::fromUtf8(zone.id());
}

QString seconds(const std::optional<double> &value)
{
    return value ? QString::number(*value, 'f', 2) + QStringLiteral(" s") : QStringLiteral("-");
}

QString rate(const std::optional<double> &value)
{
    return value ? QString::number(*value, 'f', 1) : QStringLiteral("-");
}

QString results(const StationSummary &station)
{
    QStringList parts;
    for (const auto &[word, count] : station.results)
        parts << QStringLiteral("%1 %2").arg(plain(word), QString::number(count));
    return parts.join(QStringLiteral(", "));
}

QString notBoards(const StationSummary &s)
{
    QStringList parts;
    if (s.dryRuns)
        parts << QStringLiteral("%1 dry run%2 (%3 READY)")
                     .arg(s.dryRuns)
                     .arg(s.dryRuns == 1 ? "" : "s")
                     .arg(s.dryRunsReady);
    if (s.skipped)
        parts << QStringLiteral("%1 skipped as already done").arg(s.skipped);
    return parts.join(QStringLiteral(", "));
}

QString stationName(const StationSummary &station)
{
    return station.total ? QStringLiteral("all") : plain(station.station);
}

} // namespace format

namespace {

using namespace format;

// Columns laid out by their widest cell; `right` columns are numbers.
QString table(const QList<QStringList> &rows, const QList<bool> &right, const QString &indent = {})
{
    QList<qsizetype> widths;
    for (const QStringList &row : rows) {
        for (qsizetype c = 0; c < row.size(); ++c) {
            if (widths.size() <= c)
                widths.append(0);
            widths[c] = std::max(widths[c], row[c].size());
        }
    }
    QString text;
    for (const QStringList &row : rows) {
        QString line = indent;
        for (qsizetype c = 0; c < row.size(); ++c) {
            const bool last = c + 1 == row.size();
            if (c < right.size() && right[c])
                line += row[c].rightJustified(widths[c]);
            else
                line += last ? row[c] : row[c].leftJustified(widths[c]);
            if (!last)
                line += QStringLiteral("  ");
        }
        while (line.endsWith(QLatin1Char(' ')))
            line.chop(1);
        text += line + QLatin1Char('\n');
    }
    return text;
}

QString countShare(qint64 count, double share)
{
    return QStringLiteral("%1 (%2)").arg(count).arg(percent(share));
}

QString paretoText(const QString &title, const QString &what, const QList<ParetoRow> &rows,
                   qint64 failedAttempts, int shown)
{
    if (rows.isEmpty())
        return {};
    QList<QStringList> lines{
        {QStringLiteral("ATTEMPTS"), QStringLiteral("BOARDS"), QStringLiteral("CUM"), what}};
    qint64 cumulative = 0;
    for (qsizetype i = 0; i < rows.size() && i < shown; ++i) {
        cumulative += rows[i].attempts;
        lines.append({QString::number(rows[i].attempts), QString::number(rows[i].boards),
                      failedAttempts ? QString::number(std::lround(100.0 * double(cumulative) /
                                                                   double(failedAttempts))) +
                                           QStringLiteral(" %")
                                     : QStringLiteral("-"),
                      plain(rows[i].cause)});
    }
    QString text =
        title + QLatin1Char('\n') + table(lines, {true, true, true, false}, QStringLiteral("  "));
    if (rows.size() > shown)
        text +=
            QStringLiteral("  ... and %1 more (--json lists them all)\n").arg(rows.size() - shown);
    return text;
}

QJsonValue timeJson(const QDateTime &time)
{
    return time.isValid() ? QJsonValue(time.toUTC().toString(Qt::ISODateWithMs))
                          : QJsonValue(QJsonValue::Null);
}

QJsonValue optionalJson(const std::optional<double> &value, int decimals)
{
    if (!value)
        return QJsonValue(QJsonValue::Null);
    const double scale = std::pow(10.0, decimals);
    return std::round(*value * scale) / scale;
}

QJsonArray paretoJson(const QList<ParetoRow> &rows, const char *what)
{
    QJsonArray list;
    for (const ParetoRow &r : rows) {
        QJsonObject row{{QLatin1String(what), r.cause},
                        {QStringLiteral("attempts"), r.attempts},
                        {QStringLiteral("boards"), r.boards}};
        if (!r.example.isEmpty())
            row.insert(QStringLiteral("example"), r.example);
        list.append(row);
    }
    return list;
}

QJsonObject stationJson(const StationSummary &s)
{
    QJsonObject results;
    for (const auto &[word, count] : s.results)
        results.insert(word, count);
    QJsonObject object{
        {QStringLiteral("boards"), s.boards},
        {QStringLiteral("firstPass"), s.firstPass},
        {QStringLiteral("firstPassYield"), optionalJson(s.firstPassYield(), 4)},
        {QStringLiteral("passed"), s.passed},
        {QStringLiteral("finalYield"), optionalJson(s.finalYield(), 4)},
        {QStringLiteral("failedAttempts"), s.failedAttempts},
        {QStringLiteral("results"), results},
        {QStringLiteral("runningHours"), optionalJson(s.runningHours, 3)},
        {QStringLiteral("boardsPerHour"), optionalJson(s.boardsPerHour, 2)},
        {QStringLiteral("medianSeconds"), optionalJson(s.medianSeconds, 2)},
        {QStringLiteral("failuresByReason"), paretoJson(s.reasons, "reason")},
        {QStringLiteral("failuresByPhase"), paretoJson(s.phases, "phase")},
        {QStringLiteral("flashedBefore"), s.flashedBefore},
        {QStringLiteral("withoutIdentity"), s.unidentified},
        {QStringLiteral("dryRuns"), s.dryRuns},
        {QStringLiteral("dryRunsReady"), s.dryRunsReady},
        {QStringLiteral("skipped"), s.skipped},
        {QStringLiteral("first"), timeJson(s.first)},
        {QStringLiteral("last"), timeJson(s.last)},
    };
    if (!s.total)
        object.insert(QStringLiteral("station"), s.station);
    return object;
}

} // namespace

QString summaryText(const ShiftSummary &s)
{
    QString text = QStringLiteral("Shift summary, %1 (%2)\n").arg(period(s), zoneName(s.zone));
    text += QStringLiteral("%1 report%2, %3 records, %4 bad line%5\n")
                .arg(s.inputs.size())
                .arg(s.inputs.size() == 1 ? "" : "s")
                .arg(s.records)
                .arg(s.badLines)
                .arg(s.badLines == 1 ? "" : "s");
    for (const BadLine &bad : s.namedBadLines)
        text += QStringLiteral("  %1: %2\n").arg(plain(bad.where), plain(bad.problem));
    if (s.badLines > s.namedBadLines.size())
        text += QStringLiteral("  ... and %1 more\n").arg(s.badLines - s.namedBadLines.size());

    QList<QStringList> rows{{QStringLiteral("STATION"), QStringLiteral("BOARDS"),
                             QStringLiteral("FIRST PASS"), QStringLiteral("FINAL"),
                             QStringLiteral("BOARDS/H"), QStringLiteral("MEDIAN"),
                             QStringLiteral("RUNNING"), QStringLiteral("BACK")}};
    QList<StationSummary> shown = s.stations;
    if (s.stations.size() != 1)
        shown.append(s.total);
    for (const StationSummary &st : shown) {
        rows.append({stationName(st), QString::number(st.boards),
                     countShare(st.firstPass, st.firstPassYield()),
                     countShare(st.passed, st.finalYield()), rate(st.boardsPerHour),
                     seconds(st.medianSeconds),
                     QString::number(st.runningHours, 'f', 1) + QStringLiteral(" h"),
                     QString::number(st.flashedBefore)});
    }
    text += QLatin1Char('\n') + table(rows, {false, true, true, true, true, true, true, true});

    const StationSummary &t = s.total;
    if (!t.results.isEmpty())
        text += QStringLiteral("\nResults: %1\n").arg(results(t));
    if (!s.chart.isEmpty()) {
        text += QStringLiteral("\nBoards per %1, passed/failed:")
                    .arg(s.chartHours == 1 ? QStringLiteral("hour") : QStringLiteral("day"));
        for (qsizetype i = 0; i < s.chart.size(); ++i) {
            const ChartBar &bar = s.chart[i];
            const QDateTime local = bar.start.toTimeZone(s.zone);
            text += QLatin1String(i % 6 == 0 ? "\n  " : "   ") +
                    local.toString(s.chartHours == 1 ? QStringLiteral("HH:mm")
                                                     : QStringLiteral("MM-dd")) +
                    QStringLiteral(" %1/%2").arg(bar.passed).arg(bar.failed);
        }
        text += QLatin1Char('\n');
    }
    if (t.failedAttempts) {
        text += QLatin1Char('\n') + paretoText(QStringLiteral("Failures by reason, biggest first:"),
                                               QStringLiteral("REASON"), t.reasons,
                                               t.failedAttempts, 10);
        text +=
            QLatin1Char('\n') + paretoText(QStringLiteral("Failures by phase:"),
                                           QStringLiteral("PHASE"), t.phases, t.failedAttempts, 10);
    }
    if (s.boardsBack) {
        text +=
            QStringLiteral("\nBoards back (flashed in more than one run): %1\n").arg(s.boardsBack);
        QList<QStringList> back;
        for (qsizetype i = 0; i < s.back.size() && i < 20; ++i) {
            const BoardBack &b = s.back[i];
            back.append({plain(b.identity), QStringLiteral("%1 runs").arg(b.times),
                         plain(b.results.join(QStringLiteral(", "))),
                         QStringLiteral("last at %1").arg(plain(b.lastStation))});
        }
        text += table(back, {false, true, false, false}, QStringLiteral("  "));
        if (s.boardsBack > 20)
            text += QStringLiteral("  ... and %1 more\n").arg(s.boardsBack - 20);
    }
    if (!s.images.isEmpty()) {
        text += QStringLiteral("\nImages:\n");
        QList<QStringList> images;
        for (const ImageUse &image : s.images) {
            images.append(
                // Sixteen digits tell images apart; the page and --json have all 64.
                {image.sha256.isEmpty() ? QStringLiteral("(SHA-256 unknown)")
                                        : plain(image.sha256.left(16)),
                 plain(image.file), QStringLiteral("%1 boards").arg(image.boards),
                 QStringLiteral("%1 to %2").arg(when(s, image.first), when(s, image.last))});
        }
        text += table(images, {false, false, true, false}, QStringLiteral("  "));
    }
    if (!notBoards(t).isEmpty())
        text += QStringLiteral("\nNot boards flashed: %1\n").arg(notBoards(t));
    text += QStringLiteral("\nNotes:\n");
    for (const QString &note : s.notes)
        text += QStringLiteral("  - %1\n").arg(note);
    return text;
}

QByteArray summaryJson(const ShiftSummary &s)
{
    QJsonArray stations;
    for (const StationSummary &st : s.stations)
        stations.append(stationJson(st));
    QJsonArray bad;
    for (const BadLine &b : s.namedBadLines)
        bad.append(QJsonObject{{QStringLiteral("where"), b.where},
                               {QStringLiteral("problem"), b.problem}});
    QJsonArray back;
    for (const BoardBack &b : s.back) {
        back.append(QJsonObject{
            {QStringLiteral("identity"), b.identity},
            {QStringLiteral("by"), b.byMac ? QStringLiteral("mac") : QStringLiteral("address")},
            {QStringLiteral("times"), b.times},
            {QStringLiteral("results"), QJsonArray::fromStringList(b.results)},
            {QStringLiteral("lastStation"), b.lastStation}});
    }
    QJsonArray images;
    for (const ImageUse &i : s.images) {
        images.append(
            QJsonObject{{QStringLiteral("sha256"),
                         i.sha256.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(i.sha256)},
                        {QStringLiteral("image"), i.file},
                        {QStringLiteral("boards"), i.boards},
                        {QStringLiteral("first"), timeJson(i.first)},
                        {QStringLiteral("last"), timeJson(i.last)}});
    }
    QJsonArray chart;
    for (const ChartBar &bar : s.chart) {
        chart.append(QJsonObject{{QStringLiteral("start"), timeJson(bar.start)},
                                 {QStringLiteral("passed"), bar.passed},
                                 {QStringLiteral("failed"), bar.failed}});
    }
    const QJsonObject root{
        {QStringLiteral("inputs"), QJsonArray::fromStringList(s.inputs)},
        {QStringLiteral("since"), timeJson(s.since)},
        {QStringLiteral("until"), timeJson(s.until)},
        {QStringLiteral("timeZone"), zoneName(s.zone)},
        {QStringLiteral("idleMinutes"), s.idleMinutes},
        {QStringLiteral("records"), s.records},
        {QStringLiteral("badLines"),
         QJsonObject{{QStringLiteral("count"), s.badLines}, {QStringLiteral("first"), bad}}},
        {QStringLiteral("total"), stationJson(s.total)},
        {QStringLiteral("stations"), stations},
        {QStringLiteral("boardsBack"),
         QJsonObject{{QStringLiteral("count"), s.boardsBack}, {QStringLiteral("boards"), back}}},
        {QStringLiteral("images"), images},
        {QStringLiteral("chart"), QJsonObject{{QStringLiteral("hoursPerBar"), s.chartHours},
                                              {QStringLiteral("bars"), chart}}},
        {QStringLiteral("notes"), QJsonArray::fromStringList(s.notes)},
    };
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

} // namespace corvanel::records
