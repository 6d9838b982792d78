// Whole transfers over real loopback UDP: the transfer controller with the
// real UDP link against corvanel-devsim running as its own process, and
// against a plain socket where a test needs to play the device by hand.

#include "devsim/devsim_test_support.h"
#include "engine/transfer_controller.h"
#include "engine/udp_link.h"
#include "image/image_loader.h"
#include "support/devsim_process.h"
#include "support/recorders.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using namespace Qt::StringLiterals;
using namespace corvanel;
using namespace corvanel::testing;
using namespace std::chrono_literals;

namespace {

const QString kLoopback = u"127.0.0.1"_s;

// The controller wired to a real UDP link as the window wires them, with
// recorders for the ARP flush, the install pause and the display.
struct Rig {
    Rig()
    {
        QObject::connect(&link, &UdpLink::datagramArrived, &link,
                         [this](const QByteArray &data) { controller.HandleReply(data); });
        QObject::connect(&link, &UdpLink::inquiryTick, &link, [this] { controller.PollDevice(); });
    }

    std::optional<OperatorError> connectTo(quint16 port)
    {
        return controller.ToggleLink({kLoopback, QString::number(port), u"0"_s});
    }
    bool load(const QString &path)
    {
        auto result = readImageFile(path);
        if (!std::holds_alternative<LineTable>(result))
            return false;
        adoptImage(controller.state(), display, std::move(std::get<LineTable>(result)));
        return true;
    }
    void load(const QList<QByteArray> &lines)
    {
        LineTable table;
        for (const QByteArray &line : lines)
            table.append(line);
        adoptImage(controller.state(), display, std::move(table));
    }
    // Runs the event loop until `done` holds, looking after every datagram.
    // (QTRY_* naps between its looks, which would make each round trip 10 ms.)
    template <typename Predicate> bool waitUntil(Predicate done, int timeoutMs = 10000)
    {
        if (done())
            return true;
        QEventLoop loop;
        QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
        const auto check = QObject::connect(&link, &UdpLink::datagramArrived, &loop, [&] {
            if (done())
                loop.quit();
        });
        loop.exec();
        QObject::disconnect(check);
        return done();
    }
    const TransferState &state() const { return controller.state(); }
    bool connected() const { return controller.state().connected == 1; }

    EventLog log;
    RecordingDisplay display{log};
    QList<std::chrono::milliseconds> pauses;
    UdpLink link{nullptr, [this] { log.add(u"arp"_s); },
                 [this](std::chrono::milliseconds d) { pauses.append(d); }};
    TransferController controller{display, link};
};

} // namespace

class TestEndToEnd : public QObject {
    Q_OBJECT
private slots:
    void downloadVerifyAndInstallARealImage()
    {
        // A real objcopy image: CR LF line ends, 16 data bytes a record.
        QTemporaryDir dir;
        const QByteArray data = payload(8000);
        const int lines = 8000 / 16 + 1;
        const QString hex = dir.filePath(u"image.hex"_s);
        QString why;
        QVERIFY2(writeIntelHex(data, hex, &why), qPrintable(why));

        Devsim sim;
        const quint16 port = sim.waitForPort();
        QVERIFY(port != 0);
        Rig rig;
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(rig.connectTo(port), std::nullopt);
        QVERIFY(rig.connected());

        // Inquiries every 500 ms, each answered by the device.
        QSignalSpy ticks(&rig.link, &UdpLink::inquiryTick);
        QVERIFY(ticks.wait(2000));
        const qint64 first = clock.elapsed();
        QTRY_COMPARE_WITH_TIMEOUT(rig.display.receiveData, QByteArray("VER=DEVSIM 1.0\r\n"), 2000);
        QVERIFY(ticks.wait(2000));
        const qint64 second = clock.elapsed();
        QVERIFY2(first >= 450 && first < 1200, qPrintable(QString::number(first)));
        QVERIFY2(second - first >= 450 && second - first < 1200,
                 qPrintable(QString::number(second - first)));

        // The image; the next answer to an inquiry starts the transfer.
        QVERIFY(rig.load(hex));
        QVERIFY(rig.waitUntil([&] { return rig.display.status == u"END"_s; }, 30000));
        QCOMPARE(rig.display.barColour, colour::kGreen);
        QCOMPARE(rig.display.barValue, lines);
        QVERIFY(!rig.link.inquiryTimer()->isActive());
        const QStringList words = rig.display.statusWords;
        QVERIFY(words.indexOf("DOWNLOAD") < words.indexOf("VERIFY"));

        rig.controller.InstallFirmware();
        QCOMPARE(rig.pauses, QList<std::chrono::milliseconds>{100ms});
        QVERIFY(!rig.link.isOpen());
        // The device installed exactly the image that was in the file.
        QCOMPARE(sim.waitForSummary(), cleanImageReport(data, lines));
        QVERIFY(sim.process().waitForFinished(10000));
        QCOMPARE(sim.process().exitCode(), 0);
    }

