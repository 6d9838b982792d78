// A production lane as a table on a fake clock: boards come and go at one
// address; each is flashed once, and a board that has not left is never
// flashed again.

#include "support/board_rig.h"

#include <QtTest>

using namespace corvanel;
using corvanel::testing::BoardRig;

namespace {
const QList<QByteArray> kImage{":0100000055AA", ":00000001FF"};
} // namespace

class TestLaneRun : public QObject {
    Q_OBJECT
private slots:
    void boardsComeAndGo_data()
    {
        QTest::addColumn<QString>("settings");
        QTest::addColumn<QString>("steps");
        QTest::addColumn<QString>("sent");
        QTest::addColumn<QString>("boards"); // "RESULT EXIT BOARD VERSION" each
        QTest::addColumn<bool>("finished");
        // The lane's own inquiry finds the board; the board's run asks again.
        const QString clean = QStringLiteral("VER=b1 VER=b1 OK DOWNLOAD OK DOWNLOAD +50");
        const QString flashed = QStringLiteral("open i close open i d1 d2 v1 v2");
        QTest::newRow("two boards, each once")
            << "count=2" << clean + " +300 VER=b2 VER=b2 OK DOWNLOAD OK DOWNLOAD +50"
            << flashed + " close open i i i flush i close open i d1 d2 v1 v2 close"
            << "END 0 1 b1; END 0 2 b2" << true;
        // The first board stays and keeps answering: it is never flashed
        // again; once silent for the gone time, the next board comes.
        QTest::newRow("a board that stays is not flashed again")
            << "count=2"
            << "VER=b1 VER=b1 ERROR +100 VER=b1 +100 VER=b1 +100 VER=b1 +300 VER=b2 VER=b2 OK "
               "DOWNLOAD OK DOWNLOAD +50"
            << "open i close open i d1 close open i i i i i i flush i close open i d1 d2 v1 v2 "
               "close"
            << "ERROR 1 1 b1; END 0 2 b2" << true;
        QTest::newRow("installed: BOOTg, then silence")
            << "count=1 install" << clean + " +100" << flashed + " g close"
            << "END 0 1 b1" << true;
        // Between boards nothing is lost; a board under way is recorded.
        QTest::newRow("Ctrl-C while waiting for the next board")
            << "" << clean + " +300 +100 sig2" << flashed + " close open i i i flush i i close"
            << "END 0 1 b1" << true;
        QTest::newRow("Ctrl-C during a board") << ""
                                               << "VER=b1 VER=b1 OK sig2 +1000"
                                               << "open i close open i d1 d2 close"
                                               << "STOPPED 130 1 b1" << true;
        QTest::newRow("a lane without a link stops") << "failopen"
                                                     << "+1000"
                                                     << "open"
                                                     << "" << true;

        // Boards told apart: another "VER=" or another hardware address is a
        // new board, flashed at once; a board done before is never flashed again.
        const QString b2 = QStringLiteral(" VER=b2 OK DOWNLOAD OK DOWNLOAD +50");
        QTest::newRow("a new board within the gone time: another VER=")
            << "count=2" << clean + " +100 VER=b2" + b2
            << flashed + " close open i i close open i d1 d2 v1 v2 close"
            << "END 0 1 b1; END 0 2 b2" << true;
        QTest::newRow("a new board within the gone time: another MAC")
            << "count=2"
            << "mac=A " + clean + " +100 mac=B VER=b1 VER=b1 OK DOWNLOAD OK DOWNLOAD +50"
            << flashed + " close open i i close open i d1 d2 v1 v2 close"
            << "END 0 1 b1 A; END 0 2 b1 B" << true;
        QTest::newRow("a board back after the gone time")
            << "count=2"
            << "mac=A " + clean + " +400 VER=b1 +100 VER=b1 +400 mac=B VER=b2" + b2
            << flashed +
                   " close open i i i flush i i i i i flush i i close open i d1 d2 v1 v2 close"
            << "END 0 1 b1 A; back 0 1 - A; END 0 2 b2 B" << true;
        QTest::newRow("a board its record shows done is skipped, and waited out")
            << "count=2 skip"
            << "mac=A done={} VER=b1 +100 VER=b1 +400 mac=B done= VER=b2" + b2
            << "open i i i i i flush i i close open i d1 d2 v1 v2 close"
            << "SKIPPED 0 1 b1 A; END 0 2 b2 B" << true;
        QTest::newRow("a board swapped during its run")
            << "count=1"
            << "mac=A VER=b1 VER=b1 OK DOWNLOAD OK mac=B DOWNLOAD +50" << flashed + " close"
            << "ERROR 1 1 b1 A" << true;
    }

    void boardsComeAndGo()
    {
        QFETCH(QString, settings);
        QFETCH(QString, steps);
        QFETCH(QString, sent);
        QFETCH(QString, boards);
        QFETCH(bool, finished);
        HostSettings host;
        host.limits.replyTimeout = Millis{1000};
        Production lane;
        lane.continuous = true;
        lane.goneTime = Millis{300};
        lane.flushArp = true;
        for (const QString &word : settings.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
            if (word.startsWith(QLatin1String("count=")))
                lane.count = word.mid(6).toInt();
            else if (word == QLatin1String("install"))
                host.install = true;
            else if (word == QLatin1String("skip"))
                lane.skipDone = true;
        }
        BoardRig rig(kImage, host, lane);
        rig.badOpens = settings.contains(QLatin1String("failopen")) ? 1 : 0;
        rig.play(steps);
        // The first flush comes before the first board.
        QStringList out = rig.out;
        if (!out.isEmpty() && out.first() == QLatin1String("flush"))
            out.removeFirst();
        QCOMPARE(out.join(QLatin1Char(' ')), sent);
        QStringList got;
        for (const HostReport &r : std::as_const(rig.boards))
            got << QStringLiteral("%1 %2 %3 %4")
                           .arg(r.reason == QLatin1String("back") ? r.reason : resultWord(r),
                                QString::number(r.exitCode))
                           .arg(r.board)
                           .arg(r.deviceVersion.value_or(QStringLiteral("-"))) +
                       (r.mac ? QLatin1Char(' ') + *r.mac : QString());
        QCOMPARE(got.join(QStringLiteral("; ")), boards);
        QCOMPARE(rig.finished, finished);
        QCOMPARE(rig.board.stopped().has_value(), settings.contains(QLatin1String("failopen")));
        QVERIFY(rig.attempts.size() >= rig.boards.size() - boards.count(QLatin1String("back")));
    }
};

QTEST_APPLESS_MAIN(TestLaneRun)
#include "test_lane_run.moc"
