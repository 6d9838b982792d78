// The flasher's board, reply by reply on a fake clock: what it sends, where
// it ends, and why.

#include "support/board_rig.h"

#include <QtTest>

using namespace corvanel;
using corvanel::testing::BoardRig;

namespace {

const QList<QByteArray> kImage = {":0200000011AA43", ":0200020022BB1F", ":00000001FF"};

HostSettings strict()
{
    HostSettings host;
    host.limits = {Millis{5000}, Millis{1000}, 1};
    return host;
}

} // namespace

class TestBoard : public QObject {
    Q_OBJECT
private slots:
    void unattendedTransfer_data()
    {
        using Kind = TransferFailure::Kind;
        QTest::addColumn<QString>("steps");
        QTest::addColumn<QString>("sent");
        QTest::addColumn<Phase>("phase"); // where it stood at its end (or stands)
        QTest::addColumn<Kind>("failure");
        const auto row = [](const char *name, const char *steps, const char *sent, Phase phase,
                            Kind failure = Kind::None) {
            QTest::newRow(name) << steps << sent << phase << failure;
        };
        // The end stands once the device has had time to say otherwise: at
        // least 50 ms, and twice the slowest answer, at most the reply time-out.
        row("clean", "VER=1 OK OK DOWNLOAD OK OK DOWNLOAD +49", "i d1 d2 d3 v1 v2 v3",
            Phase::Verify);
        row("clean, confirmed", "VER=1 OK OK DOWNLOAD OK OK DOWNLOAD +50",
            "i d1 d2 d3 v1 v2 v3 close", Phase::Ended);
        row("slow answers, quiet for twice the slowest",
            "VER=1 +40 OK +40 OK +40 DOWNLOAD +40 OK +40 OK +100 DOWNLOAD +199",
            "i d1 d2 d3 v1 v2 v3", Phase::Verify);
        row("slow answers, then confirmed",
            "VER=1 +40 OK +40 OK +40 DOWNLOAD +40 OK +40 OK +100 DOWNLOAD +200",
            "i d1 d2 d3 v1 v2 v3 close", Phase::Ended);
        row("the quiet time is at most the reply time-out",
            "VER=1 OK OK DOWNLOAD OK OK +900 DOWNLOAD +1000", "i d1 d2 d3 v1 v2 v3 close",
            Phase::Ended);
        row("slow answers, ERROR within twice the slowest",
            "VER=1 +40 OK +40 OK +40 DOWNLOAD +40 OK +40 OK +100 DOWNLOAD +150 ERROR",
            "i d1 d2 d3 v1 v2 v3 close", Phase::Verify, Kind::DeviceError);
        // No sequence numbers: a reply that no datagram of ours explains shows
        // that replies are copied, and from then on none can be paired.
        row("late pass end in the verify pass", "VER=1 OK OK DOWNLOAD DOWNLOAD OK",
            "i d1 d2 d3 v1 close", Phase::Verify, Kind::Unpaired);
        row("stale pass end", "VER=1 DOWNLOAD", "i d1 close", Phase::Download, Kind::Unpaired);
        row("duplicated OK runs ahead to the last line", "VER=1 OK OK OK", "i d1 d2 d3 close",
            Phase::Download, Kind::Unpaired);
        row("a reply after every line had its answer", "VER=1 OK OK DOWNLOAD OK OK DOWNLOAD +10 OK",
            "i d1 d2 d3 v1 v2 v3 close", Phase::Verify, Kind::Unpaired);
        row("two VER= to one inquiry", "VER=1 VER=1", "i d1 close", Phase::Download,
            Kind::Unpaired);
        row("VER= to each of two inquiries", "+500 VER=1 VER=1 OK", "i i d1 d2", Phase::Download);
        // A late copy of the download pass's end lands just while the last
        // verify line waits, ahead of the device's own "ERROR" to it.
        row("late pass end, then the device's ERROR", "VER=1 OK OK DOWNLOAD OK OK DOWNLOAD ERROR",
            "i d1 d2 d3 v1 v2 v3 close", Phase::Verify, Kind::DeviceError);
        // The end record's answer comes after its time-out: it is sent again,
        // and its second answer waits out before the verify pass begins.
        row("resent end answered twice", "VER=1 OK OK +1000 DOWNLOAD DOWNLOAD OK OK DOWNLOAD +50",
            "i d1 d2 d3 d3 v1 v2 v3 close", Phase::Ended);
        row("resent end answered once", "VER=1 OK OK +1000 DOWNLOAD +999 +1 OK",
            "i d1 d2 d3 d3 v1 v2", Phase::Verify);
        row("resent line refused by its second answer", "VER=1 OK +1000 OK ERROR",
            "i d1 d2 d2 close", Phase::Download, Kind::DeviceError);
        row("unknown reply, then silence", "VER=1 hello +1000 +1000", "i d1 d1 close",
            Phase::Download, Kind::NoAnswer);
        row("device error", "VER=1 OK ERROR OK", "i d1 d2 close", Phase::Download,
            Kind::DeviceError);
        row("inquiries every 500 ms", "+499 +1 +499 +1", "i i i", Phase::Polling);
        row("no VER=", "OK DOWNLOAD +4999 +1", "i i i i i i i i i i close", Phase::Polling,
            Kind::NoVersion);
        // After the end: the pause after "BOOTg" still hears the refusal.
        row("ERROR in the install pause", "VER=1 OK OK DOWNLOAD OK OK DOWNLOAD +50 +40 ERROR",
            "i d1 d2 d3 v1 v2 v3 g close", Phase::Installing, Kind::DeviceError);
    }

    void unattendedTransfer()
    {
        QFETCH(QString, steps);
        QFETCH(TransferFailure::Kind, failure);
        HostSettings host = strict();
        host.install = QByteArray(QTest::currentDataTag()).contains("install");
        BoardRig rig(kImage, host);
        rig.play(steps);
        QFETCH(QString, sent);
        QCOMPARE(rig.out.join(QLatin1Char(' ')), QStringLiteral("open ") + sent);
        if (rig.summary) {
            QTEST(rig.summary->phase, "phase");
            QCOMPARE(rig.summary->outcome == Outcome::Ok, failure == TransferFailure::Kind::None);
        } else {
            QTEST(rig.board.phase(), "phase");
            QCOMPARE(failure, TransferFailure::Kind::None);
        }
    }

    void inputsTheStateDoesNotExpect()
    {
        // Every input out of its state gets a named verdict, never silence.
        BoardRig rig(kImage, strict());
        rig.play("VER=1 OK OK DOWNLOAD OK OK DOWNLOAD +50");
        QVERIFY(rig.board.isFinished());
        QCOMPARE(rig.board.handleDatagram(rig.now, "OK", 111), Verdict::RunOver);
        QCOMPARE(rig.board.linkOpened(rig.now, 5000), Verdict::NotExpected);
        QCOMPARE(rig.board.linkFailed(rig.now, QStringLiteral("late")), Verdict::NotExpected);
    }
};

QTEST_APPLESS_MAIN(TestBoard)
#include "test_board.moc"
