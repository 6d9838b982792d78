// corvanel-flash end to end against corvanel-devsim: whole transfers, the
// device's "ERROR", lost and repeated replies, and several devices at once.

#include "flash_test_support.h"

#include <QtTest>

using namespace corvanel::flashtest;

namespace {

constexpr int kLines = 40;

QString expectedSummary(const QByteArray &data, int records)
{
    return QStringLiteral("records=%1 data-records=%2 bytes=%3 low=0x00000000 high=0x%4 crc32=0x%5 "
                          "download=complete verify=passed")
        .arg(records)
        .arg(records - 1)
        .arg(data.size())
        .arg(QString::number(data.size() - 1, 16).toUpper().rightJustified(8, QLatin1Char('0')))
        .arg(QString::number(crc32(data), 16).toUpper().rightJustified(8, QLatin1Char('0')));
}

} // namespace

class TestFlashTransfer : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(dir_.isValid());
        image_ = writeImage(dir_, QStringLiteral("image.hex"), makeImage(kLines, &data_));
        QVERIFY(!image_.isEmpty());
    }

    void oneDeviceEndsAndInstallsTheExactImage()
    {
        Devsim sim;
        const quint16 port = sim.waitForPort();
        QVERIFY(port != 0);

        const FlashRun run = runFlasher({QStringLiteral("--install"), QStringLiteral("--json"),
                                         image_, QStringLiteral("127.0.0.1:%1").arg(port)});
        QVERIFY2(run.finished, run.err.constData());
        QCOMPARE(run.exitCode, 0);
        const QJsonObject host = run.host(0);
        QCOMPARE(host.value("result").toString(), QStringLiteral("END"));
        QCOMPARE(host.value("installed").toBool(), true);
        QCOMPARE(host.value("line").toInt(), kLines);
        QCOMPARE(run.json().value("exitCode").toInt(), 0);

        // The simulator's own account of what it was sent, against the image.
        const QString summary = sim.waitForSummary();
        QVERIFY2(summary.contains(expectedSummary(data_, kLines)), qPrintable(summary));
        QTRY_COMPARE_WITH_TIMEOUT(sim.process().state(), QProcess::NotRunning, 3000);
        QCOMPARE(sim.process().exitCode(), 0);
    }

    void deviceErrorGivesItsCodeAndNamesTheLine()
    {
        Devsim sim({QStringLiteral("--error-at"), QStringLiteral("7")});
        const quint16 port = sim.waitForPort();
        QVERIFY(port != 0);

        const FlashRun run = runFlasher({image_, QStringLiteral("127.0.0.1:%1").arg(port)});
        QVERIFY(run.finished);
        QCOMPARE(run.exitCode, 1);
        const QString table = QString::fromLocal8Bit(run.out);
        QVERIFY2(table.contains(QStringLiteral("ERROR")), qPrintable(table));
        QVERIFY2(table.contains(QStringLiteral("line 7 of %1 (download pass)").arg(kLines)),
                 qPrintable(table));
        QVERIFY2(table.contains(QStringLiteral("exit code 1")), qPrintable(table));
    }

    void lostReplyTimesOutWithinItsBound()
    {
        // Reply 1 answers the inquiry, so reply 6 is the one to line 5.
        Devsim sim({QStringLiteral("--drop-reply"), QStringLiteral("6")});
        const quint16 port = sim.waitForPort();
        QVERIFY(port != 0);

        const FlashRun run = runFlasher({QStringLiteral("--reply-timeout"), QStringLiteral("0.3"),
                                         QStringLiteral("--json"), image_,
                                         QStringLiteral("127.0.0.1:%1").arg(port)});
        QVERIFY(run.finished);
        QCOMPARE(run.exitCode, 3);
        const QJsonObject host = run.host(0);
        QCOMPARE(host.value("result").toString(), QStringLiteral("TIMEOUT"));
        QCOMPARE(
            host.value("reason").toString(),
            QStringLiteral("no reply to line 5 of %1 (download pass) within 0.3 s").arg(kLines));
        // First inquiry after 0.5 s, five lines, then 0.3 s of silence: far
        // below the 3 s the default would have waited.
        const double seconds = host.value("seconds").toDouble();
        QVERIFY2(seconds >= 0.75 && seconds < 2.0, qPrintable(QString::number(seconds)));
    }

    void lostReplyIsSentAgainWithRetries()
    {
        Devsim sim({QStringLiteral("--drop-reply"), QStringLiteral("6")});
        const quint16 port = sim.waitForPort();
        QVERIFY(port != 0);

        const FlashRun run = runFlasher({QStringLiteral("--reply-timeout"), QStringLiteral("0.3"),
                                         QStringLiteral("--retries"), QStringLiteral("2"),
                                         QStringLiteral("--install"), QStringLiteral("--json"),
                                         image_, QStringLiteral("127.0.0.1:%1").arg(port)});
        QVERIFY(run.finished);
        const QJsonObject host = run.host(0);
        QCOMPARE(host.value("resends").toInt(), 1);
        // The device had taken the line before its reply was lost; it takes
        // the resent copy as the same record, so the transfer ends verified.
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(host.value("result").toString(), QStringLiteral("END"));
        const QString summary = sim.waitForSummary();
        QVERIFY2(summary.contains(QStringLiteral("verify=passed")), qPrintable(summary));
    }

    void deviceThatNeverEndsThePassDoesNotLoop()
    {
        Devsim sim({QStringLiteral("--ok-at-eof")});
        const quint16 port = sim.waitForPort();
        QVERIFY(port != 0);

        const FlashRun run = runFlasher(
            {QStringLiteral("--json"), image_, QStringLiteral("127.0.0.1:%1").arg(port)});
        QVERIFY(run.finished);
        QCOMPARE(run.exitCode, 1);
        const QString reason = run.host(0).value("reason").toString();
        QVERIFY2(reason.contains(
                     QStringLiteral("last line (%1 of %1, download pass) instead of \"DOWNLOAD\"")
                         .arg(kLines)),
                 qPrintable(reason));
    }

    void repeatedRepliesDoNotSkipLines()
    {
        // Each reply comes twice. Taken at face value, every copy would send
        // a line unasked and the verify pass would end early with "END".
        Devsim sim({QStringLiteral("--duplicate")});
        const quint16 port = sim.waitForPort();
        QVERIFY(port != 0);

        const FlashRun run = runFlasher({QStringLiteral("--install"), QStringLiteral("--json"),
                                         image_, QStringLiteral("127.0.0.1:%1").arg(port)});
        QVERIFY(run.finished);
        QCOMPARE(run.exitCode, 0);
        QVERIFY(run.host(0).value("ignoredReplies").toInt() >= 2 * kLines);
        const QString summary = sim.waitForSummary();
        QVERIFY2(summary.contains(expectedSummary(data_, kLines)), qPrintable(summary));
    }

    void threeDevicesAtOnce()
    {
        Devsim a, b, c;
        QList<quint16> ports{a.waitForPort(), b.waitForPort(), c.waitForPort()};
        QVERIFY(!ports.contains(0));

        QStringList arguments{QStringLiteral("--install"), QStringLiteral("--json"), image_};
        for (quint16 port : ports)
            arguments << QStringLiteral("127.0.0.1:%1").arg(port);
        const FlashRun run = runFlasher(arguments);
        QVERIFY(run.finished);
        QCOMPARE(run.exitCode, 0);
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(run.host(i).value("result").toString(), QStringLiteral("END"));
            QCOMPARE(run.host(i).value("port").toInt(), int(ports[i]));
        }
        for (Devsim *sim : {&a, &b, &c}) {
            const QString summary = sim->waitForSummary();
            QVERIFY2(summary.contains(expectedSummary(data_, kLines)), qPrintable(summary));
        }
        // At the same time, not one after the other: each took about as long
        // as the whole run.
        const double total = double(run.ms) / 1000.0;
        for (int i = 0; i < 3; ++i)
            QVERIFY(run.host(i).value("seconds").toDouble() > total / 3);
    }

    void oneFailingDeviceDoesNotStopTheOthers()
    {
        Devsim a, b({QStringLiteral("--error-at"), QStringLiteral("3")}), c;
        QList<quint16> ports{a.waitForPort(), b.waitForPort(), c.waitForPort()};
        QVERIFY(!ports.contains(0));

        QStringList arguments{QStringLiteral("--install"), QStringLiteral("--json"), image_};
        for (quint16 port : ports)
            arguments << QStringLiteral("127.0.0.1:%1").arg(port);
        const FlashRun run = runFlasher(arguments);
        QVERIFY(run.finished);
        QCOMPARE(run.exitCode, 1);
        QCOMPARE(run.host(0).value("result").toString(), QStringLiteral("END"));
        QCOMPARE(run.host(1).value("result").toString(), QStringLiteral("ERROR"));
        QCOMPARE(run.host(1).value("line").toInt(), 3);
        QCOMPARE(run.host(2).value("result").toString(), QStringLiteral("END"));
        QVERIFY(!a.waitForSummary().isEmpty());
        QVERIFY(!c.waitForSummary().isEmpty());
    }

private:
    QTemporaryDir dir_;
    QString image_;
    QByteArray data_;
};

QTEST_GUILESS_MAIN(TestFlashTransfer)
#include "test_flash_transfer.moc"
