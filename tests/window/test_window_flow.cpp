// The operator's whole flow through the window's own buttons against the
// bootloader simulator on loopback: connect, open and download, "END" on a
// green bar, install, and the simulator's account of the image it received;
// and the device's "ERROR" on a red bar.

#include "window_test_support.h"

#include "devsim/devsim_test_support.h"
#include "support/recorders.h"
#include "window/status_display.h"
#include "window/window_transfer.h"

#include <QScopeGuard>
#include <QSignalSpy>

using namespace corvanel;
using namespace corvanel::testing;

namespace {

// A window and, on loopback, the simulator run with `arguments`.
struct WindowAndDevsim : WindowFixture {
    Devsim devsim;
    quint16 port;
    explicit WindowAndDevsim(const QStringList &arguments = {})
        : devsim(arguments), port(devsim.waitForPort())
    {
    }
};

} // namespace

class WindowFlowTest : public QObject {
    Q_OBJECT
private slots:
    void downloadVerifyAndInstall();
    void newFileChosenWhileTheDeviceAnswers();
    void dialogCancelledMidVerify();
    void deviceErrorShowsRedBar();
    void lostReplyStallsAndDisconnectRecovers();
    void heldInputsComeAfterInOrder();
};

void WindowFlowTest::downloadVerifyAndInstall()
{
    WindowAndDevsim f;
    QVERIFY2(f.port != 0, qPrintable(f.devsim.errors()));
    MainWindow &w = *f.window;
    QVERIFY(f.show());

    // Connect: the link opens on loopback and the inquiry starts.
    QVERIFY(f.connectTo(f.port));
    QCOMPARE(w.link().remotePort(), f.port);
    QCOMPARE(f.arpFlushes, 1);
    QCOMPARE(f.button(controls::kLinkButton)->text(), QStringLiteral("Disconnect"));
    QVERIFY(f.button(controls::kOpenFileButton)->isEnabled());
    QVERIFY(w.inquiryTimer()->isActive());
    QCOMPARE(f.bar()->colourValue(), colour::kNavy);
    QCOMPARE(w.state().linkActivity, 0);
    // Timer1 lights the link-alive picture at its next tick.
    QTRY_VERIFY_WITH_TIMEOUT(f.linkAliveShown(), 2000);

    // The simulator answers the inquiry; with no image nothing else happens.
    QTRY_VERIFY_WITH_TIMEOUT(f.view(controls::kReceivedReplyView)->bytes().contains("VER="), 5000);
    QCOMPARE(w.state().linkActivity, 1);
    QCOMPARE(f.bar()->text(), QStringLiteral("NO FILE"));

    // Open File and Download: an objcopy image of 2000 bytes, 125 data
    // records and the end record.
    const QByteArray image = payload(2000);
    QVERIFY(f.prepareImage(image));
    QVERIFY(f.click(controls::kOpenFileButton));
    QCOMPARE(f.prompts.filtersAsked, QStringList{QStringLiteral("HEX files (*.hex)|*.hex")});
    QVERIFY(f.prompts.boxes.isEmpty());
    QCOMPARE(f.bar()->maximum(), 126);

    // The next inquiry answer starts the download; both passes run to "END",
    // and the operator sees a green bar.
    QTRY_COMPARE_WITH_TIMEOUT(f.bar()->text(), QStringLiteral("END"), 20000);
    QVERIFY(f.checkLoopback());
    QCOMPARE(f.bar()->colourValue(), colour::kGreen);
    QCOMPARE(f.bar()->value(), 126);
    QVERIFY(f.barShare(QColor(0, 255, 0)) > 0.75);
    QVERIFY(!w.inquiryTimer()->isActive());
    QCOMPARE(w.state().imageLoaded, 0);
    QCOMPARE(w.state().verifying, 0);
    QCOMPARE(f.view(controls::kReceivedReplyView)->bytes(), QByteArray());
    QCOMPARE(f.view(controls::kClassifiedReplyView)->bytes(), QByteArray("DOWNLOAD\r\n"));
    QVERIFY(f.button(controls::kOpenFileButton)->isEnabled());

    // Install: "BOOTg", the pause, and the window back at rest.
    QVERIFY(f.click(controls::kInstallButton));
    QCOMPARE(f.pauses, QList<std::chrono::milliseconds>{std::chrono::milliseconds(100)});
    QVERIFY(!w.link().isOpen());
    QCOMPARE(f.button(controls::kLinkButton)->text(), QStringLiteral("Connect"));
    QCOMPARE(f.bar()->text(), QStringLiteral("NO FILE"));
    QCOMPARE(f.bar()->colourValue(), colour::kNavy);
    QVERIFY(!f.button(controls::kOpenFileButton)->isEnabled());
    QVERIFY(!f.linkAliveShown() && !f.control(controls::kNoLinkImage)->isHidden());

    // The simulator got exactly this image, in both passes, and ended well.
    QCOMPARE(f.devsim.waitForSummary(), cleanImageReport(image, 126));
    QVERIFY(f.devsim.process().waitForFinished(10000));
    QCOMPARE(f.devsim.process().exitCode(), 0);
    QVERIFY(f.prompts.boxes.isEmpty());
    QVERIFY(f.checkLoopback());
}

