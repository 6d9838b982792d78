// The shift page of report files, written to OUT.html, and the text summary
// on standard output: scripts/shift-report-screenshot.sh makes the README's
// picture with it. Usage: shift_report_page OUT.html REPORT...

#include "records/shift_summary.h"

#include <QCoreApplication>
#include <QFile>

#include <cstdio>

using namespace corvanel::records;

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.size() < 2) {
        std::fprintf(stderr, "usage: shift_report_page OUT.html REPORT...\n");
        return 2;
    }
    const auto summary = summarize(args.mid(1));
    if (const QString *error = std::get_if<QString>(&summary)) {
        std::fprintf(stderr, "%s\n", qPrintable(*error));
        return 4;
    }
    const ShiftSummary &s = std::get<ShiftSummary>(summary);
    QFile out(args[0]);
    const QByteArray page = summaryHtml(s);
    if (!out.open(QIODevice::WriteOnly) || out.write(page) != page.size() || !out.flush()) {
        std::fprintf(stderr, "cannot write \"%s\": %s\n", qPrintable(args[0]),
                     qPrintable(out.errorString()));
        return 4;
    }
    std::fputs(summaryText(s).toLocal8Bit().constData(), stdout);
    return 0;
}
