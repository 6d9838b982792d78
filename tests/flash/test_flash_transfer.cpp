// corvanel-flash end to end against corvanel-devsim: whole transfers, the
// device's "ERROR", lost and repeated replies, a device that never ends the
// pass, and several devices at once.

#include "flash_test_support.h"

#include <QtTest>

#include <vector>

using namespace corvanel::flashtest;

namespace {
constexpr int kLines = 40; // 39 data records and the end record
const QString kInstall = QStringLiteral("--install");
} // namespace

class TestFlashTransfer : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(dir_.isValid());
        QList<QByteArray> lines;
        image_ = objcopyImage(dir_, kLines - 1, &lines, &data_);
        QCOMPARE(lines.size(), kLines);
    }

    void oneDevice_data()
    {
        QTest::addColumn<QStringList>("simulator");
        QTest::addColumn<QStringList>("flasher");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("result");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<QString>("field"); // a number in the host's JSON, in [low, high)
        QTest::addColumn<double>("low");
        QTest::addColumn<double>("high");

        QTest::newRow("device ERROR names the line")
            << QStringList{"--error-at", "7"} << QStringList{} << 1 << "ERROR"
            << "the device answered \"ERROR\" to line 7 of 40 (download pass)"
            << "line" << 7.0 << 8.0;
        // Reply 1 answers the inquiry, so reply 6 is the one to line 5. The
        // first inquiry goes out at once; five lines, then 0.3 s of silence:
        // far below the 3 s the default would have waited.
        QTest::newRow("lost reply times out within its bound")
            << QStringList{"--drop-reply", "6"} << QStringList{"--reply-timeout", "0.3"} << 3
            << "TIMEOUT"
            << "no reply to line 5 of 40 (download pass) within 0.3 s"
            << "seconds" << 0.3 << 1.5;
        // The device had taken the line before its reply was lost; it takes
        // the resent copy as the same record, so the transfer ends verified.
        QTest::newRow("lost reply sent again with retries")
            << QStringList{"--drop-reply", "6"}
            << QStringList{"--reply-timeout", "0.3", "--retries", "2", kInstall} << 0 << "END"
            << ""
            << "resends" << 1.0 << 2.0;
        QTest::newRow("device that never says DOWNLOAD does not loop")
            << QStringList{"--ok-at-eof"} << QStringList{} << 1 << "ERROR"
            << "last line (40 of 40, download pass) instead of \"DOWNLOAD\""
            << "line" << 40.0 << 41.0;
    }

    void oneDevice()
    {
        QFETCH(QStringList, simulator);
        QFETCH(QStringList, flasher);
        QFETCH(int, exitCode);
        QFETCH(QString, result);
        QFETCH(QString, reason);
        QFETCH(QString, field);
        QFETCH(double, low);
        QFETCH(double, high);
        Devsim sim(simulator);
        QVERIFY2(sim.waitForPort() != 0, qPrintable(sim.errors()));

        const FlashRun run =
            runFlasher(flasher + QStringList{QStringLiteral("--json"), image_, sim.target()});
        QVERIFY2(run.finished, run.err.constData());
        QCOMPARE(run.exitCode, exitCode);
        QCOMPARE(run.json().value("exitCode").toInt(), exitCode);
        const QJsonObject host = run.host(0);
        QCOMPARE(host.value("result").toString(), result);
        QVERIFY2(host.value("reason").toString().contains(reason),
                 qPrintable(host.value("reason").toString()));
        const double value = host.value(field).toDouble();
        QVERIFY2(value >= low && value < high, qPrintable(QString::number(value)));
        if (!flasher.contains(kInstall))
            return;
        // The simulator's own account of what it was sent, against the image.
        QCOMPARE(host.value("installed").toBool(), true);
        QCOMPARE(sim.waitForSummary(), cleanImageReport(data_, kLines));
        QTRY_COMPARE_WITH_TIMEOUT(sim.process().state(), QProcess::NotRunning, 3000);
        QCOMPARE(sim.process().exitCode(), 0);
    }

    void hostileNetworkNeverEndsFalsely_data()
    {
        QTest::addColumn<QStringList>("simulator");
        QTest::addColumn<QStringList>("flasher");
        QTest::addColumn<bool>("mustEnd"); // the flasher can and must get through
        const QStringList retries{"--reply-timeout", "0.3", "--retries", "2"};
        QTest::newRow("clean network") << QStringList{} << QStringList{} << true;
        QTest::newRow("every reply twice") << QStringList{"--duplicate"} << QStringList{} << true;
        QTest::newRow("late copies of every reply")
            << QStringList{"--late-copy", "3"} << QStringList{} << true;
        QTest::newRow("late copy of the pass end")
            << QStringList{"--late-copy", "20", "--late-copy-token", "DOWNLOAD"} << QStringList{}
            << true;
        QTest::newRow("faked DOWNLOAD")
            << QStringList{"--fake-download", "12"} << QStringList{} << true;
        QTest::newRow("end record answered twice")
            << QStringList{"--late-answer", "40:600"} << retries << true;
        QTest::newRow("line answered twice")
            << QStringList{"--late-answer", "9:600"} << retries << true;
        for (const char *seed : {"1", "2", "3"})
            QTest::addRow("reordered copies, seed %s", seed)
                << QStringList{"--duplicate", "--reorder", "20", "--seed", seed} << QStringList{}
                << false;
        QTest::newRow("lost and reordered replies")
            << QStringList{"--drop-rate", "0.03", "--reorder", "10", "--late-copy", "4"} << retries
            << false;
        QTest::newRow("lost reply, no retries")
            << QStringList{"--drop-reply", "20"} << QStringList{"--reply-timeout", "0.3"} << false;
    }

    void hostileNetworkNeverEndsFalsely()
    {
        // Exit code 0 exactly when the device holds the exact image, downloaded
        // and verified record by record.
        QFETCH(QStringList, simulator);
        QFETCH(QStringList, flasher);
        QFETCH(bool, mustEnd);
        Devsim sim(simulator);
        QVERIFY2(sim.waitForPort() != 0, qPrintable(sim.errors()));
        const FlashRun run = runFlasher(flasher + QStringList{kInstall, image_, sim.target()});
        QVERIFY2(run.finished, run.err.constData());
        if (mustEnd)
            QCOMPARE(run.exitCode, 0);
        if (run.exitCode != 0)
            return;
        QCOMPARE(sim.waitForSummary(), cleanImageReport(data_, kLines));
        QTRY_COMPARE_WITH_TIMEOUT(sim.process().state(), QProcess::NotRunning, 3000);
        QCOMPARE(sim.process().exitCode(), 0);
    }

    void threeDevicesAtOnce_data()
    {
        QTest::addColumn<int>("failing"); // the device that answers "ERROR" to line 3
        QTest::newRow("all succeed") << -1;
        QTest::newRow("one failing stops no other") << 1;
    }

    void threeDevicesAtOnce()
    {
        QFETCH(int, failing);
        std::vector<std::unique_ptr<Devsim>> sims;
        QStringList arguments{kInstall, QStringLiteral("--json"), image_};
        // Replies 40 ms late: each transfer takes seconds, far longer than
        // the flasher takes to start.
        for (int i = 0; i < 3; ++i) {
            QStringList options{QStringLiteral("--delay-ms"), QStringLiteral("40")};
            if (i == failing)
                options << QStringLiteral("--error-at") << QStringLiteral("3");
            sims.push_back(std::make_unique<Devsim>(options));
        }
        for (auto &sim : sims) {
            QVERIFY(sim->waitForPort() != 0);
            arguments << sim->target();
        }
        const FlashRun run = runFlasher(arguments);
        QVERIFY(run.finished);
        QCOMPARE(run.exitCode, failing < 0 ? 0 : 1);
        double transferSeconds = 0;
        for (int i = 0; i < 3; ++i) {
            const QJsonObject host = run.host(i);
            QCOMPARE(QStringLiteral("127.0.0.1:%1").arg(host.value("port").toInt()),
                     sims[i]->target());
            if (i == failing) {
                QCOMPARE(host.value("result").toString(), QStringLiteral("ERROR"));
                QCOMPARE(host.value("line").toInt(), 3);
                continue;
            }
            QCOMPARE(host.value("result").toString(), QStringLiteral("END"));
            QCOMPARE(sims[i]->waitForSummary(), cleanImageReport(data_, kLines));
            transferSeconds += host.value("seconds").toDouble();
        }
        // At the same time, not one after the other: the whole run took far
        // less than the successful transfers one after the other.
        QVERIFY2(double(run.ms) / 1000.0 < transferSeconds * 0.75,
                 qPrintable(QStringLiteral("%1 ms for %2 s").arg(run.ms).arg(transferSeconds)));
    }

private:
    QTemporaryDir dir_;
    QString image_;
    QByteArray data_;
};

QTEST_GUILESS_MAIN(TestFlashTransfer)
#include "test_flash_transfer.moc"
