// The operator's whole flow through the window's own buttons against the
// bootloader simulator on loopback: connect, open and download, "END" on a
// green bar, install, and the simulator's account of the image it received;
// and the device's "ERROR" on a red bar.

#include "window_test_support.h"

#include "engine/status_display.h"

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
    void deviceErrorShowsRedBar();
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
    QCOMPARE(f.button("cbBind")->text(), QStringLiteral("Disconnect"));
    QVERIFY(f.button("Command3")->isEnabled());
    QVERIFY(w.link().inquiryTimer()->isActive());
    QCOMPARE(f.bar()->colourValue(), colour::kNavy);
    QCOMPARE(w.state().linkActivity, 0);
    // Timer1 lights the link-alive picture at its next tick.
    QTRY_VERIFY_WITH_TIMEOUT(f.linkAliveShown(), 2000);

    // The simulator answers the inquiry; with no image nothing else happens.
    QTRY_VERIFY_WITH_TIMEOUT(f.view("tbReceiveData")->bytes().contains("VER="), 5000);
    QCOMPARE(w.state().linkActivity, 1);
    QCOMPARE(f.bar()->text(), QStringLiteral("NO FILE"));

    // Open File and Download: an objcopy image of 2000 bytes, 125 data
    // records and the end record.
    const QByteArray image = payload(2000);
    QVERIFY(f.prepareImage(image));
    QVERIFY(f.click("Command3"));
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
    QVERIFY(!w.link().inquiryTimer()->isActive());
    QCOMPARE(w.state().imageLoaded, 0);
    QCOMPARE(w.state().verifying, 0);
    QCOMPARE(f.view("tbReceiveData")->bytes(), QByteArray());
    QCOMPARE(f.view("Text8")->bytes(), QByteArray("DOWNLOAD\r\n"));
    QVERIFY(f.button("Command3")->isEnabled());

    // Install: "BOOTg", the pause, and the window back at rest.
    QVERIFY(f.click("Command5"));
    QCOMPARE(f.pauses, QList<std::chrono::milliseconds>{std::chrono::milliseconds(100)});
    QVERIFY(!w.link().isOpen());
    QCOMPARE(f.button("cbBind")->text(), QStringLiteral("Connect"));
    QCOMPARE(f.bar()->text(), QStringLiteral("NO FILE"));
    QCOMPARE(f.bar()->colourValue(), colour::kNavy);
    QVERIFY(!f.button("Command3")->isEnabled());
    QVERIFY(!f.linkAliveShown() && !f.control("NoConnect")->isHidden());

    // The simulator got exactly this image, in both passes, and ended well.
    QCOMPARE(f.devsim.waitForSummary(), cleanImageReport(image, 126));
    QVERIFY(f.devsim.process().waitForFinished(10000));
    QCOMPARE(f.devsim.process().exitCode(), 0);
    QVERIFY(f.prompts.boxes.isEmpty());
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
    QVERIFY(f.click("Command3"));

    QTRY_COMPARE_WITH_TIMEOUT(f.bar()->text(), QStringLiteral("ERROR"), 10000);
    QCOMPARE(f.bar()->colourValue(), colour::kRed);
    QCOMPARE(f.bar()->value(), 5);
    QCOMPARE(w.state().position, 5);
    QCOMPARE(w.state().imageLoaded, 1);
    QVERIFY(f.barShare(QColor(255, 0, 0)) > 0.15);
    QCOMPARE(f.barShare(QColor(0, 255, 0)), 0.0);

    // Disconnect leaves the window at rest on a navy bar.
    QVERIFY(f.click("cbBind"));
    QVERIFY(!w.link().isOpen());
    QCOMPARE(f.bar()->text(), QStringLiteral("NO FILE"));
    QCOMPARE(f.bar()->colourValue(), colour::kNavy);
    QCOMPARE(f.bar()->value(), 0);
    QCOMPARE(w.state().imageLoaded, 0);
    QVERIFY(f.checkLoopback());
}

QTEST_MAIN(WindowFlowTest)
#include "test_window_flow.moc"
