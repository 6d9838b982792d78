// The scan on a fake clock: its pace and rounds, and what it makes of the
// answers, a failed send and an interrupt.

#include "common/ipv4_address.h"
#include "engine/run_summary.h"

#include <QtTest>

using namespace corvanel;

namespace {

struct Sent {
    qint64 at;
    ScanDestination to;
};

// Drives the run as BoardScan does, the socket read before each deadline.
// `script`: "MS A.B.C.D:PORT TEXT" (an answer) or "MS interrupt", in order of
// time; what is left when the scan ends comes afterwards. Sends to addresses
// starting with `unreachable` (when given) fail.
QList<Sent> drive(ScanRun &run, const QStringList &script = {}, const QString &unreachable = {})
{
    QList<Sent> sent;
    Millis now{0};
    qsizetype next = 0;
    const auto step = [&] {
        const QStringList parts = script[next++].split(' ');
        now = Millis(parts[0].toInt());
        if (parts[1] == QLatin1String("interrupt"))
            return run.interrupt(now, 15);
        const QStringList from = parts[1].split(':');
        run.handleDatagram(now, *parseIpv4(from[0]), quint16(from[1].toUInt()),
                           parts.mid(2).join(' ').toLatin1() + "\r\n");
    };
    run.start(now);
    for (int i = 0; i < 100000 && !run.isFinished(); ++i) {
        while (const auto to = run.pollInquiry()) {
            sent.append({now.count(), *to});
            if (!unreachable.isEmpty() && ipv4Text(to->address).startsWith(unreachable))
                run.handleSendFailure(now, QStringLiteral("Network is unreachable"));
        }
        const Millis due = run.pollTimeout().value();
        if (next < script.size() && Millis(script[next].section(' ', 0, 0).toInt()) <= due) {
            step();
        } else {
            now = due;
            run.handleTimeout(now);
        }
    }
    while (next < script.size())
        step();
    return sent;
}

} // namespace

class TestScanRun : public QObject {
    Q_OBJECT

private slots:
    void paceAndRounds_data()
    {
        QTest::addColumn<int>("destinations");
        QTest::addColumn<int>("time");
        QTest::addColumn<QList<qint64>>("rounds"); // when each round began
        QTest::addColumn<qint64>("end");
        QTest::newRow("rounds at 0, a quarter and half the time")
            << 3 << 1000 << QList<qint64>{0, 250, 500} << qint64(1000);
        QTest::newRow("50 every 5 ms") << 120 << 1000 << QList<qint64>{0, 250, 500} << qint64(1000);
        QTest::newRow("rounds of 20 bursts")
            << 1000 << 400 << QList<qint64>{0, 100, 200} << qint64(400);
        QTest::newRow("a round sent late follows at the pace; none past half the time")
            << 1000 << 300 << QList<qint64>{0, 100} << qint64(300);
        QTest::newRow("a quarter of the time after the last inquiry")
            << 1000 << 100 << QList<qint64>{0} << qint64(95 + 25);
    }

    void paceAndRounds()
    {
        QFETCH(int, destinations);
        QFETCH(int, time);
        QFETCH(QList<qint64>, rounds);
        QFETCH(qint64, end);
        QList<ScanDestination> hosts;
        for (int i = 0; i < destinations; ++i)
            hosts.append({0x7f000001u + quint32(i), 111});
        ScanRun run({hosts, Millis(time)});
        const QList<Sent> sent = drive(run);

        QVERIFY(run.isFinished() && !run.pollTimeout());
        QCOMPARE(run.outcome().ms, end);
        QCOMPARE(run.outcome().rounds, int(rounds.size()));
        QCOMPARE(run.outcome().sent, int(sent.size()));
        QCOMPARE(sent.size(), hosts.size() * rounds.size());
        QMap<qint64, int> perBurst;
        for (qsizetype i = 0; i < sent.size(); ++i) {
            QCOMPARE(sent[i].to, hosts[i % hosts.size()]); // every host, in order, each round
            if (i % hosts.size() == 0)
                QCOMPARE(sent[i].at, rounds[i / hosts.size()]);
            ++perBurst[sent[i].at];
        }
        // At most 50 in any 5 ms, also where one round follows another.
        qint64 last = -ScanRun::kPace.count();
        for (auto it = perBurst.cbegin(); it != perBurst.cend(); last = it.key(), ++it) {
            QVERIFY2(it.value() <= ScanRun::kBurst && it.key() - last >= ScanRun::kPace.count(),
                     qPrintable(QStringLiteral("%1 at %2 ms").arg(it.value()).arg(it.key())));
        }
    }

