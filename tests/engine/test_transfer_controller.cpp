#include "engine/protocol.h"
#include "engine/transfer_controller.h"
#include "support/recorders.h"

#include <QRandomGenerator>
#include <QtTest>

using namespace corvanel;
using namespace corvanel::testing;

namespace {

QList<QByteArray> makeImage(int lines)
{
    QList<QByteArray> image;
    for (int i = 1; i <= lines; ++i)
        image.append(":02" + QByteArray::number(i, 16).rightJustified(4, '0').toUpper() + "00ABCD" +
                     QByteArray::number(i % 7));
    return image;
}

QByteArray down(const QByteArray &line)
{
    return "BOOT" + line + "\r\n";
}

QByteArray verify(QByteArray line)
{
    return "BOOT" + line.replace(':', '#') + "\r\n";
}

// The controller with both recorders, connected and polling.
struct Rig {
    EventLog log;
    RecordingDisplay display{log};
    RecordingLink link{log};
    TransferController ctl{display, link};

    Rig(bool connect = true)
    {
        if (connect) {
            const auto error = ctl.ToggleLink({"127.0.0.1", "111", "0"});
            Q_ASSERT(!error);
        }
    }

    // What a successful image load leaves behind.
    void load(const QList<QByteArray> &lines)
    {
        LineTable table;
        for (const QByteArray &line : lines)
            table.append(line);
        ctl.startImageLoad();
        ctl.adoptImage(std::move(table));
    }

    QList<QByteArray> takeSent()
    {
        QList<QByteArray> sent;
        sent.swap(link.sent);
        return sent;
    }
};

// An unattended controller on a clock the test moves.
struct StrictRig {
    EventLog log;
    RecordingDisplay display{log};
    RecordingLink link{log};
    Millis now{0};
    TransferController ctl{display, link, StrictLimits{Millis{5000}, Millis{1000}, 1, std::nullopt},
                           [this] { return now; }};

    QList<QByteArray> image;

    explicit StrictRig(const QList<QByteArray> &lines) : image(lines)
    {
        ctl.ToggleLink({"127.0.0.1", "111", "0"});
        LineTable table;
        for (const QByteArray &line : image)
            table.append(line);
        ctl.adoptImage(std::move(table));
    }

    // Steps: "inq", a reply ("VER=1", "OK", ...), or "+ms" to move the clock
    // and let a due deadline act. Returns what went out, as "i" for an
    // inquiry, "d<n>" and "v<n>" for lines of the download and verify pass.
    QString run(const QStringList &steps)
    {
        for (const QString &step : steps) {
            if (step == QLatin1String("inq")) {
                ctl.PollDevice();
            } else if (step.startsWith(QLatin1Char('+'))) {
                now += Millis(step.mid(1).toInt());
                if (const auto due = ctl.deadline(); due && now >= *due)
                    ctl.handleTimeout();
            } else {
                ctl.HandleReply(step.toLatin1());
            }
        }
        QStringList out;
        for (const QByteArray &datagram : std::as_const(link.sent)) {
            if (datagram == "BOOTi\r\n")
                out << QStringLiteral("i");
            else if (image.contains(datagram.mid(4).chopped(2)))
                out << QStringLiteral("d%1").arg(image.indexOf(datagram.mid(4).chopped(2)) + 1);
            else
                out << QStringLiteral("v%1").arg(
                    image.indexOf(datagram.mid(4).chopped(2).replace('#', ':')) + 1);
        }
        return out.join(QLatin1Char(' '));
    }
};

} // namespace