void WindowFlowTest::newFileChosenWhileTheDeviceAnswers()
{
    // Replies come 300 ms late, so the device's answer to an inquiry lands
    // while the operator is still choosing a new file for an image that was
    // waiting for the device.
    WindowAndDevsim f({QStringLiteral("--delay-ms"), QStringLiteral("300")});
    QVERIFY2(f.port != 0, qPrintable(f.devsim.errors()));
    MainWindow &w = *f.window;
    QVERIFY(f.show());
    QVERIFY(f.connectTo(f.port));
    QVERIFY(f.prepareImage(payload(640, 1)));
    QVERIFY(f.click(controls::kOpenFileButton));
    QCOMPARE(f.bar()->text(), QStringLiteral("READY"));

    const QByteArray chosen = payload(48, 2);
    const QString chosenPath = f.dir.filePath(QStringLiteral("chosen.hex"));
    QVERIFY(writeIntelHex(chosen, chosenPath));
    // The dialog opens right after an inquiry went out and stays open while
    // its answer and the next tick fall due.
    f.prompts.answers << chosenPath;
    f.prompts.whileDialogOpen = [&] { QTest::qWait(700); };
    QObject::connect(
        w.inquiryTimer(), &QTimer::timeout, &w,
        [&] { QTimer::singleShot(0, &w, [&] { f.click(controls::kOpenFileButton); }); },
        Qt::SingleShotConnection);

    QTRY_COMPARE_WITH_TIMEOUT(f.bar()->text(), QStringLiteral("END"), 20000);
    QVERIFY(f.prompts.filtersAsked.size() == 2);
    QCOMPARE(f.bar()->maximum(), 4);
    QVERIFY(f.click(controls::kInstallButton));
    // The device holds the chosen image, downloaded from its first line and
    // verified, and nothing of the first one.
    QCOMPARE(f.devsim.waitForSummary(), cleanImageReport(chosen, 4));
    QVERIFY(f.devsim.process().waitForFinished(10000));
    QCOMPARE(f.devsim.process().exitCode(), 0);
}

void WindowFlowTest::dialogCancelledMidVerify()
{
    // The operator opens the file dialog during the verify pass and cancels
    // it. A cancel changes nothing: the pass goes on as a verify pass, and
    // the device, which would answer "ERROR" to a download record there,
    // ends with the image it was given.
    WindowAndDevsim f;
    QVERIFY2(f.port != 0, qPrintable(f.devsim.errors()));
    MainWindow &w = *f.window;
    QVERIFY(f.show());
    QVERIFY(f.connectTo(f.port));
    const QByteArray image = payload(2000, 4);
    QVERIFY(f.prepareImage(image));
    QVERIFY(f.click(controls::kOpenFileButton));

    // Replies keep arriving while the dialog is open; they wait for it.
    f.prompts.whileDialogOpen = [&] { QTest::qWait(100); };
    int verifyLineAtClick = -1;
    bool clicked = false;
    const QMetaObject::Connection connection =
        QObject::connect(&w.link(), &UdpLink::datagramArrived, &w, [&] {
            if (clicked || w.state().verifying != 1 || w.state().position < 3)
                return;
            clicked = true;
            QTimer::singleShot(0, &w, [&] {
                verifyLineAtClick = w.state().verifying == 1 ? w.state().position : -1;
                f.click(controls::kOpenFileButton);
            });
        });
    const auto disconnect = qScopeGuard([&] { QObject::disconnect(connection); });

    const auto ended = [&] {
        return f.bar()->text() == QStringLiteral("END") ||
               f.bar()->text() == QStringLiteral("ERROR");
    };
    QTRY_VERIFY_WITH_TIMEOUT(ended(), 20000);
    QCOMPARE(f.bar()->text(), QStringLiteral("END"));
    QVERIFY2(verifyLineAtClick > 0 && verifyLineAtClick < 126, "cancelled outside the verify pass");
    QCOMPARE(f.prompts.boxes, QStringList{QStringLiteral("Cancel")});
    QCOMPARE(f.bar()->colourValue(), colour::kGreen);
    QVERIFY(f.click(controls::kInstallButton));
    QCOMPARE(f.devsim.waitForSummary(), cleanImageReport(image, 126));
    QVERIFY(f.checkLoopback());
}

