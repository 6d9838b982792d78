// The shift page as a browser shows it: headless Chromium opens it from a
// file:// URL; its DOM gives the numbers, its screenshot the chart's marks.
// Exits 77 (skipped) where Chromium is not installed.

#include "records/shift_summary.h"
#include "records_test_support.h"

#include <QBuffer>
#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include <cstdio>

using namespace corvanel::records;

namespace {

QString chromium()
{
    const QString given = qEnvironmentVariable("CORVANEL_CHROMIUM");
    if (!given.isEmpty())
        return QStandardPaths::findExecutable(given);
    for (const char *name : {"chromium", "chromium-browser"}) {
        const QString found = QStandardPaths::findExecutable(QString::fromLatin1(name));
        if (!found.isEmpty())
            return found;
    }
    return {};
}

// The page's text as a reader sees it, the cells apart.
QString visibleText(QString dom)
{
    dom.remove(
        QRegularExpression("<style>.*</style>", QRegularExpression::DotMatchesEverythingOption));
    dom.replace(QRegularExpression("<[^>]*>"), " ");
    return dom.replace("&lt;", "<").replace("&gt;", ">").replace("&amp;", "&").simplified();
}

struct Bar {
    int passHeight = 0;
    int failHeight = 0;
};

bool isPass(QRgb p)
{
    return qBlue(p) > 180 && qBlue(p) > qRed(p) + 40;
}

bool isFail(QRgb p)
{
    return qRed(p) > 120 && qGreen(p) < 90 && qBlue(p) < 100;
}

// Bars found by colour: runs of columns holding the pass fill; in the run's
// middle column the height of the fill and of the failure stipple above it.
QList<Bar> barsIn(const QImage &image)
{
    QList<Bar> bars;
    int runStart = -1;
    for (int x = 0; x <= image.width(); ++x) {
        bool pass = false;
        for (int y = 0; x < image.width() && y < image.height() && !pass; ++y)
            pass = isPass(image.pixel(x, y));
        if (pass && runStart < 0)
            runStart = x;
        if (pass || runStart < 0)
            continue;
        const int middle = (runStart + x) / 2;
        runStart = -1;
        Bar bar;
        int failTop = -1, failBottom = -1;
        for (int y = 0; y < image.height(); ++y) {
            const QRgb p = image.pixel(middle, y);
            bar.passHeight += isPass(p);
            // The stipple: its first and last dot in this column or the next.
            if (isFail(p) || isFail(image.pixel(middle + 1, y))) {
                failTop = failTop < 0 ? y : failTop;
                failBottom = y;
            }
        }
        bar.failHeight = failTop < 0 ? 0 : failBottom - failTop + 1;
        bars.append(bar);
    }
    std::sort(bars.begin(), bars.end(),
              [](const Bar &a, const Bar &b) { return a.passHeight > b.passHeight; });
    return bars;
}

} // namespace

class TestShiftPage : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;
    QString page_;

    QByteArray browse(const QStringList &what)
    {
        QTemporaryDir profile;
        QProcess browser;
        browser.setProcessChannelMode(QProcess::SeparateChannels);
        browser.start(chromium(),
                      QStringList{"--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                                  "--no-first-run", "--disable-background-networking",
                                  "--disable-component-update", "--disable-sync",
                                  "--user-data-dir=" + profile.path()} +
                          what + QStringList{QUrl::fromLocalFile(page_).toString()});
        if (!browser.waitForFinished(90000)) {
            browser.kill();
            browser.waitForFinished(5000);
            qWarning("chromium did not finish in 90 s");
            return {};
        }
        return browser.readAllStandardOutput();
    }

private slots:
    void initTestCase()
    {
        // Two hours: 8 passed and 2 failed, then 4 and 4; two causes.
        const QString timeout = "r=TIMEOUT phase=verify why=no_reply_to_line_%1_of_90_within_0.5_s";
        const QString hostile = "r=ERROR why=<img_src=x_onerror=alert(1)>";
        QStringList records;
        for (int i = 0; i < 8; ++i)
            records << QStringLiteral("t=08:%1").arg(i * 5 + 1, 2, 10, QLatin1Char('0'));
        records << "t=08:45 " + timeout.arg(3) << "t=08:50 " + hostile;
        for (int i = 0; i < 4; ++i)
            records << QStringLiteral("t=09:%1").arg(i * 5 + 1, 2, 10, QLatin1Char('0'));
        for (int i = 0; i < 3; ++i)
            records << QStringLiteral("t=09:3%1 ").arg(i) + timeout.arg(10 + i);
        records << "t=09:50 " + hostile;
        QByteArray bytes = reportLines(records.join(';'));
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::ReadOnly);
        SummaryOptions options;
        options.zone = QTimeZone::utc();
        ShiftTally tally(options);
        QCOMPARE(tally.add("line.jsonl", buffer), std::nullopt);
        page_ = dir_.filePath("shift.html");
        QFile file(page_);
        const QByteArray html = summaryHtml(tally.finish());
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(html) == html.size());
    }

    void domShowsTheFigures()
    {
        const QString dom = QString::fromUtf8(browse({"--dump-dom"}));
        QVERIFY2(dom.contains("</html>"), qPrintable(dom.left(500)));
        // The record's markup stays text: no element of it in the page.
        QVERIFY(!dom.contains("<img") && !dom.contains("<script"));
        const QString text = visibleText(dom);
        QVERIFY2(text.contains("<img src=x onerror=alert(#)>"), qPrintable(text));
        QVERIFY(text.contains("Boards 18 First pass 66.7 % Final yield 66.7 %"));
        QVERIFY(text.contains("line-1 18 12 (66.7 %) 12 (66.7 %)"));
        QVERIFY(text.contains("4 4 66.7 % no reply to line # of # within # s"));
        QVERIFY(text.contains("08:00: 8 passed") && text.contains("09:00: 4 failed"));
    }

    void chartMarksFollowTheCounts()
    {
        const QString png = dir_.filePath("shot.png");
        browse({"--hide-scrollbars", "--force-device-scale-factor=1", "--window-size=1000,1400",
                "--screenshot=" + png});
        const QImage image(png);
        QVERIFY2(!image.isNull(), "no screenshot");
        const QList<Bar> bars = barsIn(image.convertToFormat(QImage::Format_RGB32));
        // The two bars (a legend swatch may follow): passes 8 and 4, failures 2 and 4.
        QVERIFY(bars.size() >= 2);
        QVERIFY2(bars[1].passHeight > 20, "the bars are too small to measure");
        const auto near = [](double ratio, double wanted) {
            return qAbs(ratio - wanted) < 0.1 * wanted;
        };
        QVERIFY2(
            near(double(bars[0].passHeight) / bars[1].passHeight, 2.0),
            qPrintable(QStringLiteral("%1 %2").arg(bars[0].passHeight).arg(bars[1].passHeight)));
        QVERIFY2(
            near(double(bars[1].failHeight) / bars[0].failHeight, 2.0),
            qPrintable(QStringLiteral("%1 %2").arg(bars[0].failHeight).arg(bars[1].failHeight)));
        QVERIFY(near(double(bars[0].failHeight) / bars[0].passHeight, 0.25));
    }
};

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (chromium().isEmpty()) {
        std::puts("SKIP: chromium is not installed (scripts/install-deps.sh --packaging)");
        return 77;
    }
    TestShiftPage test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_shift_page.moc"