class TestTransferController : public QObject {
    Q_OBJECT
private slots:
    void wholeTransferOnTheWire()
    {
        Rig rig;
        rig.ctl.PollDevice();
        rig.ctl.PollDevice();
        QCOMPARE(rig.takeSent(), QList<QByteArray>({"BOOTi\r\n", "BOOTi\r\n"}));

        const QList<QByteArray> image = makeImage(4);
        rig.load(image);
        rig.ctl.HandleReply("VER=2.01  ");
        QVERIFY(!rig.link.polling);
        for (int i = 0; i < 3; ++i)
            rig.ctl.HandleReply("OK");
        rig.ctl.HandleReply("DOWNLOAD");
        for (int i = 0; i < 3; ++i)
            rig.ctl.HandleReply("OK\r\n");
        QCOMPARE(rig.ctl.state().verifying, 1);
        rig.ctl.HandleReply("DOWNLOAD OK");

        QList<QByteArray> expected;
        for (const QByteArray &line : image)
            expected.append(down(line));
        for (const QByteArray &line : image)
            expected.append(verify(line));
        QCOMPARE(rig.takeSent(), expected);

        QCOMPARE(rig.display.statusWords, QStringList({"READY", "DOWNLOAD", "DOWNLOAD", "DOWNLOAD",
                                                       "DOWNLOAD", "VERIFY", "END"}));
        QCOMPARE(rig.display.barColour, colour::kGreen);
        QCOMPARE(rig.display.barMaximum, 4);
        QCOMPARE(rig.display.barValue, 4);
        QVERIFY(rig.display.openFileAllowed);
        QVERIFY(rig.display.receivedReply.isEmpty());
        QCOMPARE(rig.display.classifiedReply, QByteArray("DOWNLOAD OK"));
        const TransferState &s = rig.ctl.state();
        QCOMPARE(s.imageLoaded, 0);
        QCOMPARE(s.verifying, 0);
        QCOMPARE(s.position, 0);

        // After "END" nothing more goes out, whatever the device says; a stray
        // "DOWNLOAD" changes only the reply views.
        for (const char *reply : {"OK", "VER=2.01", "DOWNLOAD", "DOWNLOAD"})
            rig.ctl.HandleReply(reply);
        QVERIFY(rig.link.sent.isEmpty());
        rig.ctl.SendNextLine();
        QVERIFY(rig.link.sent.isEmpty());
        QCOMPARE(rig.display.status, QString("END"));
        QCOMPARE(s.verifying, 0);
        QCOMPARE(rig.display.replyView, QByteArray("DOWNLOAD"));
    }

    void loadAfterPollingStoppedStartsOnOkOrSend()
    {
        Rig rig;
        const QList<QByteArray> first = makeImage(2), second = makeImage(3);
        rig.load(first);
        for (const char *reply : {"VER=1", "OK", "DOWNLOAD", "OK", "DOWNLOAD"})
            rig.ctl.HandleReply(reply);
        QCOMPARE(rig.display.status, QString("END"));
        rig.takeSent();

        // A load after the end: polling is over, so the next "OK" begins.
        rig.load(second);
        rig.ctl.HandleReply("OK");
        QCOMPARE(rig.takeSent(), QList<QByteArray>({down(second[0])}));
        QCOMPARE(rig.display.status, QString("DOWNLOAD"));

        // ... and "Send" sends the next line by hand.
        rig.ctl.SendNextLine();
        QCOMPARE(rig.takeSent(), QList<QByteArray>({down(second[1])}));
    }

    void errorStopsAndLaterOkResumes()
    {
        Rig rig;
        const QList<QByteArray> image = makeImage(5);
        rig.load(image);
        rig.ctl.HandleReply("VER=1");
        rig.ctl.HandleReply("OK");
        rig.ctl.HandleReply("line 2 OK but ERROR 17");
        QCOMPARE(rig.display.status, QString("ERROR"));
        QCOMPARE(rig.display.barColour, colour::kRed);
        QCOMPARE(rig.ctl.state().position, 2);
        QCOMPARE(rig.ctl.state().imageLoaded, 1);
        QCOMPARE(rig.takeSent(), QList<QByteArray>({down(image[0]), down(image[1])}));

        rig.ctl.HandleReply("OK");
        QCOMPARE(rig.takeSent(), QList<QByteArray>({down(image[2])}));
        QCOMPARE(rig.display.status, QString("DOWNLOAD"));

        // In the verify pass the same: "ERROR" stops, "OK" goes on verifying.
        rig.ctl.HandleReply("OK");
        rig.ctl.HandleReply("OK");
        rig.ctl.HandleReply("DOWNLOAD");
        rig.ctl.HandleReply("ERROR");
        rig.ctl.HandleReply("OK");
        QCOMPARE(rig.takeSent(), QList<QByteArray>({down(image[3]), down(image[4]),
                                                    verify(image[0]), verify(image[1])}));
        QCOMPARE(rig.display.status, QString("ERROR")); // the verify pass does not reword it
    }

