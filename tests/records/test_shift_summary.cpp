// Reports read back: small report files in, the shift's figures out; the
// --since/--until texts; the boards --skip-done leaves alone.

#include "records/done_index.h"
#include "records/shift_summary.h"
#include "records_test_support.h"

#include <QBuffer>
#include <QJsonArray>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

using namespace corvanel::records;

namespace {

ShiftSummary summaryOf(const QStringList &reports, const QString &since = {},
                       const QString &until = {})
{
    SummaryOptions options;
    options.zone = QTimeZone::utc();
    if (!since.isEmpty())
        options.since = std::get<QDateTime>(parseTimeBound(since, BoundKind::Since, options.zone));
    if (!until.isEmpty())
        options.until = std::get<QDateTime>(parseTimeBound(until, BoundKind::Until, options.zone));
    ShiftTally tally(options);
    for (qsizetype i = 0; i < reports.size(); ++i) {
        QByteArray bytes = reportLines(reports[i]);
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::ReadOnly);
        tally.add(QStringLiteral("r%1.jsonl").arg(i + 1), buffer);
    }
    return tally.finish();
}

} // namespace

class TestShiftSummary : public QObject {
    Q_OBJECT

private slots:
    void figures_data()
    {
        QTest::addColumn<QStringList>("reports");
        QTest::addColumn<QString>("since");
        QTest::addColumn<QString>("until");
        QTest::addColumn<QString>("figures");
        QTest::addColumn<QString>("top"); // the Pareto's first row: attempts, boards, cause

        const QString noReply =
            "r=TIMEOUT phase=verify why=no_reply_to_line_%1_of_9000_within_0.5_s";
        QTest::newRow("first pass and after a retry")
            << QStringList{"of=2; r=ERROR of=2 t=08:01 why=x; a=2 of=2 t=08:02"} << ""
            << ""
            << "boards=2 first=1 passed=2 back=0 bad=0 stations=1"
            << "1 0 x";
        QTest::newRow("a board failing every attempt")
            << QStringList{"r=ERROR of=2 why=x; a=2 of=2 r=ERROR why=y; r=ERROR why=x"} << ""
            << ""
            << "boards=2 first=0 passed=0 back=0 bad=0 stations=1"
            << "2 1 x";
        QTest::newRow("numbers in reasons make one cause, biggest first")
            << QStringList{noReply.arg(5) + ";" + noReply.arg(4528) + ";r=ERROR why=z;" +
                           noReply.arg(17)}
            << ""
            << ""
            << "boards=4 first=0 passed=0 back=0 bad=0 stations=1"
            << "3 3 no reply to line # of # within # s";
        QTest::newRow("boards back by MAC address, over stations")
            << QStringList{"mac=02:00:00:00:00:01 r=ERROR why=x", "st=line-2 mac=02-00-00-00-00-01"}
            << ""
            << ""
            << "boards=2 first=1 passed=1 back=1 bad=0 stations=2"
            << "1 1 x";
        QTest::newRow("without MAC: the address outside continuous runs only")
            << QStringList{"board=0; board=0 t=09:00; board=0 host=10.0.0.8; t=10:00; t=11:00"}
            << ""
            << ""
            << "boards=5 first=5 passed=5 back=1 bad=0 stations=1"
            << "";
        QTest::newRow("bad lines are counted, good ones kept")
            << QStringList{"LINE:not json; LINE:{\"station\":\"a\"}; LINE:[1]; LINE:; LONG; "
                           "t=09:00",
                           "LINE:{\"schemaVersion\":2,\"station\":\"a\",\"host\":\"h\",\"port\":1,"
                           "\"result\":\"END\",\"attempt\":1,\"start\":\"2025-03-01T08:00:00Z\"};"
                           "LINE:{\"station\":\"a\",\"host\":\"h\",\"port\":\"111\",\"result\":"
                           "\"END\",\"attempt\":1,\"start\":\"2025-03-01T08:00:00Z\"}"}
            << ""
            << ""
            << "boards=1 first=1 passed=1 back=0 bad=6 stations=1"
            << "";
        QTest::newRow("several stations, dry runs and skipped boards apart")
            << QStringList{"st=a; st=a r=READY; st=b r=SKIPPED", "st=b; st=c r=ERROR why=x"} << ""
            << ""
            << "boards=3 first=2 passed=2 back=0 bad=0 stations=3"
            << "1 1 x";
        QTest::newRow("since and until, a board in the time of its first attempt")
            << QStringList{"t=07:59:59; of=2 r=ERROR t=08:59:59 why=x; a=2 of=2 t=09:00:10; "
                           "t=09:00; day=2025-03-02"}
            << "2025-03-01T08:00:00Z"
            << "2025-03-01T09:00:00Z"
            << "boards=1 first=0 passed=1 back=0 bad=0 stations=1"
            << "1 0 x";
        QTest::newRow("a plain date: the whole day")
            << QStringList{"day=2025-02-28 t=23:59; t=00:00; t=23:59:59; day=2025-03-02"}
            << "2025-03-01"
            << "2025-03-01"
            << "boards=2 first=2 passed=2 back=0 bad=0 stations=1"
            << "";
        QTest::newRow("a later attempt without its first is a board that did not pass first")
            << QStringList{"a=2 of=2 board=4"} << ""
            << ""
            << "boards=1 first=0 passed=1 back=0 bad=0 stations=1"
            << "";
    }

