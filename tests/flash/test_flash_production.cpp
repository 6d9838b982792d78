// Continuous production end to end: corvanel-flash --continuous against the
// simulator acting as boards that come one after another on one port.

#include "flash_test_support.h"

#include <QtTest>

#ifdef Q_OS_UNIX
#include <csignal>
#endif

using namespace corvanel::flashtest;

namespace {
constexpr int kLines = 40;
// Boards leave and come faster than on a line; the flasher's gone time stays
// below the simulator's swap time, so it sees each board go before the next.
const QStringList kLine{"--continuous", "--gone-time", "0.3", "--install", "--reply-timeout", "1"};
const QString kSwap = QStringLiteral("0.8");

QList<QJsonObject> records(const QString &path)
{
    QList<QJsonObject> list;
    for (const QByteArray &line : readLines(path))
        list.append(QJsonDocument::fromJson(line).object());
    return list;
}
} // namespace

class TestFlashProduction : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(dir_.isValid());
        QList<QByteArray> lines;
        image_ = objcopyImage(dir_, kLines - 1, &lines, &data_);
    }

    void boardAfterBoard_data()
    {
        QTest::addColumn<QStringList>("simulator");
        QTest::addColumn<QStringList>("results"); // per board record, in order
        QTest::addColumn<int>("exitCode");
        QTest::newRow("three boards, each flashed and installed once")
            << QStringList{"--boards", "3"} << QStringList{"END", "END", "END"} << 0;
        // Board 2 refuses every record and stays a while: recorded once, never
        // flashed again while it stays, and board 3 follows.
        QTest::newRow("a failing board in the middle")
            << QStringList{"--boards", "3", "--fail-board", "2"}
            << QStringList{"END", "ERROR", "END"} << 1;
    }

    void boardAfterBoard()
    {
        QFETCH(QStringList, simulator);
        QFETCH(QStringList, results);
        QFETCH(int, exitCode);
        Devsim sim(simulator + QStringList{"--swap-time", kSwap});
        QVERIFY2(sim.waitForPort() != 0, qPrintable(sim.errors()));
        const QString report = dir_.filePath(QString::fromLatin1(QTest::currentDataTag()));
        const FlashRun run = runFlasher(
            kLine + QStringList{"--count", "3", "--report", report, "--json", image_, sim.target()},
            30000);
        QVERIFY2(run.finished, run.err.constData());
        QCOMPARE(run.exitCode, exitCode);

        const QList<QJsonObject> written = records(report);
        QCOMPARE(written.size(), results.size());
        for (qsizetype i = 0; i < written.size(); ++i) {
            const QJsonObject &r = written[i];
            const int board = int(i) + 1;
            QCOMPARE(r.value("board").toInt(), board);
            QCOMPARE(r.value("result").toString(), results[i]);
            QCOMPARE(r.value("deviceVersion").toString(),
                     QStringLiteral("DEVSIM 1.0 board %1").arg(board));
            QCOMPARE(r.value("installed").toBool(), results[i] == QLatin1String("END"));
            QVERIFY(!r.contains("mac")); // loopback has no neighbour entry
        }
        QCOMPARE(run.json().value("hosts").toArray().size(), results.size());

        // The simulator's account, board by board: each flashed board holds the
        // exact image, verified and installed once; the failing one saw one
        // download attempt.
        const QString summary = sim.waitForSummary(15000);
        QVERIFY2(summary.contains(QStringLiteral("boards=3")), qPrintable(summary));
        QTRY_COMPARE_WITH_TIMEOUT(sim.process().state(), QProcess::NotRunning, 5000);
        QCOMPARE(sim.process().exitCode(), 0);
        const QString out = QString::fromLatin1(sim.output());
        const QString crc = corvanel::image::hexAddress(corvanel::image::crc32(data_));
        for (int board = 1; board <= 3; ++board) {
            const QRegularExpression line(QStringLiteral("board %1 (\\w+) .*").arg(board));
            const auto match = line.match(out);
            QVERIFY2(match.hasMatch(), qPrintable(out));
            if (results[board - 1] == QLatin1String("END")) {
                QCOMPARE(match.captured(1), QStringLiteral("installed"));
                QVERIFY2(match.captured(0).contains(crc), qPrintable(match.captured(0)));
            } else {
                QCOMPARE(match.captured(1), QStringLiteral("failed"));
                QVERIFY2(match.captured(0).contains(QStringLiteral("download-errors=1 ")),
                         qPrintable(match.captured(0)));
            }
        }
    }

    void laneWithoutLinkIsARow()
    {
        // Its local port taken: the lane cannot go on, and says why.
        QUdpSocket taken;
        QVERIFY(taken.bind(QHostAddress::AnyIPv4, 0, QUdpSocket::DontShareAddress));
        const FlashRun run =
            runFlasher(kLine + QStringList{"--local-port", QString::number(taken.localPort()),
                                           "--json", image_, "127.0.0.1:9"});
        QCOMPARE(run.exitCode, 5);
        const QJsonObject row = run.host(0);
        QCOMPARE(row.value("result").toString(), QStringLiteral("NETWORK"));
        QVERIFY2(row.value("reason").toString().contains(QString::number(taken.localPort())),
                 run.out.constData());
    }

    void batchRunAgainSkipsTheBoardsDone()
    {
        // Board A is flashed; the batch is run again with board B beside it.
        // A is left alone (SKIPPED, with the record relied on), B is flashed,
        // and the shift's summary counts the one apart from the other.
        Devsim a, b;
        QVERIFY(a.waitForPort() != 0 && b.waitForPort() != 0);
        const QString report = dir_.filePath(QStringLiteral("batch.jsonl"));
        const QStringList common{"--station", "s1", "--report", report, "--reply-timeout", "1"};
        QCOMPARE(runFlasher(common + QStringList{image_, a.target()}).exitCode, 0);
        const FlashRun again = runFlasher(
            common + QStringList{"--skip-done", report, "--json", image_, a.target(), b.target()});
        QCOMPARE(again.exitCode, 0);
        QCOMPARE(again.host(0).value("result").toString(), QStringLiteral("SKIPPED"));
        QCOMPARE(again.host(1).value("result").toString(), QStringLiteral("END"));
        const QList<QJsonObject> written = records(report);
        QCOMPARE(written.size(), 3);
        QCOMPARE(written[1].value("reliedOn").toObject().value("result").toString(),
                 QStringLiteral("END"));

        const QString page = dir_.filePath(QStringLiteral("shift.html"));
        const FlashRun summary = runFlasher({"--summary", "--json", "--html", page, report});
        QCOMPARE(summary.exitCode, 0);
        QVERIFY2(summary.out.contains("\"boards\": 2"), summary.out.constData());
        QVERIFY(QFileInfo(page).size() > 0);
    }