    void versionMidPassActsLikeOk()
    {
        Rig rig;
        const QList<QByteArray> image = makeImage(3);
        rig.load(image);
        rig.ctl.HandleReply("VER=1");
        rig.ctl.HandleReply("VER=1 again");
        QCOMPARE(rig.takeSent(), QList<QByteArray>({down(image[0]), down(image[1])}));
    }

    void plainOkToLastLineWrapsToLineOne()
    {
        Rig rig;
        const QList<QByteArray> image = makeImage(2);
        rig.load(image);
        rig.ctl.HandleReply("VER=1");
        rig.ctl.HandleReply("OK");
        QCOMPARE(rig.ctl.state().position, 0);
        rig.ctl.HandleReply("OK");
        QCOMPARE(rig.takeSent(),
                 QList<QByteArray>({down(image[0]), down(image[1]), down(image[0])}));
        QCOMPARE(rig.ctl.state().verifying, 0);
    }

    void oneLineImage()
    {
        Rig rig;
        const QList<QByteArray> image = {":00000001FF"};
        rig.load(image);
        rig.ctl.HandleReply("VER=1");
        QCOMPARE(rig.ctl.state().position, 0);
        rig.ctl.HandleReply("OK");
        rig.ctl.HandleReply("DOWNLOAD");
        rig.ctl.HandleReply("OK");
        rig.ctl.HandleReply("DOWNLOAD");
        QCOMPARE(rig.takeSent(), QList<QByteArray>({"BOOT:00000001FF\r\n", "BOOT:00000001FF\r\n",
                                                    "BOOT#00000001FF\r\n", "BOOT#00000001FF\r\n"}));
        QCOMPARE(rig.display.status, QString("END"));
    }

    void nothingIsSentWithoutAnImage()
    {
        Rig rig;
        rig.ctl.SendNextLine();
        for (const char *reply : {"VER=1", "OK", "DOWNLOAD"})
            rig.ctl.HandleReply(reply);
        QVERIFY(rig.link.sent.isEmpty());
        QVERIFY(rig.link.polling); // "VER=" without an image does not stop polling
        // "DOWNLOAD" while idle must not start a verify pass.
        QCOMPARE(rig.ctl.state().verifying, 0);
        QVERIFY(!rig.display.statusWords.contains("VERIFY"));

        // An image of no lines: loads, but nothing is ever sent from it.
        rig.load({});
        QCOMPARE(rig.display.status, QString("READY"));
        for (const char *reply : {"VER=1", "OK", "OK", "DOWNLOAD", "OK"})
            rig.ctl.HandleReply(reply);
        rig.ctl.SendNextLine();
        QVERIFY(rig.link.sent.isEmpty());
        QCOMPARE(rig.ctl.state().position, 0);
    }

    void shorterImageNeverSendsOldLines()
    {
        Rig rig;
        const QList<QByteArray> longer = makeImage(5), shorter = makeImage(2);
        rig.load(longer);
        rig.ctl.HandleReply("VER=1");
        rig.ctl.HandleReply("OK");
        rig.ctl.HandleReply("OK");
        rig.takeSent();
        rig.load(shorter);
        for (int i = 0; i < 3; ++i)
            rig.ctl.HandleReply("OK");
        QCOMPARE(rig.takeSent(),
                 QList<QByteArray>({down(shorter[0]), down(shorter[1]), down(shorter[0])}));
    }