    void figures()
    {
        QFETCH(QStringList, reports);
        QFETCH(QString, since);
        QFETCH(QString, until);
        const ShiftSummary s = summaryOf(reports, since, until);
        QFETCH(QString, figures);
        QFETCH(QString, top);
        const QString got =
            QStringLiteral("boards=%1 first=%2 passed=%3 back=%4 bad=%5 stations=%6")
                .arg(s.total.boards)
                .arg(s.total.firstPass)
                .arg(s.total.passed)
                .arg(s.boardsBack)
                .arg(s.badLines)
                .arg(s.stations.size());
        QCOMPARE(got, figures);
        const QString first = s.total.reasons.isEmpty() ? QString()
                                                        : QStringLiteral("%1 %2 %3")
                                                              .arg(s.total.reasons[0].attempts)
                                                              .arg(s.total.reasons[0].boards)
                                                              .arg(s.total.reasons[0].cause);
        QCOMPARE(first, top);
        // The JSON carries the same figures.
        const QJsonObject json = QJsonDocument::fromJson(summaryJson(s)).object();
        QCOMPARE(json["total"].toObject()["boards"].toInteger(), s.total.boards);
        QCOMPARE(json["badLines"].toObject()["count"].toInteger(), s.badLines);
    }

    // Four boards at 08:00, 08:05, 08:10 and 08:40 of 10, 20, 30 and 40 s:
    // running 08:00 to 08:10 (pauses of 4 minutes count) and 08:40, 12 minutes.
    void rateAndMedian()
    {
        const ShiftSummary s = summaryOf({"s=10; t=08:05 s=20; t=08:10 s=30; t=08:40 s=40"});
        QCOMPARE(s.total.runningHours, 12 / 60.0);
        QCOMPARE(*s.total.boardsPerHour, 20.0);
        QCOMPARE(*s.total.medianSeconds, 25.0);
        QCOMPARE(s.chart.size(), 1);
        QCOMPARE(s.chart[0].passed, qint64(4));
    }

    void badLinesAreNamed()
    {
        const ShiftSummary s = summaryOf({"t=08:00; LINE:{\"station\":\"a\"}; LINE:{oops"});
        QCOMPARE(s.namedBadLines.size(), 2);
        QCOMPARE(s.namedBadLines[0].where, QStringLiteral("r1.jsonl:2"));
        QCOMPARE(s.namedBadLines[0].problem, QStringLiteral("\"host\" is missing"));
        QCOMPARE(s.namedBadLines[1].where, QStringLiteral("r1.jsonl:3"));
    }