void WindowFlowTest::deviceErrorShowsRedBar()
{
    WindowAndDevsim f({QStringLiteral("--error-at"), QStringLiteral("5")});
    QVERIFY2(f.port != 0, qPrintable(f.devsim.errors()));
    MainWindow &w = *f.window;
    QVERIFY(f.show());
    QVERIFY(f.connectTo(f.port));
    QVERIFY(f.prepareImage(payload(320, 7)));
    QVERIFY(f.click(controls::kOpenFileButton));

    QTRY_COMPARE_WITH_TIMEOUT(f.bar()->text(), QStringLiteral("ERROR"), 10000);
    QCOMPARE(f.bar()->colourValue(), colour::kRed);
    QCOMPARE(f.bar()->value(), 5);
    QCOMPARE(w.state().position, 5);
    QCOMPARE(w.state().imageLoaded, 1);
    QVERIFY(f.barShare(QColor(255, 0, 0)) > 0.15);
    QCOMPARE(f.barShare(QColor(0, 255, 0)), 0.0);

    // Disconnect leaves the window at rest on a navy bar.
    QVERIFY(f.click(controls::kLinkButton));
    QVERIFY(!w.link().isOpen());
    QCOMPARE(f.bar()->text(), QStringLiteral("NO FILE"));
    QCOMPARE(f.bar()->colourValue(), colour::kNavy);
    QCOMPARE(f.bar()->value(), 0);
    QCOMPARE(w.state().imageLoaded, 0);
    QVERIFY(f.checkLoopback());
}

void WindowFlowTest::lostReplyStallsAndDisconnectRecovers()
{
    // Reply 1 answers the first inquiry, replies 2 to 9 lines 1 to 8; the
    // answer to line 9 is lost. Nothing retries: the transfer waits.
    WindowAndDevsim f({QStringLiteral("--drop-reply"), QStringLiteral("10")});
    QVERIFY2(f.port != 0, qPrintable(f.devsim.errors()));
    QVERIFY(f.show());
    QVERIFY(f.connectTo(f.port));
    const QByteArray image = payload(320, 3);
    QVERIFY(f.prepareImage(image));
    QVERIFY(f.click(controls::kOpenFileButton));
    QTRY_COMPARE_WITH_TIMEOUT(f.bar()->value(), 9, 10000);
    QSignalSpy arrived(&f.window->link(), &UdpLink::datagramArrived);
    QVERIFY(!arrived.wait(1000));
    QCOMPARE(f.bar()->text(), QStringLiteral("DOWNLOAD"));

    // Disconnect, connect again, open the image again: it goes through.
    QVERIFY(f.click(controls::kLinkButton));
    QVERIFY(f.connectTo(f.port));
    QVERIFY(f.prepareImage(image));
    QVERIFY(f.click(controls::kOpenFileButton));
    QTRY_COMPARE_WITH_TIMEOUT(f.bar()->text(), QStringLiteral("END"), 20000);
    QVERIFY(f.click(controls::kInstallButton));
    QCOMPARE(f.devsim.waitForSummary(), cleanImageReport(image, 21));
    QVERIFY(f.checkLoopback());
}

void WindowFlowTest::heldInputsComeAfterInOrder()
{
    // While a dialog is open nothing is handed to the transfer; afterwards
    // everything comes, in order, with the ticks that fell due as one.
    LoopbackPeer device;
    EventLog log;
    RecordingDisplay display{log};
    WindowTransfer driver(
        display, [] {}, [](std::chrono::milliseconds) {});
    QVERIFY(!driver.ToggleLink(
        {QStringLiteral("127.0.0.1"), QString::number(device.port()), QStringLiteral("0")}));
    int ticks = 0;
    QObject::connect(driver.inquiryTimer(), &QTimer::timeout, &driver, [&] { ++ticks; });
    log.events.clear();
    driver.hold();
    device.sendTo(driver.link().localPort(), "VER=1");
    QTRY_VERIFY_WITH_TIMEOUT(ticks == 2, 5000);
    device.sendTo(driver.link().localPort(), "OK");
    QTest::qWait(100);
    QVERIFY(log.events.isEmpty()); // nothing reached the transfer
    driver.release();
    QVERIFY(log.events.isEmpty()); // not from inside the releasing handler
    device.sendTo(driver.link().localPort(), "DOWNLOAD");
    QTRY_COMPARE_WITH_TIMEOUT(log.events.count(QStringLiteral("reply")), 3, 5000);
    // One inquiry for both ticks, in its place between the replies.
    const QStringList expected{"reply", "clear reply view", "reply", "reply"};
    QStringList seen;
    for (const QString &event : std::as_const(log.events)) {
        if (expected.contains(event))
            seen << event;
    }
    QCOMPARE(seen, expected);
    QVERIFY(device.has(1));
    QCOMPARE(device.received, QList<QByteArray>{"BOOTi\r\n"});
    driver.ToggleLink({});
}

QTEST_MAIN(WindowFlowTest)
#include "test_window_flow.moc"