    void installOrder()
    {
        Rig rig;
        rig.load(makeImage(2));
        rig.ctl.HandleReply("VER=1");
        rig.log.events.clear();
        rig.ctl.InstallFirmware();
        const QStringList expected = {
            "stop inquiry timer",   "send BOOTg\r\n", "pause 100",        "close",
            "clear received reply", "no link",        "forbid open file", "value 0",
            "colour 8388608",       "status NO FILE", "caption Connect",  "clear reply view"};
        QCOMPARE(rig.log.events, expected);
        QCOMPARE(rig.link.sent.last(), QByteArray("BOOTg\r\n"));
        const TransferState &s = rig.ctl.state();
        QCOMPARE(s.connected, 0);
        QCOMPARE(s.imageLoaded, 0);
        QCOMPARE(s.linkActivity, 50);
        QVERIFY(!rig.link.isOpen);

        // Install again with the link closed: nothing is sent, nothing breaks,
        // and the window is still reset and can connect again.
        rig.link.sent.clear();
        rig.ctl.InstallFirmware();
        QVERIFY(rig.link.sent.isEmpty());
        QCOMPARE(rig.display.linkCaption, QString("Connect"));
        QVERIFY(!rig.ctl.ToggleLink({"127.0.0.1", "111", "0"}));
        QCOMPARE(rig.ctl.state().connected, 1);
    }

    void connectAndDisconnectOrder()
    {
        Rig rig(false);
        rig.load(makeImage(2));
        rig.log.events.clear();
        QVERIFY(!rig.ctl.ToggleLink({"127.0.0.1", "4242", "5999"}));
        QCOMPARE(rig.log.events,
                 QStringList({"value 0", "colour 8388608", "arp", "open", "allow open file",
                              "start inquiry timer", "caption Disconnect"}));
        QCOMPARE(rig.link.lastSettings.remotePort, QString("4242"));
        const TransferState &s = rig.ctl.state();
        QCOMPARE(s.connected, 1);
        QCOMPARE(s.linkActivity, 0);
        QCOMPARE(s.imageLoaded, 0);
        QCOMPARE(s.verifying, 0);

        rig.log.events.clear();
        QVERIFY(!rig.ctl.ToggleLink({}));
        QCOMPARE(rig.log.events,
                 QStringList({"stop inquiry timer", "close", "clear received reply", "no link",
                              "forbid open file", "value 0", "colour 8388608", "status NO FILE",
                              "caption Connect", "clear reply view"}));
        QCOMPARE(s.connected, 0);
        QCOMPARE(s.linkActivity, 50);
    }

    void failedConnectLeavesToolUsable()
    {
        Rig rig(false);
        rig.link.openError = OperatorError{errnum::kAddressInUse, "port 6000 is in use"};
        const auto error = rig.ctl.ToggleLink({"127.0.0.1", "111", "6000"});
        QVERIFY(error);
        QCOMPARE(error->title(), QString("Error#10048"));
        QCOMPARE(rig.ctl.state().connected, 0);
        QVERIFY(!rig.link.polling);
        QVERIFY(!rig.display.openFileAllowed);
        QCOMPARE(rig.display.linkCaption, QString("Connect"));

        rig.link.openError.reset();
        QVERIFY(!rig.ctl.ToggleLink({"127.0.0.1", "111", "6001"}));
        QCOMPARE(rig.ctl.state().connected, 1);
    }

    void linkIndicatorTiming()
    {
        Rig rig(false);
        // Idle: the counter stays at 50 and the no-link image shows.
        for (int i = 0; i < 3; ++i) {
            rig.ctl.TickLinkIndicator();
            QCOMPARE(rig.ctl.state().linkActivity, 50);
            QVERIFY(!rig.display.linkAlive);
        }
        rig.ctl.HandleReply("hello");
        for (int tick = 1; tick <= 49; ++tick) {
            rig.ctl.TickLinkIndicator();
            QVERIFY2(rig.display.linkAlive, qPrintable(QString::number(tick)));
        }
        rig.ctl.TickLinkIndicator();
        QVERIFY(!rig.display.linkAlive);

        // After connect the counter starts at 0: 50 ticks of link-alive.
        QVERIFY(!rig.ctl.ToggleLink({"127.0.0.1", "111", "0"}));
        for (int tick = 1; tick <= 50; ++tick) {
            rig.ctl.TickLinkIndicator();
            QVERIFY(rig.display.linkAlive);
        }
        rig.ctl.TickLinkIndicator();
        QVERIFY(!rig.display.linkAlive);
    }