    void unreadableFileIsAnErrorAndATwiceNamedOneReadOnce()
    {
        QTemporaryDir dir;
        const QString missing = dir.filePath("none.jsonl");
        for (const QString &path : {missing, dir.path()}) {
            const auto result = summarize({path});
            QVERIFY(std::holds_alternative<QString>(result));
            QVERIFY2(std::get<QString>(result).contains(QDir::toNativeSeparators(path)),
                     qPrintable(std::get<QString>(result)));
        }
        // A file named twice is read once.
        QFile file(missing);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(reportLines("t=08:00")) > 0);
        file.close();
        const auto twice = summarize({missing, dir.path() + "/./none.jsonl"});
        QCOMPARE(std::get<ShiftSummary>(twice).total.boards, qint64(1));
    }

    // Text from the records is outside input: never markup in the page,
    // never a control sequence on the terminal.
    void recordTextIsEscaped()
    {
        const ShiftSummary s =
            summaryOf({"st=<b>x</b> r=ERROR why=<script>alert(1)</script>\x1b[2J%1_%2"});
        const QString page = QString::fromUtf8(summaryHtml(s));
        QVERIFY(!page.contains("<script"));
        QVERIFY(!page.contains("<b>x"));
        QVERIFY(page.contains("&lt;script&gt;alert(#)&lt;/script&gt;?[#J%# %#"));
        QVERIFY(!page.contains(QRegularExpression("(src|href)=")));
        QVERIFY(!summaryText(s).contains(QChar(0x1b)));
    }

    void timeBounds_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("until");
        QTest::addColumn<QString>("utc"); // empty: refused
        QTest::newRow("date: its midnight in the zone (+02:00)")
            << "2025-03-01" << false << "2025-02-28T22:00:00.000Z";
        QTest::newRow("date, until: the day is in")
            << "2025-03-01" << true << "2025-03-01T22:00:00.000Z";
        QTest::newRow("as the records write it")
            << "2025-03-01T08:15:02.125Z" << false << "2025-03-01T08:15:02.125Z";
        QTest::newRow("an offset")
            << "2025-03-01T06:00+01:00" << false << "2025-03-01T05:00:00.000Z";
        QTest::newRow("no zone: the zone given (+02:00)")
            << "2025-03-01 06:00" << false << "2025-03-01T04:00:00.000Z";
        QTest::newRow("no such day") << "2025-02-30" << false << "";
        QTest::newRow("words") << "yesterday" << false << "";
    }

    void timeBounds()
    {
        QFETCH(QString, text);
        QFETCH(bool, until);
        QFETCH(QString, utc);
        const auto bound =
            parseTimeBound(text, until ? BoundKind::Until : BoundKind::Since, QTimeZone(2 * 3600));
        if (utc.isEmpty()) {
            QVERIFY(std::get<QString>(bound).contains(text));
            return;
        }
        const QDateTime time = std::get<QDateTime>(bound);
        QCOMPARE(time.toUTC().toString(Qt::ISODateWithMs), utc);
    }

    void skipDone_data()
    {
        QTest::addColumn<QString>("report");
        QTest::addColumn<QString>("query");    // sha mac host board install
        QTest::addColumn<int>("reliedOnLine"); // 0: flash it
        const QString mac = "mac=02:00:00:00:00:01 ";
        QTest::newRow("same image done after a failure")
            << mac + "r=ERROR why=x; " + mac << "ab12 02:00:00:00:00:01 - 1 install" << 2;
        QTest::newRow("MAC written otherwise, SHA in capitals")
            << "mac=02-00-00-00-00-0A"
            << "AB12 02:00:00:00:00:0a - 5 install" << 1;
        QTest::newRow("another image") << mac << "cd34 02:00:00:00:00:01 - 1 install" << 0;
        QTest::newRow("its last record failed") << mac + "; " + mac + "r=ERROR why=x"
                                                << "ab12 02:00:00:00:00:01 - 1 -" << 0;
        QTest::newRow("flashed with another image since") << mac + "; " + mac + "sha=cd34"
                                                          << "ab12 02:00:00:00:00:01 - 1 -" << 0;
        QTest::newRow("a dry run since changes nothing") << mac + "; " + mac + "r=READY"
                                                         << "ab12 02:00:00:00:00:01 - 1 -" << 1;
        QTest::newRow("not installed, install wanted") << mac + "inst=false"
                                                       << "ab12 02:00:00:00:00:01 - 1 install" << 0;
        QTest::newRow("not installed, install not wanted") << mac + "inst=false"
                                                           << "ab12 02:00:00:00:00:01 - 1 -" << 1;
        QTest::newRow("no MAC address: station and host:port")
            << "board=0; board=0 host=10.0.0.8 r=ERROR why=x"
            << "ab12 - 10.0.0.7 0 install" << 1;
        QTest::newRow("no MAC address, another station's board") << "board=0 st=line-2"
                                                                 << "ab12 - 10.0.0.7 0 -" << 0;
        QTest::newRow("no MAC address in a continuous run: no board known")
            << "t=08:00"
            << "ab12 - 10.0.0.7 2 -" << 0;
        QTest::newRow("a MAC now, none in the batch run's record")
            << "board=0"
            << "ab12 02:00:00:00:00:01 10.0.0.7 0 -" << 1;
    }

    void skipDone()
    {
        QFETCH(QString, report);
        QFETCH(QString, query);
        QFETCH(int, reliedOnLine);
        QTemporaryDir dir;
        QFile file(dir.filePath("done.jsonl"));
        const QByteArray lines = reportLines(report);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(lines) == lines.size());
        file.close();
        DoneIndex index;
        QCOMPARE(index.addReport(file.fileName()), std::nullopt);
        const QStringList q = query.split(' ');
        const DoneQuery ask{q[0],
                            q[1] == "-" ? std::nullopt : std::optional<QString>(q[1]),
                            "line-1",
                            q[2] == "-" ? "10.0.0.7" : q[2],
                            111,
                            q[3].toInt(),
                            q[4] == "install"};
        const auto relied = index.lookup(ask);
        QCOMPARE(relied.has_value(), reliedOnLine > 0);
        if (relied) {
            const QByteArray expected = lines.split('\n')[reliedOnLine - 1];
            QCOMPARE(*relied, QJsonDocument::fromJson(expected).object());
        }
    }
};

QTEST_GUILESS_MAIN(TestShiftSummary)
#include "test_shift_summary.moc"
