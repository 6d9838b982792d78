// A production lane as a table on a fake clock: boards come and go at one
// address; each is flashed once, and a board that has not left is never
// flashed again.

#include "engine/lane_run.h"

#include <QtTest>

using namespace corvanel;

namespace {

const QList<QByteArray> kImage{":0100000055AA", ":00000001FF"};

// The driver played by the test: links open at once (or fail), datagrams are
// written down as "i" (inquiry), "d1" "v2" (lines), "g" ("BOOTg"), and the
// link effects as "open", "close", "flush".
struct Rig {
    LaneRun lane;
    Millis now{0};
    QStringList out;
    QList<HostReport> attempts, boards; // boards: done, and back (result "back")
    bool finished = false;
    bool failOpen = false;
    std::optional<QString> mac; // what the neighbour table holds

    explicit Rig(const LaneSettings &settings)
        : lane(settings, [] {
              TextLines lines;
              for (const QByteArray &line : kImage)
                  lines.append(line);
              return TextLines::share(std::move(lines));
          }())
    {
    }

    void drive()
    {
        while (const Effect *e = lane.pollEffect()) {
            if (e->kind == Effect::Kind::OpenLink) {
                out << QStringLiteral("open");
                if (failOpen)
                    lane.linkFailed(now, QStringLiteral("no socket"));
                else
                    lane.linkOpened(now, 5600);
            } else if (e->kind == Effect::Kind::CloseLink) {
                out << QStringLiteral("close");
            } else if (e->kind == Effect::Kind::FlushArp) {
                out << QStringLiteral("flush");
            } else if (e->kind == Effect::Kind::ReadNeighbour) {
                lane.neighbourRead(now, mac);
            } else if (e->bytes == "BOOTi\r\n") {
                out << QStringLiteral("i");
            } else if (e->bytes == "BOOTg\r\n") {
                out << QStringLiteral("g");
            } else {
                const QByteArray line = e->bytes.mid(4).chopped(2);
                const bool verify = line.startsWith('#');
                QByteArray plain = line;
                plain.replace('#', ':');
                out << QStringLiteral("%1%2").arg(verify ? 'v' : 'd').arg(kImage.indexOf(plain) + 1);
            }
        }
        LaneEvent event{LaneEvent::Kind::Progress};
        while (lane.pollEvent(event)) {
            if (event.kind == LaneEvent::Kind::AttemptEnded)
                attempts << event.report;
            else if (event.kind == LaneEvent::Kind::BoardDone)
                boards << event.report;
            else if (event.kind == LaneEvent::Kind::BoardBack)
                boards << event.report, boards.last().reason = QStringLiteral("back");
            else if (event.kind == LaneEvent::Kind::Finished)
                finished = true;
        }
    }

    // A reply, "+ms" (deadlines on the way are handled), "sig2", or "mac=A"
    // ("mac=" unknown).
    void play(const QStringList &steps)
    {
        lane.start(now);
        drive();
        for (const QString &step : steps) {
            if (step.startsWith(QLatin1Char('+'))) {
                const Millis until = now + Millis(step.mid(1).toInt());
                for (auto due = lane.pollTimeout(); due && *due <= until; due = lane.pollTimeout()) {
                    now = std::max(now, *due);
                    lane.handleTimeout(now);
                    drive();
                }
                now = until;
            } else if (step.startsWith(QLatin1String("sig"))) {
                lane.interrupt(now, step.mid(3).toInt());
            } else if (step.startsWith(QLatin1String("mac="))) {
                mac = step.size() > 4 ? std::optional(step.mid(4)) : std::nullopt;
            } else {
                lane.handleDatagram(now, step.toLatin1(), 111);
            }
            drive();
        }
    }
};

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
            << "count=1 install" << clean + " +100"
            << flashed + " g close" << "END 0 1 b1" << true;
        // Between boards nothing is lost; a board under way is recorded.
        QTest::newRow("Ctrl-C while waiting for the next board")
            << "" << clean + " +300 +100 sig2" << flashed + " close open i i i flush i i close"
            << "END 0 1 b1" << true;
        QTest::newRow("Ctrl-C during a board")
            << "" << "VER=b1 VER=b1 OK sig2 +1000" << "open i close open i d1 d2 close"
            << "STOPPED 130 1 b1" << true;
        QTest::newRow("a lane without a link stops") << "failopen" << "+1000"
                                                     << "open" << "" << true;

