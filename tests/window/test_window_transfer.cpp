// The window's real driver on fake seams: its operations by name, the exact
// bytes of every datagram, and what the operator sees, in order.

#include "engine/protocol.h"
#include "support/window_rig.h"

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

// The window on recorders, connected and polling.
struct Rig : WindowRig {
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

} // namespace

class TestWindowTransfer : public QObject {
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
        QVERIFY(!rig.polling());
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

        QCOMPARE(rig.display.statusWords, QStringList({"NO FILE", "READY", "DOWNLOAD", "DOWNLOAD",
                                                       "DOWNLOAD", "DOWNLOAD", "VERIFY", "END"}));
        QCOMPARE(rig.display.barColour, colour::kGreen);
        QCOMPARE(rig.display.barMaximum, 4);
        QCOMPARE(rig.display.barValue, 4);
        QVERIFY(rig.display.openFileAllowed);
        QVERIFY(rig.display.receivedReply.isEmpty());
        QCOMPARE(rig.display.classifiedReply, QByteArray("DOWNLOAD OK"));
        QCOMPARE(rig.state().imageLoaded, 0);
        QCOMPARE(rig.state().verifying, 0);
        QCOMPARE(rig.state().position, 0);

        // After "END" nothing more goes out, whatever the device says; a stray
        // "DOWNLOAD" changes only the reply views.
        for (const char *reply : {"OK", "VER=2.01", "DOWNLOAD", "DOWNLOAD"})
            rig.HandleReply(reply);
        QVERIFY(rig.link.sent.isEmpty());
        rig.SendNextLine();
        QVERIFY(rig.link.sent.isEmpty());
        QCOMPARE(rig.display.status, QString("END"));
        QCOMPARE(rig.state().verifying, 0);
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
        QVERIFY(rig.polling()); // "VER=" without an image does not stop polling
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
            "send BOOTg\r\n", "pause 100",        "close",           "clear received reply",
            "no link",        "forbid open file", "value 0",         "colour 8388608",
            "status NO FILE", "caption Connect",  "clear reply view"};
        QCOMPARE(rig.log.events, expected);
        QVERIFY(!rig.polling());
        QCOMPARE(rig.link.sent.last(), QByteArray("BOOTg\r\n"));
        QCOMPARE(rig.state().connected, 0);
        QCOMPARE(rig.state().imageLoaded, 0);
        QCOMPARE(rig.state().linkActivity, 50);
        QVERIFY(!rig.link.isOpen());

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
        QCOMPARE(rig.log.events, QStringList({"value 0", "colour 8388608", "arp", "open",
                                              "allow open file", "caption Disconnect"}));
        QVERIFY(rig.polling());
        QCOMPARE(rig.link.lastSettings.remotePort, QString("4242"));
        QCOMPARE(rig.state().connected, 1);
        QCOMPARE(rig.state().linkActivity, 0);
        QCOMPARE(rig.state().imageLoaded, 0);
        QCOMPARE(rig.state().verifying, 0);

        rig.log.events.clear();
        QVERIFY(!rig.ToggleLink({}));
        QCOMPARE(rig.log.events,
                 QStringList({"close", "clear received reply", "no link", "forbid open file",
                              "value 0", "colour 8388608", "status NO FILE", "caption Connect",
                              "clear reply view"}));
        QVERIFY(!rig.polling());
        QCOMPARE(rig.state().connected, 0);
        QCOMPARE(rig.state().linkActivity, 50);
    }

    void failedConnectLeavesToolUsable()
    {
        Rig rig(false);
        rig.link.openError =
            OperatorError{errnum::kAddressInUse, OperatorError::What::Bind, QStringLiteral("6000")};
        const auto error = rig.ToggleLink({"127.0.0.1", "111", "6000"});
        QVERIFY(error);
        QCOMPARE(error->title(), QString("Error#10048"));
        QCOMPARE(rig.state().connected, 0);
        QVERIFY(!rig.polling());
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

    // While a dialog is open, datagrams and inquiry ticks wait; afterwards
    // they come through the event loop, in the order they came, and only to
    // the link and the inquiries that are still there.
    void heldInputs_data()
    {
        QTest::addColumn<QString>("steps"); // hold, release, tick, close, open, loop, a reply
        QTest::addColumn<QString>("after"); // what went out, and the status shown last
        const auto row = [](const char *name, const char *steps, const char *after) {
            QTest::newRow(name) << steps << after;
        };
        row("in the order they came", "hold VER=1 ERROR release loop", "d1 ERROR");
        row("after the release, behind those held", "hold VER=1 release ERROR loop", "d1 ERROR");
        row("not while held again", "hold VER=1 release hold loop", "READY");
        row("held again, then released", "hold VER=1 release hold loop release loop",
            "d1 DOWNLOAD");
        row("ticks while held are one inquiry", "hold tick tick release loop", "i READY");
        row("a tick after polling stopped asks nothing", "hold VER=1 tick release loop",
            "d1 DOWNLOAD");
        row("nothing held outlives the link", "hold tick VER=1 close open release loop", "NO FILE");
    }

    void heldInputs()
    {
        QFETCH(QString, steps);
        const QList<QByteArray> image = makeImage(3);
        Rig rig;
        rig.driver.inquiryTimer()->setInterval(std::chrono::hours(1)); // ticks are the test's
        rig.load(image);
        rig.takeSent();
        for (const QString &step : steps.split(u' ')) {
            if (step == u"hold") {
                rig.driver.hold();
            } else if (step == u"release") {
                rig.driver.release();
            } else if (step == u"tick") {
                QVERIFY(QMetaObject::invokeMethod(rig.driver.inquiryTimer(), "timeout"));
            } else if (step == u"close" || step == u"open") {
                QVERIFY(!rig.ToggleLink({"127.0.0.1", "111", "0"}));
            } else if (step == u"loop") {
                // Queued after whatever the release queued.
                bool ran = false;
                QMetaObject::invokeMethod(
                    &rig.driver, [&ran] { ran = true; }, Qt::QueuedConnection);
                QTRY_VERIFY_WITH_TIMEOUT(ran, 1000);
            } else {
                emit rig.driver.link().datagramArrived(step.toLatin1(), 111);
            }
        }
        QStringList seen;
        for (const QByteArray &sent : rig.takeSent())
            seen << (sent == "BOOTi\r\n"
                         ? QStringLiteral("i")
                         : QStringLiteral("d%1").arg(image.indexOf(sent.mid(4).chopped(2)) + 1));
        QFETCH(QString, after);
        QCOMPARE((seen << rig.display.status).join(u' '), after);
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
            const TransferState s = rig.state();
            QVERIFY(s.position >= 0 && s.position <= s.lineCount);
            QVERIFY(s.verifying == 0 || s.verifying == 1);
            QVERIFY(s.imageLoaded == 0 || s.imageLoaded == 1);
        }
        QVERIFY(!rig.link.sent.isEmpty());
        for (const QByteArray &datagram : std::as_const(rig.link.sent))
            QVERIFY2(allowed.contains(datagram), datagram.constData());
    }
};

QTEST_GUILESS_MAIN(TestWindowTransfer)
#include "test_window_transfer.moc"