    void answers_data()
    {
        QTest::addColumn<QString>("targets");
        QTest::addColumn<QStringList>("script");
        QTest::addColumn<QString>("unreachable");
        QTest::addColumn<QStringList>("boards"); // the outcome's, "A.B.C.D:PORT TEXT"
        QTest::addColumn<QString>("counts");
        QTest::newRow("each board once, by address; other ports and words left out")
            << "127.0.0.1/30"
            << QStringList{"10 127.0.0.2:111 VER=B",     "20 127.0.0.1:112 VER=X",
                           "30 127.0.0.1:111 OK",        "40 127.0.0.1:111 VER=A",
                           "260 127.0.0.2:111 VER=B",    "1000 127.0.0.9:111 VER=C",
                           "1001 127.0.0.1:111 VER=late"}
            << "" << QStringList{"127.0.0.1:111 A", "127.0.0.2:111 B", "127.0.0.9:111 C"}
            << "sent 6, errors 0, ignored 2, rounds 3, 1000 ms, exit 0";
        QTest::newRow("no board") << "127.0.0.1" << QStringList{} << "" << QStringList{}
                                  << "sent 3, errors 0, ignored 0, rounds 3, 1000 ms, exit 3";
        QTest::newRow("a send failure is counted and named")
            << "127.0.0.1/30" << QStringList{"5 127.0.0.1:111 VER=A"} << "127.0.0.2"
            << QStringList{"127.0.0.1:111 A"}
            << "sent 3, errors 3, ignored 0, rounds 3, 1000 ms, exit 0";
        QTest::newRow("not one inquiry sent")
            << "127.0.0.0/29" << QStringList{} << "127." << QStringList{}
            << "sent 0, errors 18, ignored 0, rounds 3, 1000 ms, exit 5";
        QTest::newRow("an interrupt ends it at once; the boards found stay")
            << "127.0.0.1"
            << QStringList{"10 127.0.0.1:111 VER=A", "300 interrupt", "400 127.0.0.2:111 VER=B"}
            << "" << QStringList{"127.0.0.1:111 A"}
            << "sent 2, errors 0, ignored 0, rounds 2, 300 ms interrupted, exit 143";
    }

    void answers()
    {
        QFETCH(QString, targets);
        QFETCH(QStringList, script);
        QFETCH(QString, unreachable);
        QFETCH(QStringList, boards);
        QFETCH(QString, counts);
        const auto destinations = scanDestinations(targets.split(' '), 111);
        ScanRun run({std::get<QList<ScanDestination>>(destinations), Millis(1000)});
        drive(run, script, unreachable);

        const ScanOutcome &outcome = run.outcome();
        QStringList got;
        for (const FoundBoard &b : outcome.boards)
            got << QStringLiteral("%1:%2 %3").arg(ipv4Text(b.address)).arg(b.port).arg(b.version);
        QCOMPARE(got, boards);
        int told = 0;
        while (run.pollFound())
            ++told;
        QCOMPARE(told, boards.size()); // each board told once, as it answered
        QCOMPARE(QStringLiteral("sent %1, errors %2, ignored %3, rounds %4, %5 ms%6, exit %7")
                     .arg(outcome.sent)
                     .arg(outcome.sendErrors)
                     .arg(outcome.ignored)
                     .arg(outcome.rounds)
                     .arg(outcome.ms)
                     .arg(outcome.interrupted ? " interrupted" : "")
                     .arg(exitCode({RunSummary::Mode::Scan, {}, {}, outcome, {}, false})),
                 counts);
        QCOMPARE(outcome.sendErrorTexts.size(),
                 std::min(outcome.sendErrors, ScanRun::kErrorTextsKept));
        if (outcome.sendErrors > 0) {
            const QString &text = outcome.sendErrorTexts.front();
            QVERIFY2(text.startsWith("cannot send \"BOOTi\" to " + unreachable) &&
                         text.endsWith(":111: Network is unreachable"),
                     qPrintable(text));
        }
    }
};

QTEST_GUILESS_MAIN(TestScanRun)
#include "test_scan_run.moc"