#ifdef Q_OS_UNIX
    void ctrlCBetweenBoards()
    {
        // Board 2 comes only after a long swap: the lane waits for it.
        Devsim sim({"--boards", "2", "--swap-time", "5"});
        QVERIFY2(sim.waitForPort() != 0, qPrintable(sim.errors()));
        const QString report = dir_.filePath(QStringLiteral("interrupted.jsonl"));
        auto flasher = startFlasher(kLine + QStringList{"--report", report, image_, sim.target()});
        QTRY_VERIFY_WITH_TIMEOUT(records(report).size() == 1, 10000);
        QTest::qWait(600); // board 1 has left; the lane waits for the next
        ::kill(pid_t(flasher->processId()), SIGINT);
        const FlashRun run = finishFlasher(*flasher, 10000);
        QVERIFY(run.finished);
        QCOMPARE(run.exitCode, 130);
        const QList<QJsonObject> written = records(report);
        QCOMPARE(written.size(), 1); // nothing lost, nothing made up
        QCOMPARE(written[0].value("result").toString(), QStringLiteral("END"));
        QVERIFY2(run.err.contains("waiting for the next board"), run.err.constData());
    }
#endif

private:
    QTemporaryDir dir_;
    QString image_;
    QByteArray data_;
};

QTEST_GUILESS_MAIN(TestFlashProduction)
#include "test_flash_production.moc"