    void unattendedTransfer_data()
    {
        using Kind = TransferFailure::Kind;
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QString>("sent");
        QTest::addColumn<TransferPhase>("phase");
        QTest::addColumn<Kind>("failure");

        const auto row = [](const char *name, const char *steps, const char *sent,
                            TransferPhase phase, Kind failure = Kind::None) {
            QTest::newRow(name) << QString::fromLatin1(steps).split(QLatin1Char(' ')) << sent
                                << phase << failure;
        };
        // The end stands once the device has had time to say otherwise: at
        // least 50 ms, and twice the slowest answer.
        row("clean", "inq VER=1 OK OK DOWNLOAD OK OK DOWNLOAD +49", "i d1 d2 d3 v1 v2 v3",
            TransferPhase::Verify);
        row("clean, confirmed", "inq VER=1 OK OK DOWNLOAD OK OK DOWNLOAD +50",
            "i d1 d2 d3 v1 v2 v3", TransferPhase::Ended);
        row("slow answers, quiet for twice the slowest",
            "inq VER=1 +40 OK +40 OK +40 DOWNLOAD +40 OK +40 OK +100 DOWNLOAD +199 +1",
            "i d1 d2 d3 v1 v2 v3", TransferPhase::Ended);
        row("slow answers, ERROR within twice the slowest",
            "inq VER=1 +40 OK +40 OK +40 DOWNLOAD +40 OK +40 OK +100 DOWNLOAD +150 ERROR",
            "i d1 d2 d3 v1 v2 v3", TransferPhase::Failed, Kind::DeviceError);
        row("nothing counts before the inquiry", "ERROR VER=1 OK inq VER=1", "i d1",
            TransferPhase::Download);
        // No sequence numbers: a reply that no datagram of ours explains shows
        // that replies are copied, and from then on none can be paired.
        row("late pass end in the verify pass", "inq VER=1 OK OK DOWNLOAD DOWNLOAD OK",
            "i d1 d2 d3 v1", TransferPhase::Failed, Kind::Unpaired);
        row("stale pass end", "inq VER=1 DOWNLOAD +1000", "i d1", TransferPhase::Failed,
            Kind::Unpaired);
        row("duplicated OK runs ahead to the last line", "inq VER=1 OK OK OK", "i d1 d2 d3",
            TransferPhase::Failed, Kind::Unpaired);
        row("a reply after every line had its answer",
            "inq VER=1 OK OK DOWNLOAD OK OK DOWNLOAD +10 OK", "i d1 d2 d3 v1 v2 v3",
            TransferPhase::Failed, Kind::Unpaired);
        row("two VER= to one inquiry", "inq VER=1 VER=1", "i d1", TransferPhase::Failed,
            Kind::Unpaired);
        row("VER= to each of two inquiries", "inq inq VER=1 VER=1 OK", "i i d1 d2",
            TransferPhase::Download);
        // A late copy of the download pass's end lands just while the last
        // verify line waits, ahead of the device's own "ERROR" to it.
        row("late pass end, then the device's ERROR",
            "inq VER=1 OK OK DOWNLOAD OK OK DOWNLOAD ERROR +1000", "i d1 d2 d3 v1 v2 v3",
            TransferPhase::Failed, Kind::DeviceError);
        // The end record's answer comes after its time-out: it is sent again,
        // and its second answer waits out before the verify pass begins.
        row("resent end answered twice",
            "inq VER=1 OK OK +1000 DOWNLOAD DOWNLOAD OK OK DOWNLOAD +50", "i d1 d2 d3 d3 v1 v2 v3",
            TransferPhase::Ended);
        row("resent end answered once", "inq VER=1 OK OK +1000 DOWNLOAD +999 +1 OK",
            "i d1 d2 d3 d3 v1 v2", TransferPhase::Verify);
        row("resent line refused by its second answer", "inq VER=1 OK +1000 OK ERROR", "i d1 d2 d2",
            TransferPhase::Failed, Kind::DeviceError);
        row("unknown reply, then silence", "inq VER=1 hello +1000 +1000", "i d1 d1",
            TransferPhase::Failed, Kind::NoAnswer);
        row("device error", "inq VER=1 OK ERROR OK", "i d1 d2", TransferPhase::Failed,
            Kind::DeviceError);
        row("no VER=", "inq OK DOWNLOAD +4999 inq +1", "i i", TransferPhase::Failed,
            Kind::NoVersion);
    }

