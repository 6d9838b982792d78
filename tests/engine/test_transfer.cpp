#include "engine/protocol.h"
#include "support/transfer_rig.h"

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

// The window's transfer on recorders, connected and polling.
struct Rig : TransferRig {
    explicit Rig(bool connect = true)
    {
        if (connect) {
            const auto error = ToggleLink({"127.0.0.1", "111", "0"});
            Q_ASSERT(!error);
        }
    }

    QList<QByteArray> takeSent()
    {
        QList<QByteArray> sent;
        sent.swap(link.sent);
        return sent;
    }
};

// An unattended transfer on a clock the test moves.
struct StrictRig : TransferRig {
    QList<QByteArray> image;

    explicit StrictRig(const QList<QByteArray> &lines)
        : TransferRig(Policy::strict({Millis{5000}, Millis{1000}, 1})), image(lines)
    {
        ToggleLink({"127.0.0.1", "111", "0"});
        load(image);
    }

    // Steps: "inq", a reply ("VER=1", "OK", ...), or "+ms" to move the clock
    // and let a due deadline act. Returns what went out, as "i" for an
    // inquiry, "d<n>" and "v<n>" for lines of the download and verify pass.
    QString run(const QStringList &steps)
    {
        for (const QString &step : steps) {
            if (step == QLatin1String("inq"))
                PollDevice();
            else if (step.startsWith(QLatin1Char('+')))
                advanceTo(now + Millis(step.mid(1).toInt()));
            else
                HandleReply(step.toLatin1());
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

class TestTransfer : public QObject {
    Q_OBJECT
private slots:
    void wholeTransferOnTheWire()
    {
        Rig rig;
        rig.PollDevice();
        rig.PollDevice();
        QCOMPARE(rig.takeSent(), QList<QByteArray>({"BOOTi\r\n", "BOOTi\r\n"}));

        const QList<QByteArray> image = makeImage(4);
        rig.load(image);
        rig.HandleReply("VER=2.01  ");
        QVERIFY(!rig.link.polling);
        for (int i = 0; i < 3; ++i)
            rig.HandleReply("OK");
        rig.HandleReply("DOWNLOAD");
        for (int i = 0; i < 3; ++i)
            rig.HandleReply("OK\r\n");
        QCOMPARE(rig.state().verifying, 1);
        rig.HandleReply("DOWNLOAD OK");

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
        const TransferState &s = rig.state();
        QCOMPARE(s.imageLoaded, 0);
        QCOMPARE(s.verifying, 0);
        QCOMPARE(s.position, 0);

        // After "END" nothing more goes out, whatever the device says; a stray
        // "DOWNLOAD" changes only the reply views.
        for (const char *reply : {"OK", "VER=2.01", "DOWNLOAD", "DOWNLOAD"})
            rig.HandleReply(reply);
        QVERIFY(rig.link.sent.isEmpty());
        rig.SendNextLine();
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
            rig.HandleReply(reply);
        QCOMPARE(rig.display.status, QString("END"));
        rig.takeSent();

        // A load after the end: polling is over, so the next "OK" begins.
        rig.load(second);
        rig.HandleReply("OK");
        QCOMPARE(rig.takeSent(), QList<QByteArray>({down(second[0])}));
        QCOMPARE(rig.display.status, QString("DOWNLOAD"));

        // ... and "Send" sends the next line by hand.
        rig.SendNextLine();
        QCOMPARE(rig.takeSent(), QList<QByteArray>({down(second[1])}));
    }

    void errorStopsAndLaterOkResumes()
    {
        Rig rig;
        const QList<QByteArray> image = makeImage(5);
        rig.load(image);
        rig.HandleReply("VER=1");
        rig.HandleReply("OK");
        rig.HandleReply("line 2 OK but ERROR 17");
        QCOMPARE(rig.display.status, QString("ERROR"));
        QCOMPARE(rig.display.barColour, colour::kRed);
        QCOMPARE(rig.state().position, 2);
        QCOMPARE(rig.state().imageLoaded, 1);
        QCOMPARE(rig.takeSent(), QList<QByteArray>({down(image[0]), down(image[1])}));

        rig.HandleReply("OK");
        QCOMPARE(rig.takeSent(), QList<QByteArray>({down(image[2])}));
        QCOMPARE(rig.display.status, QString("DOWNLOAD"));

        // In the verify pass the same: "ERROR" stops, "OK" goes on verifying.
        rig.HandleReply("OK");
        rig.HandleReply("OK");
        rig.HandleReply("DOWNLOAD");
        rig.HandleReply("ERROR");
        rig.HandleReply("OK");
        QCOMPARE(rig.takeSent(), QList<QByteArray>({down(image[3]), down(image[4]),
                                                    verify(image[0]), verify(image[1])}));
        QCOMPARE(rig.display.status, QString("ERROR")); // the verify pass does not reword it
    }

    void versionMidPassActsLikeOk()
    {
        Rig rig;
        const QList<QByteArray> image = makeImage(3);
        rig.load(image);
        rig.HandleReply("VER=1");
        rig.HandleReply("VER=1 again");
        QCOMPARE(rig.takeSent(), QList<QByteArray>({down(image[0]), down(image[1])}));
    }

    void plainOkToLastLineWrapsToLineOne()
    {
        Rig rig;
        const QList<QByteArray> image = makeImage(2);
        rig.load(image);
        rig.HandleReply("VER=1");
        rig.HandleReply("OK");
        QCOMPARE(rig.state().position, 0);
        rig.HandleReply("OK");
        QCOMPARE(rig.takeSent(),
                 QList<QByteArray>({down(image[0]), down(image[1]), down(image[0])}));
        QCOMPARE(rig.state().verifying, 0);
    }

    void oneLineImage()
    {
        Rig rig;
        const QList<QByteArray> image = {":00000001FF"};
        rig.load(image);
        rig.HandleReply("VER=1");
        QCOMPARE(rig.state().position, 0);
        rig.HandleReply("OK");
        rig.HandleReply("DOWNLOAD");
        rig.HandleReply("OK");
        rig.HandleReply("DOWNLOAD");
        QCOMPARE(rig.takeSent(), QList<QByteArray>({"BOOT:00000001FF\r\n", "BOOT:00000001FF\r\n",
                                                    "BOOT#00000001FF\r\n", "BOOT#00000001FF\r\n"}));
        QCOMPARE(rig.display.status, QString("END"));
    }

    void nothingIsSentWithoutAnImage()
    {
        Rig rig;
        rig.SendNextLine();
        for (const char *reply : {"VER=1", "OK", "DOWNLOAD"})
            rig.HandleReply(reply);
        QVERIFY(rig.link.sent.isEmpty());
        QVERIFY(rig.link.polling); // "VER=" without an image does not stop polling
        // "DOWNLOAD" while idle must not start a verify pass.
        QCOMPARE(rig.state().verifying, 0);
        QVERIFY(!rig.display.statusWords.contains("VERIFY"));

        // An image of no lines: loads, but nothing is ever sent from it.
        rig.load({});
        QCOMPARE(rig.display.status, QString("READY"));
        for (const char *reply : {"VER=1", "OK", "OK", "DOWNLOAD", "OK"})
            rig.HandleReply(reply);
        rig.SendNextLine();
        QVERIFY(rig.link.sent.isEmpty());
        QCOMPARE(rig.state().position, 0);
    }

    void shorterImageNeverSendsOldLines()
    {
        Rig rig;
        const QList<QByteArray> longer = makeImage(5), shorter = makeImage(2);
        rig.load(longer);
        rig.HandleReply("VER=1");
        rig.HandleReply("OK");
        rig.HandleReply("OK");
        rig.takeSent();
        rig.load(shorter);
        for (int i = 0; i < 3; ++i)
            rig.HandleReply("OK");
        QCOMPARE(rig.takeSent(),
                 QList<QByteArray>({down(shorter[0]), down(shorter[1]), down(shorter[0])}));
    }

    void installOrder()
    {
        Rig rig;
        rig.load(makeImage(2));
        rig.HandleReply("VER=1");
        rig.log.events.clear();
        rig.InstallFirmware();
        const QStringList expected = {
            "stop inquiry timer",   "send BOOTg\r\n", "pause 100",        "close",
            "clear received reply", "no link",        "forbid open file", "value 0",
            "colour 8388608",       "status NO FILE", "caption Connect",  "clear reply view"};
        QCOMPARE(rig.log.events, expected);
        QCOMPARE(rig.link.sent.last(), QByteArray("BOOTg\r\n"));
        const TransferState &s = rig.state();
        QCOMPARE(s.connected, 0);
        QCOMPARE(s.imageLoaded, 0);
        QCOMPARE(s.linkActivity, 50);
        QVERIFY(!rig.link.isOpen);

        // Install again with the link closed: nothing is sent, nothing breaks,
        // and the window is still reset and can connect again.
        rig.link.sent.clear();
        rig.InstallFirmware();
        QVERIFY(rig.link.sent.isEmpty());
        QCOMPARE(rig.display.linkCaption, QString("Connect"));
        QVERIFY(!rig.ToggleLink({"127.0.0.1", "111", "0"}));
        QCOMPARE(rig.state().connected, 1);
    }

    void connectAndDisconnectOrder()
    {
        Rig rig(false);
        rig.load(makeImage(2));
        rig.log.events.clear();
        QVERIFY(!rig.ToggleLink({"127.0.0.1", "4242", "5999"}));
        QCOMPARE(rig.log.events,
                 QStringList({"value 0", "colour 8388608", "arp", "open", "allow open file",
                              "start inquiry timer", "caption Disconnect"}));
        QCOMPARE(rig.link.lastSettings.remotePort, QString("4242"));
        const TransferState &s = rig.state();
        QCOMPARE(s.connected, 1);
        QCOMPARE(s.linkActivity, 0);
        QCOMPARE(s.imageLoaded, 0);
        QCOMPARE(s.verifying, 0);

        rig.log.events.clear();
        QVERIFY(!rig.ToggleLink({}));
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
        const auto error = rig.ToggleLink({"127.0.0.1", "111", "6000"});
        QVERIFY(error);
        QCOMPARE(error->title(), QString("Error#10048"));
        QCOMPARE(rig.state().connected, 0);
        QVERIFY(!rig.link.polling);
        QVERIFY(!rig.display.openFileAllowed);
        QCOMPARE(rig.display.linkCaption, QString("Connect"));

        rig.link.openError.reset();
        QVERIFY(!rig.ToggleLink({"127.0.0.1", "111", "6001"}));
        QCOMPARE(rig.state().connected, 1);
    }

    void linkIndicatorTiming()
    {
        Rig rig(false);
        // Idle: the counter stays at 50 and the no-link image shows.
        for (int i = 0; i < 3; ++i) {
            rig.TickLinkIndicator();
            QCOMPARE(rig.state().linkActivity, 50);
            QVERIFY(!rig.display.linkAlive);
        }
        rig.HandleReply("hello");
        for (int tick = 1; tick <= 49; ++tick) {
            rig.TickLinkIndicator();
            QVERIFY2(rig.display.linkAlive, qPrintable(QString::number(tick)));
        }
        rig.TickLinkIndicator();
        QVERIFY(!rig.display.linkAlive);

        // After connect the counter starts at 0: 50 ticks of link-alive.
        QVERIFY(!rig.ToggleLink({"127.0.0.1", "111", "0"}));
        for (int tick = 1; tick <= 50; ++tick) {
            rig.TickLinkIndicator();
            QVERIFY(rig.display.linkAlive);
        }
        rig.TickLinkIndicator();
        QVERIFY(!rig.display.linkAlive);
    }

    void unattendedTransfer_data()
    {
        using Kind = TransferFailure::Kind;
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QString>("sent");
        QTest::addColumn<Phase>("phase");
        QTest::addColumn<Kind>("failure");

        const auto row = [](const char *name, const char *steps, const char *sent,
                            Phase phase, Kind failure = Kind::None) {
            QTest::newRow(name) << QString::fromLatin1(steps).split(QLatin1Char(' ')) << sent
                                << phase << failure;
        };
        // The end stands once the device has had time to say otherwise: at
        // least 50 ms, and twice the slowest answer.
        row("clean", "inq VER=1 OK OK DOWNLOAD OK OK DOWNLOAD +49", "i d1 d2 d3 v1 v2 v3",
            Phase::Verify);
        row("clean, confirmed", "inq VER=1 OK OK DOWNLOAD OK OK DOWNLOAD +50",
            "i d1 d2 d3 v1 v2 v3", Phase::Ended);
        row("slow answers, quiet for twice the slowest",
            "inq VER=1 +40 OK +40 OK +40 DOWNLOAD +40 OK +40 OK +100 DOWNLOAD +199 +1",
            "i d1 d2 d3 v1 v2 v3", Phase::Ended);
        row("slow answers, ERROR within twice the slowest",
            "inq VER=1 +40 OK +40 OK +40 DOWNLOAD +40 OK +40 OK +100 DOWNLOAD +150 ERROR",
            "i d1 d2 d3 v1 v2 v3", Phase::Failed, Kind::DeviceError);
        row("nothing counts before the inquiry", "ERROR VER=1 OK inq VER=1", "i d1",
            Phase::Download);
        // No sequence numbers: a reply that no datagram of ours explains shows
        // that replies are copied, and from then on none can be paired.
        row("late pass end in the verify pass", "inq VER=1 OK OK DOWNLOAD DOWNLOAD OK",
            "i d1 d2 d3 v1", Phase::Failed, Kind::Unpaired);
        row("stale pass end", "inq VER=1 DOWNLOAD +1000", "i d1", Phase::Failed,
            Kind::Unpaired);
        row("duplicated OK runs ahead to the last line", "inq VER=1 OK OK OK", "i d1 d2 d3",
            Phase::Failed, Kind::Unpaired);
        row("a reply after every line had its answer",
            "inq VER=1 OK OK DOWNLOAD OK OK DOWNLOAD +10 OK", "i d1 d2 d3 v1 v2 v3",
            Phase::Failed, Kind::Unpaired);
        row("two VER= to one inquiry", "inq VER=1 VER=1", "i d1", Phase::Failed,
            Kind::Unpaired);
        row("VER= to each of two inquiries", "inq inq VER=1 VER=1 OK", "i i d1 d2",
            Phase::Download);
        // A late copy of the download pass's end lands just while the last
        // verify line waits, ahead of the device's own "ERROR" to it.
        row("late pass end, then the device's ERROR",
            "inq VER=1 OK OK DOWNLOAD OK OK DOWNLOAD ERROR +1000", "i d1 d2 d3 v1 v2 v3",
            Phase::Failed, Kind::DeviceError);
        // The end record's answer comes after its time-out: it is sent again,
        // and its second answer waits out before the verify pass begins.
        row("resent end answered twice",
            "inq VER=1 OK OK +1000 DOWNLOAD DOWNLOAD OK OK DOWNLOAD +50", "i d1 d2 d3 d3 v1 v2 v3",
            Phase::Ended);
        row("resent end answered once", "inq VER=1 OK OK +1000 DOWNLOAD +999 +1 OK",
            "i d1 d2 d3 d3 v1 v2", Phase::Verify);
        row("resent line refused by its second answer", "inq VER=1 OK +1000 OK ERROR", "i d1 d2 d2",
            Phase::Failed, Kind::DeviceError);
        row("unknown reply, then silence", "inq VER=1 hello +1000 +1000", "i d1 d1",
            Phase::Failed, Kind::NoAnswer);
        row("device error", "inq VER=1 OK ERROR OK", "i d1 d2", Phase::Failed,
            Kind::DeviceError);
        row("inquiries every 500 ms", "inq +499 +1 +499 +1", "i i i", Phase::Polling);
        row("no VER=", "inq OK DOWNLOAD +4999 +1", "i i", Phase::Failed, Kind::NoVersion);
    }

    void unattendedTransfer()
    {
        QFETCH(QStringList, steps);
        QFETCH(QString, sent);
        QFETCH(Phase, phase);
        QFETCH(TransferFailure::Kind, failure);
        StrictRig rig(makeImage(2) << ":00000001FF");
        QCOMPARE(rig.run(steps), sent);
        QCOMPARE(rig.core.phase(), phase);
        QCOMPARE(rig.core.failure().kind, failure);
    }

    void unattendedFailureSaysWhatCameInstead()
    {
        StrictRig rig(makeImage(2) << ":00000001FF");
        rig.run({"inq", "VER=1", "OK", "hello", "+1000", "+1000"});
        const TransferFailure &f = rig.core.failure();
        QCOMPARE(f.kind, TransferFailure::Kind::NoAnswer);
        QCOMPARE(f.phase, Phase::Download);
        QCOMPARE(f.line, 2);
        QCOMPARE(f.sends, 2);
        QCOMPARE(f.reply, QByteArray("hello"));
        QCOMPARE(f.instead, Verdict::Unrecognised);
        QCOMPARE(rig.core.resends(), 1);
        QCOMPARE(rig.core.ignoredReplies(), 1);
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
                rig.SendNextLine();
            rig.HandleReply(reply);
            const TransferState &s = rig.state();
            QVERIFY(s.position >= 0 && s.position <= s.lineCount);
            QVERIFY(s.verifying == 0 || s.verifying == 1);
            QVERIFY(s.imageLoaded == 0 || s.imageLoaded == 1);
        }
        QVERIFY(!rig.link.sent.isEmpty());
        for (const QByteArray &datagram : std::as_const(rig.link.sent))
            QVERIFY2(allowed.contains(datagram), datagram.constData());
    }
};

QTEST_APPLESS_MAIN(TestTransfer)
#include "test_transfer.moc"