    void errorAtLineThenOkResumes()
    {
        QTemporaryDir dir;
        const QString json = dir.filePath(u"summary.json"_s);
        Devsim sim({"--error-at", "5", "--summary-json", json});
        const quint16 port = sim.waitForPort();
        QVERIFY(port != 0);
        Rig rig;
        QCOMPARE(rig.connectTo(port), std::nullopt);
        rig.load(smallImage(8));
        QVERIFY(rig.waitUntil([&] { return rig.display.status == u"ERROR"_s; }));
        QCOMPARE(rig.display.barColour, colour::kRed);
        QCOMPARE(rig.display.barValue, 5);
        QCOMPARE(rig.state().verifying, qint16(0));

        // The device speaks again with "OK": sending resumes at line 6. The
        // device never stored line 5, so its verify catches the gap and stops
        // at line 5.
        LoopbackPeer().sendTo(rig.link.localPort(), "OK");
        QVERIFY(rig.waitUntil(
            [&] { return rig.state().verifying == 1 && rig.display.status == "ERROR"; }));
        QCOMPARE(rig.display.barValue, 5);
        QVERIFY(rig.display.statusWords.contains("VERIFY"));

        // Installed without a verified image: a failure, in the JSON summary too.
        rig.controller.InstallFirmware();
        QVERIFY(sim.process().waitForFinished(10000));
        QCOMPARE(sim.process().exitCode(), 1);
        QFile file(json);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY(file.readAll().contains("\"verified\": false"));
    }

    void lostReplyStallsAndDisconnectRecovers()
    {
        // Reply 1 answers the first inquiry, replies 2 to 9 lines 1 to 8; the
        // answer to line 9 is lost.
        Devsim sim({"--drop-reply", "10"});
        const quint16 port = sim.waitForPort();
        QVERIFY(port != 0);
        Rig rig;
        const QList<QByteArray> image = smallImage(20);
        QCOMPARE(rig.connectTo(port), std::nullopt);
        rig.load(image);
        QVERIFY(rig.waitUntil([&] { return rig.display.barValue == 9; }));
        QSignalSpy arrived(&rig.link, &UdpLink::datagramArrived);
        QVERIFY(!arrived.wait(1000)); // nothing retries: the transfer waits
        QCOMPARE(rig.display.barValue, 9);
        QCOMPARE(rig.display.status, u"DOWNLOAD"_s);

        // Disconnect, connect again, load the image again: it goes through.
        QCOMPARE(rig.connectTo(port), std::nullopt);
        QVERIFY(!rig.connected());
        QCOMPARE(rig.display.status, u"NO FILE"_s);
        QCOMPARE(rig.connectTo(port), std::nullopt);
        QVERIFY(rig.connected());
        rig.load(image);
        QVERIFY(rig.waitUntil([&] { return rig.display.status == u"END"_s; }));
        rig.controller.InstallFirmware();
        QVERIFY(sim.process().waitForFinished(10000));
        QCOMPARE(sim.process().exitCode(), 0);
    }

    void severalDatagramsTogetherAreEachHandled()
    {
        LoopbackPeer device;
        QVERIFY(device.bound);
        Rig rig;
        QCOMPARE(rig.connectTo(device.port()), std::nullopt);
        const QList<QByteArray> image = smallImage(5);
        rig.load(image);

        // Three replies land before the window looks: each is its own reply.
        for (const char *reply : {"VER=BOARD", "OK", "OK"})
            device.sendTo(rig.link.localPort(), reply);
        QTRY_VERIFY_WITH_TIMEOUT(device.has(3), 5000);
        QCOMPARE(device.received, QList<QByteArray>({bootMessage(image[0]), bootMessage(image[1]),
                                                     bootMessage(image[2])}));
        QCOMPARE(rig.display.barValue, 3);
        QCOMPARE(rig.display.receiveData, QByteArray("OK"));
        QCOMPARE(rig.log.events.count("reply"), 3);
    }

    void connectFailuresLeaveTheToolUsable()
    {
        LoopbackPeer device;
        Rig rig;
        QUdpSocket holder;
        QVERIFY(holder.bind(QHostAddress::AnyIPv4, 0));
        const QString port = QString::number(device.port());
        // What each failure says is checked on the link alone.
        for (const LinkSettings &bad :
             {LinkSettings{kLoopback, port, QString::number(holder.localPort())},
              LinkSettings{kLoopback, u"70000"_s, u"0"_s},
              LinkSettings{u"nonexistent.invalid"_s, port, u"0"_s}}) {
            QVERIFY(rig.controller.ToggleLink(bad));
            QVERIFY(!rig.connected() && !rig.link.isOpen());
            QVERIFY(!rig.link.inquiryTimer()->isActive());
            QCOMPARE(rig.display.linkCaption, u"Connect"_s);
            QVERIFY(!rig.display.openFileEnabled);
        }
        // Each attempt flushed the ARP cache at its step 2, and nothing was sent.
        QCOMPARE(rig.log.events.count("arp"), 3);
        QVERIFY(!device.has(1));

        // Corrected, the same window connects and polls.
        QCOMPARE(rig.connectTo(device.port()), std::nullopt);
        QVERIFY(rig.connected());
        QCOMPARE(rig.display.linkCaption, u"Disconnect"_s);
        QTRY_VERIFY_WITH_TIMEOUT(device.has(1), 3000);
        QCOMPARE(device.received.first(), QByteArray("BOOTi\r\n"));
    }

    void simulatorProgramEnds()
    {
        // Left alone, it goes away by itself.
        Devsim idle({"--idle-timeout", "1"});
        QVERIFY(idle.waitForPort() != 0);

        // A taken port is a clear failure.
        QUdpSocket holder;
        QVERIFY(holder.bind(QHostAddress::LocalHost, 0));
        Devsim clash({"--port", QString::number(holder.localPort())});
        QCOMPARE(clash.waitForPort(), quint16(0)); // it ended without listening
        QCOMPARE(clash.process().state(), QProcess::NotRunning);
        QCOMPARE(clash.process().exitCode(), 2);
        QVERIFY(clash.errors().contains(QLatin1String("cannot bind")));

        QVERIFY(idle.process().waitForFinished(10000));
        QCOMPARE(idle.process().exitCode(), 3);
    }
};

QTEST_GUILESS_MAIN(TestEndToEnd)
#include "test_end_to_end.moc"