    void unattendedTransfer()
    {
        QFETCH(QStringList, steps);
        QFETCH(QString, sent);
        QFETCH(TransferPhase, phase);
        QFETCH(TransferFailure::Kind, failure);
        StrictRig rig(makeImage(2) << ":00000001FF");
        QCOMPARE(rig.run(steps), sent);
        QCOMPARE(rig.ctl.phase(), phase);
        QCOMPARE(rig.ctl.failure().kind, failure);
    }

    void unattendedFailureSaysWhatCameInstead()
    {
        StrictRig rig(makeImage(2) << ":00000001FF");
        rig.run({"inq", "VER=1", "OK", "hello", "+1000", "+1000"});
        const TransferFailure &f = rig.ctl.failure();
        QCOMPARE(f.kind, TransferFailure::Kind::NoAnswer);
        QCOMPARE(f.phase, TransferPhase::Download);
        QCOMPARE(f.line, 2);
        QCOMPARE(f.sends, 2);
        QCOMPARE(f.reply, QByteArray("hello"));
        QCOMPARE(f.instead, Verdict::Unrecognised);
        QCOMPARE(rig.ctl.resends(), 1);
        QCOMPARE(rig.ctl.ignoredReplies(), 1);
    }

    void hostileRepliesKeepStateSound()
    {
        Rig rig;
        const QList<QByteArray> image = makeImage(7);
        QSet<QByteArray> allowed = {"BOOTi\r\n"};
        for (const QByteArray &line : image)
            allowed << down(line) << verify(line);

        QRandomGenerator random(1234);
        const QByteArray tokens[] = {"VER=", "ERROR", "DOWNLOAD", "OK", " ", "\0", "\r\n"};
        QList<QByteArray> replies = {QByteArray(65536, 'x') + "OK", QByteArray(65536, ' '),
                                     QByteArray(4096, '\0'), "DOWNLOAD" + QByteArray(65536, ' ')};
        for (int i = 0; i < 20000; ++i) {
            QByteArray reply(int(random.bounded(40)), Qt::Uninitialized);
            for (char &c : reply)
                c = char(random.bounded(256));
            if (random.bounded(2))
                reply.insert(int(random.bounded(reply.size() + 1)),
                             tokens[random.bounded(int(std::size(tokens)))]);
            replies.append(reply);
        }
        int n = 0;
        for (const QByteArray &reply : replies) {
            if (++n % 500 == 0)
                rig.load(image.mid(0, int(random.bounded(image.size() + 1))));
            if (n % 777 == 0)
                rig.ctl.SendNextLine();
            rig.ctl.HandleReply(reply);
            const TransferState &s = rig.ctl.state();
            QVERIFY(s.position >= 0 && s.position <= s.lineCount);
            QVERIFY(s.verifying == 0 || s.verifying == 1);
            QVERIFY(s.imageLoaded == 0 || s.imageLoaded == 1);
        }
        QVERIFY(!rig.link.sent.isEmpty());
        for (const QByteArray &datagram : std::as_const(rig.link.sent))
            QVERIFY2(allowed.contains(datagram), datagram.constData());
    }
};

QTEST_APPLESS_MAIN(TestTransferController)
#include "test_transfer_controller.moc"