        // Boards told apart: another "VER=" or another hardware address is a
        // new board, flashed at once; a board done before is never flashed again.
        const QString b2 = QStringLiteral(" VER=b2 OK DOWNLOAD OK DOWNLOAD +50");
        QTest::newRow("a new board within the gone time: another VER=")
            << "count=2" << clean + " +100 VER=b2" + b2
            << flashed + " close open i i close open i d1 d2 v1 v2 close"
            << "END 0 1 b1; END 0 2 b2" << true;
        QTest::newRow("a new board within the gone time: another MAC")
            << "count=2" << "mac=A " + clean + " +100 mac=B VER=b1 VER=b1 OK DOWNLOAD OK DOWNLOAD +50"
            << flashed + " close open i i close open i d1 d2 v1 v2 close"
            << "END 0 1 b1 A; END 0 2 b1 B" << true;
        QTest::newRow("a board back after the gone time")
            << "count=2"
            << "mac=A " + clean + " +400 VER=b1 +100 VER=b1 +400 mac=B VER=b2" + b2
            << flashed + " close open i i i flush i i i i i flush i i close open i d1 d2 v1 v2 close"
            << "END 0 1 b1 A; back 0 1 - A; END 0 2 b2 B" << true;
        QTest::newRow("a board swapped during its run")
            << "count=1" << "mac=A VER=b1 VER=b1 OK DOWNLOAD OK mac=B DOWNLOAD +50"
            << flashed + " close" << "ERROR 1 1 b1 A" << true;
    }

    void boardsComeAndGo()
    {
        QFETCH(QString, settings);
        QFETCH(QString, steps);
        QFETCH(QString, sent);
        QFETCH(QString, boards);
        QFETCH(bool, finished);
        LaneSettings lane;
        lane.goneTime = Millis{300};
        lane.host.limits.replyTimeout = Millis{1000};
        lane.flushArp = true;
        for (const QString &word : settings.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
            if (word.startsWith(QLatin1String("count=")))
                lane.count = word.mid(6).toInt();
            else if (word == QLatin1String("install"))
                lane.host.install = true;
        }
        Rig rig(lane);
        rig.failOpen = settings.contains(QLatin1String("failopen"));
        rig.play(steps.split(QLatin1Char(' '), Qt::SkipEmptyParts));
        // The first flush comes before the first board.
        QStringList out = rig.out;
        if (!out.isEmpty() && out.first() == QLatin1String("flush"))
            out.removeFirst();
        QCOMPARE(out.join(QLatin1Char(' ')), sent);
        QStringList got;
        for (const HostReport &r : std::as_const(rig.boards))
            got << QStringLiteral("%1 %2 %3 %4")
                       .arg(r.reason == QLatin1String("back") ? r.reason
                                                              : resultWord(r),
                            QString::number(r.exitCode))
                       .arg(r.board)
                       .arg(r.deviceVersion.value_or(QStringLiteral("-")))
                   + (r.mac ? QLatin1Char(' ') + *r.mac : QString());
        QCOMPARE(got.join(QStringLiteral("; ")), boards);
        QCOMPARE(rig.finished, finished);
        QCOMPARE(rig.lane.stopped().has_value(), settings.contains(QLatin1String("failopen")));
        QVERIFY(rig.attempts.size() >= rig.boards.size() - boards.count(QLatin1String("back")));
    }
};

QTEST_APPLESS_MAIN(TestLaneRun)
#include "test_lane_run.moc"
