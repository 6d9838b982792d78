#include "records/shift_summary.h"
#include "records/summary_format.h"

#include <cmath>

namespace corvanel::records {

namespace {

using namespace format;

// Every text from the records goes through here: they are outside input.
QString esc(const QString &text)
{
    return plain(text).toHtmlEscaped().replace(QLatin1Char('\''), QStringLiteral("&#39;"));
}

QString num(double value)
{
    return QString::number(value, 'f', 1);
}

// The chart's colours differ in lightness and in pattern too, so the page
// reads the same printed in black and white: passes solid and light,
// failures a dark stipple.
constexpr auto kPassFill = "#9ecae1";
constexpr auto kFailInk = "#b2182b";
constexpr auto kParetoInk = "#444444";

QString patterns()
{
    return QStringLiteral(
               "<defs>"
               "<pattern id=\"fail\" width=\"4\" height=\"4\" patternUnits=\"userSpaceOnUse\">"
               "<rect width=\"4\" height=\"4\" fill=\"#ffffff\"/>"
               "<rect width=\"2\" height=\"2\" fill=\"%1\"/>"
               "<rect x=\"2\" y=\"2\" width=\"2\" height=\"2\" fill=\"%1\"/></pattern>"
               "<pattern id=\"hatch\" width=\"6\" height=\"6\" patternUnits=\"userSpaceOnUse\" "
               "patternTransform=\"rotate(45)\">"
               "<rect width=\"6\" height=\"6\" fill=\"#ffffff\"/>"
               "<rect width=\"3\" height=\"6\" fill=\"%2\"/></pattern>"
               "</defs>")
        .arg(QLatin1String(kFailInk), QLatin1String(kParetoInk));
}

// A round top for the axis: 1, 2 or 5 times a power of ten.
qint64 niceCeiling(qint64 value)
{
    qint64 step = 1;
    while (true) {
        for (qint64 m : {1, 2, 5}) {
            if (m * step >= value)
                return m * step;
        }
        step *= 10;
    }
}

QString barLabel(const ShiftSummary &s, const ChartBar &bar)
{
    const QDateTime local = bar.start.toTimeZone(s.zone);
    return s.chartHours == 1 ? local.toString(QStringLiteral("HH:mm"))
                             : local.toString(QStringLiteral("MM-dd"));
}

QString hourChart(const ShiftSummary &s)
{
    if (s.chart.isEmpty())
        return QStringLiteral("<p>No boards in this time.</p>\n");
    constexpr int kLeft = 48, kTop = 24, kPlotHeight = 200, kWidth = 760, kBottom = 56;
    const int count = int(s.chart.size());
    const double slot = double(kWidth - kLeft - 8) / count;
    const double barWidth = std::max(1.0, slot * 0.7);
    qint64 highest = 1;
    for (const ChartBar &bar : s.chart)
        highest = std::max(highest, bar.passed + bar.failed);
    const qint64 top = niceCeiling(highest);
    const auto y = [&](double value) {
        return kTop + kPlotHeight - value * kPlotHeight / double(top);
    };
    QString svg = QStringLiteral("<svg class=\"chart\" role=\"img\" width=\"%1\" height=\"%2\" "
                                 "viewBox=\"0 0 %1 %2\" xmlns=\"http://www.w3.org/2000/svg\">"
                                 "<title>Boards per %3: passed and failed</title>")
                      .arg(kWidth)
                      .arg(kTop + kPlotHeight + kBottom)
                      .arg(s.chartHours == 1 ? QStringLiteral("hour") : QStringLiteral("day"));
    svg += patterns();
    for (int i = 0; i <= 4; ++i) {
        const double value = double(top) * i / 4;
        svg += QStringLiteral("<line x1=\"%1\" x2=\"%2\" y1=\"%3\" y2=\"%3\" stroke=\"#bbbbbb\" "
                              "stroke-width=\"1\"/><text x=\"%4\" y=\"%5\" text-anchor=\"end\" "
                              "class=\"axis\">%6</text>")
                   .arg(kLeft)
                   .arg(kWidth - 8)
                   .arg(num(y(value)))
                   .arg(kLeft - 6)
                   .arg(num(y(value) + 4))
                   .arg(QString::number(value, 'g', 6));
    }
    const int labelEvery = std::max(1, int(std::ceil(40.0 / slot)));
    for (int i = 0; i < count; ++i) {
        const ChartBar &bar = s.chart[i];
        const double x = kLeft + i * slot + (slot - barWidth) / 2;
        const QString label = barLabel(s, bar);
        if (bar.passed) {
            svg += QStringLiteral("<rect x=\"%1\" y=\"%2\" width=\"%3\" height=\"%4\" fill=\"%5\" "
                                  "stroke=\"#000000\" stroke-width=\"0.5\"><title>%6: %7 passed"
                                  "</title></rect>")
                       .arg(num(x), num(y(double(bar.passed))), num(barWidth),
                            num(y(0) - y(double(bar.passed))), QLatin1String(kPassFill), label)
                       .arg(bar.passed);
        }
        if (bar.failed) {
            const double base = y(double(bar.passed));
            const double height = y(0) - y(double(bar.failed));
            svg += QStringLiteral("<rect x=\"%1\" y=\"%2\" width=\"%3\" height=\"%4\" "
                                  "fill=\"url(#fail)\" stroke=\"#000000\" stroke-width=\"0.5\">"
                                  "<title>%5: %6 failed</title></rect>")
                       .arg(num(x), num(base - height), num(barWidth), num(height), label)
                       .arg(bar.failed);
        }
        const qint64 total = bar.passed + bar.failed;
        if (total && slot >= 14) {
            svg += QStringLiteral("<text x=\"%1\" y=\"%2\" text-anchor=\"middle\" "
                                  "class=\"count\">%3</text>")
                       .arg(num(x + barWidth / 2), num(y(double(total)) - 4))
                       .arg(bar.failed ? QStringLiteral("%1/%2").arg(bar.passed).arg(bar.failed)
                                       : QString::number(bar.passed));
        }
        if (i % labelEvery == 0) {
            svg += QStringLiteral("<text x=\"%1\" y=\"%2\" text-anchor=\"middle\" "
                                  "class=\"axis\">%3</text>")
                       .arg(num(x + barWidth / 2))
                       .arg(kTop + kPlotHeight + 16)
                       .arg(label);
        }
    }
    const int legendY = kTop + kPlotHeight + 38;
    svg += QStringLiteral("<rect x=\"%1\" y=\"%2\" width=\"14\" height=\"10\" fill=\"%3\" "
                          "stroke=\"#000000\" stroke-width=\"0.5\"/>"
                          "<text x=\"%4\" y=\"%5\">passed (solid)</text>"
                          "<rect x=\"%6\" y=\"%2\" width=\"14\" height=\"10\" fill=\"url(#fail)\" "
                          "stroke=\"#000000\" stroke-width=\"0.5\"/>"
                          "<text x=\"%7\" y=\"%5\">failed (dotted); labels: passed/failed</text>")
               .arg(kLeft)
               .arg(legendY)
               .arg(QLatin1String(kPassFill))
               .arg(kLeft + 20)
               .arg(legendY + 10)
               .arg(kLeft + 140)
               .arg(kLeft + 160);
    return svg + QStringLiteral("</svg>\n");
}

QString paretoChart(const StationSummary &t)
{
    constexpr int kRows = 10, kRow = 36, kLeft = 8, kBarMax = 560, kWidth = 760;
    const int rows = int(std::min<qsizetype>(kRows, t.reasons.size()));
    if (rows == 0)
        return {};
    const qint64 most = std::max<qint64>(1, t.reasons.first().attempts);
    QString svg = QStringLiteral("<svg class=\"chart\" role=\"img\" width=\"%1\" height=\"%2\" "
                                 "viewBox=\"0 0 %1 %2\" xmlns=\"http://www.w3.org/2000/svg\">"
                                 "<title>Failed attempts by reason, biggest first</title>")
                      .arg(kWidth)
                      .arg(rows * kRow + 8);
    svg += patterns();
    qint64 cumulative = 0;
    for (int i = 0; i < rows; ++i) {
        const ParetoRow &r = t.reasons[i];
        cumulative += r.attempts;
        const int top = 4 + i * kRow;
        const double length = std::max(1.0, double(r.attempts) * kBarMax / double(most));
        QString cause = r.cause;
        if (cause.size() > 110)
            cause = cause.left(109) + QChar(0x2026);
        // One arg() for all: a cause is outside text and may hold "%1".
        svg +=
            QStringLiteral("<text x=\"%1\" y=\"%2\" class=\"cause\">%3</text>"
                           "<rect x=\"%1\" y=\"%4\" width=\"%5\" height=\"14\" "
                           "fill=\"url(#hatch)\" stroke=\"#000000\" stroke-width=\"0.5\"/>"
                           "<text x=\"%6\" y=\"%7\" class=\"count\">%8 (%9 cumulative)</text>")
                .arg(QString::number(kLeft), QString::number(top + 11), esc(cause),
                     QString::number(top + 15), num(length), num(kLeft + length + 6),
                     QString::number(top + 27), QString::number(r.attempts),
                     percent(double(cumulative) / double(std::max<qint64>(1, t.failedAttempts))));
    }
    return svg + QStringLiteral("</svg>\n");
}

QString cell(const QString &text, bool number = false)
{
    return number ? QStringLiteral("<td class=\"n\">%1</td>").arg(text)
                  : QStringLiteral("<td>%1</td>").arg(text);
}

QString head(const QStringList &columns)
{
    QString row = QStringLiteral("<tr>");
    for (const QString &c : columns)
        row += QStringLiteral("<th>%1</th>").arg(c);
    return row + QStringLiteral("</tr>\n");
}

QString stationRow(const StationSummary &st)
{
    return QStringLiteral("<tr%1>").arg(st.total ? QStringLiteral(" class=\"total\"") : QString()) +
           cell(st.total ? QStringLiteral("all stations") : esc(st.station)) +
           cell(QString::number(st.boards), true) +
           cell(QStringLiteral("%1 (%2)").arg(st.firstPass).arg(percent(st.firstPassYield())),
                true) +
           cell(QStringLiteral("%1 (%2)").arg(st.passed).arg(percent(st.finalYield())), true) +
           cell(rate(st.boardsPerHour), true) + cell(seconds(st.medianSeconds), true) +
           cell(num(st.runningHours) + QStringLiteral(" h"), true) +
           cell(QString::number(st.flashedBefore), true) + cell(esc(results(st))) +
           QStringLiteral("</tr>\n");
}

QString paretoTable(const QList<ParetoRow> &rows, qint64 failedAttempts, const QString &what)
{
    QString html =
        QStringLiteral("<table>\n") + head({QStringLiteral("attempts"), QStringLiteral("boards"),
                                            QStringLiteral("cumulative"), what});
    qint64 cumulative = 0;
    for (const ParetoRow &r : rows) {
        cumulative += r.attempts;
        QString cause = esc(r.cause);
        if (!r.example.isEmpty())
            cause += QStringLiteral("<br><small>e.g. %1</small>").arg(esc(r.example));
        html +=
            QStringLiteral("<tr>") + cell(QString::number(r.attempts), true) +
            cell(QString::number(r.boards), true) +
            cell(percent(double(cumulative) / double(std::max<qint64>(1, failedAttempts))), true) +
            cell(cause) + QStringLiteral("</tr>\n");
    }
    return html + QStringLiteral("</table>\n");
}

constexpr auto kStyle = R"(<style>
body { font-family: "DejaVu Sans", "Segoe UI", Arial, sans-serif; font-size: 14px; color: #000;
  background: #fff; margin: 24px; max-width: 1000px; }
h1 { font-size: 22px; margin: 0 0 4px 0; }
h2 { font-size: 16px; margin: 28px 0 8px 0; border-bottom: 1px solid #000; }
p.period { margin: 0 0 16px 0; }
.tiles { display: flex; flex-wrap: wrap; gap: 10px; }
.tile { border: 1px solid #000; padding: 6px 14px; min-width: 110px; }
.tile b { display: block; font-size: 24px; }
table { border-collapse: collapse; }
th, td { border: 1px solid #777; padding: 3px 8px; text-align: left; vertical-align: top; }
th { background: #eee; }
td.n { text-align: right; white-space: nowrap; }
td:first-child { white-space: nowrap; }
tr.total td { font-weight: bold; }
svg.chart { display: block; max-width: 100%; height: auto; }
svg text { font-family: inherit; font-size: 11px; fill: #000; }
svg text.cause { font-size: 12px; }
code { font-size: 12px; word-break: break-all; }
@media print { body { margin: 0; } h2 { break-after: avoid; } svg, table { break-inside: avoid; } }
</style>
)";

} // namespace

QByteArray summaryHtml(const ShiftSummary &s)
{
    const StationSummary &t = s.total;
    QString html = QStringLiteral("<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta "
                                  "charset=\"utf-8\">\n<title>Shift summary, %1</title>\n")
                       .arg(esc(period(s)));
    html += QLatin1String(kStyle);
    html += QStringLiteral("</head>\n<body>\n<h1>Shift summary</h1>\n<p class=\"period\">%1 "
                           "(times in %2) &middot; %3 report%4, %5 records, %6 bad line%7</p>\n")
                .arg(esc(period(s)), esc(zoneName(s.zone)), QString::number(s.inputs.size()),
                     QLatin1String(s.inputs.size() == 1 ? "" : "s"), QString::number(s.records),
                     QString::number(s.badLines), QLatin1String(s.badLines == 1 ? "" : "s"));
    const auto tile = [](const QString &what, const QString &value) {
        return QStringLiteral("<div class=\"tile\">%1<b>%2</b></div>").arg(what, value);
    };
    html += QStringLiteral("<div class=\"tiles\">") +
            tile(QStringLiteral("Boards"), QString::number(t.boards)) +
            tile(QStringLiteral("First pass"), percent(t.firstPassYield())) +
            tile(QStringLiteral("Final yield"), percent(t.finalYield())) +
            tile(QStringLiteral("Boards per hour"), rate(t.boardsPerHour)) +
            tile(QStringLiteral("Median per board"), seconds(t.medianSeconds)) +
            tile(QStringLiteral("Boards back"), QString::number(s.boardsBack)) +
            QStringLiteral("</div>\n");

    html += QStringLiteral("<h2>Stations</h2>\n<table>\n") +
            head({QStringLiteral("station"), QStringLiteral("boards"), QStringLiteral("first pass"),
                  QStringLiteral("final"), QStringLiteral("boards/h"), QStringLiteral("median"),
                  QStringLiteral("running"), QStringLiteral("back"), QStringLiteral("results")});
    for (const StationSummary &st : s.stations)
        html += stationRow(st);
    if (s.stations.size() != 1)
        html += stationRow(t);
    html += QStringLiteral("</table>\n");

    html += QStringLiteral("<h2>Boards per %1</h2>\n")
                .arg(s.chartHours == 1 ? QStringLiteral("hour") : QStringLiteral("day"));
    html += hourChart(s);

    html += QStringLiteral("<h2>Failures by reason</h2>\n");
    if (t.failedAttempts == 0) {
        html += QStringLiteral("<p>No failed attempts.</p>\n");
    } else {
        html += paretoChart(t);
        html += paretoTable(t.reasons, t.failedAttempts, QStringLiteral("reason"));
        html += QStringLiteral("<h2>Failures by phase</h2>\n") +
                paretoTable(t.phases, t.failedAttempts, QStringLiteral("phase"));
    }

    if (s.boardsBack) {
        html += QStringLiteral("<h2>Boards back</h2>\n<p>%1 board%2 flashed in more than one "
                               "run.</p>\n<table>\n")
                    .arg(s.boardsBack)
                    .arg(s.boardsBack == 1 ? "" : "s") +
                head({QStringLiteral("board"), QStringLiteral("runs"), QStringLiteral("results"),
                      QStringLiteral("last station")});
        for (qsizetype i = 0; i < s.back.size() && i < 50; ++i) {
            const BoardBack &b = s.back[i];
            html += QStringLiteral("<tr>") +
                    cell(QStringLiteral("<code>%1</code>").arg(esc(b.identity))) +
                    cell(QString::number(b.times), true) +
                    cell(esc(b.results.join(QStringLiteral(", ")))) + cell(esc(b.lastStation)) +
                    QStringLiteral("</tr>\n");
        }
        html += QStringLiteral("</table>\n");
    }

    if (!s.images.isEmpty()) {
        html += QStringLiteral("<h2>Images</h2>\n<table>\n") +
                head({QStringLiteral("SHA-256"), QStringLiteral("file"), QStringLiteral("boards"),
                      QStringLiteral("from"), QStringLiteral("to")});
        for (const ImageUse &i : s.images) {
            html +=
                QStringLiteral("<tr>") +
                cell(i.sha256.isEmpty() ? QStringLiteral("unknown")
                                        : QStringLiteral("<code>%1</code>").arg(esc(i.sha256))) +
                cell(esc(i.file)) + cell(QString::number(i.boards), true) + cell(when(s, i.first)) +
                cell(when(s, i.last)) + QStringLiteral("</tr>\n");
        }
        html += QStringLiteral("</table>\n");
    }

    if (!notBoards(t).isEmpty())
        html += QStringLiteral("<h2>Not boards flashed</h2>\n<p>%1</p>\n").arg(esc(notBoards(t)));

    if (s.badLines) {
        html += QStringLiteral("<h2>Bad lines</h2>\n<p>%1 line%2 could not be read as "
                               "records.</p>\n<ul>\n")
                    .arg(s.badLines)
                    .arg(s.badLines == 1 ? "" : "s");
        for (const BadLine &b : s.namedBadLines)
            html +=
                QStringLiteral("<li><code>%1</code>: %2</li>\n").arg(esc(b.where), esc(b.problem));
        if (s.badLines > s.namedBadLines.size())
            html +=
                QStringLiteral("<li>and %1 more</li>\n").arg(s.badLines - s.namedBadLines.size());
        html += QStringLiteral("</ul>\n");
    }

    html += QStringLiteral("<h2>Notes</h2>\n<ul>\n");
    for (const QString &note : s.notes)
        html += QStringLiteral("<li>%1</li>\n").arg(esc(note));
    html += QStringLiteral("</ul>\n</body>\n</html>\n");
    return html.toUtf8();
}

} // namespace corvanel::records
