// The operator's whole flow through the window's own buttons against the
// bootloader simulator on loopback: connect, open and download, "END" on a
// green bar, install, and the simulator's account of the image it received.

#include "window_test_support.h"

#include "engine/status_display.h"

#include <QLabel>
#include <QSignalSpy>
#include <QTest>

using namespace corvanel;
using namespace corvanel::testing;

namespace {

int countPixels(const QImage &image, const QRect &area, const QColor &colour)
{
    int n = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            n += QColor(image.pixel(x, y)) == colour;
    return n;
}

QImage render(QWidget &window)
{
    return window.grab().toImage().convertToFormat(QImage::Format_RGB32);
}

} // namespace

class WindowFlowTest : public QObject {
    Q_OBJECT
private slots:
    void downloadVerifyAndInstall();
    void deviceErrorShowsRedBar();
};

void WindowFlowTest::downloadVerifyAndInstall()
{
    Devsim devsim;
    const quint16 port = devsim.waitForPort();
    QVERIFY2(port != 0, qPrintable(devsim.errors()));

    WindowFixture f;
    MainWindow &w = *f.window;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));

    // Connect: the link opens on loopback and the inquiry starts.
    f.aimAt(port);
    QVERIFY(f.click("cbBind"));
    QVERIFY(w.link().isOpen());
    QVERIFY(w.link().remoteAddress().isLoopback());
    QCOMPARE(w.link().remotePort(), port);
    QCOMPARE(f.arpFlushes, 1);
    QCOMPARE(f.button("cbBind")->text(), QStringLiteral("Disconnect"));
    QVERIFY(f.button("Command3")->isEnabled());
    QVERIFY(w.link().inquiryTimer()->isActive());
    QCOMPARE(f.bar()->colourValue(), colour::kNavy);
    QCOMPARE(w.state().linkActivity, 0);
    // Timer1 lights the link-alive picture at its next tick.
    QTRY_VERIFY_WITH_TIMEOUT(!f.control<QLabel>("YesConnect")->isHidden(), 2000);
    QVERIFY(f.control<QLabel>("NoConnect")->isHidden());

    // The simulator answers the inquiry; with no image nothing else happens.
    QTRY_VERIFY_WITH_TIMEOUT(f.view("tbReceiveData")->bytes().contains("VER="), 5000);
    QCOMPARE(w.state().linkActivity, 1);
    QCOMPARE(f.bar()->text(), QStringLiteral("NO FILE"));

    // Open File and Download: an objcopy image of 2000 bytes.
    const QByteArray image = payload(2000);
    const QString hexPath = f.dir.filePath(QStringLiteral("firmware.hex"));
    QString why;
    QVERIFY2(writeIntelHex(image, f.dir.filePath(QStringLiteral("firmware.bin")), hexPath, &why),
             qPrintable(why));
    const int lines = countLines(hexPath);
    QCOMPARE(lines, 126); // 125 data records and the end record
    f.prompts.answers << hexPath;
    QVERIFY(f.click("Command3"));
    QCOMPARE(f.prompts.filtersAsked, QStringList{QStringLiteral("HEX files (*.hex)|*.hex")});
    QVERIFY(f.prompts.boxes.isEmpty());
    QCOMPARE(f.bar()->maximum(), lines);

    // The next inquiry answer starts the download; both passes run to "END".
    QTRY_COMPARE_WITH_TIMEOUT(f.bar()->text(), QStringLiteral("END"), 20000);
    QVERIFY(f.checkLoopback());
    QCOMPARE(f.bar()->colourValue(), colour::kGreen);
    QCOMPARE(f.bar()->value(), lines);
    QVERIFY(!w.link().inquiryTimer()->isActive());
    QCOMPARE(w.state().imageLoaded, 0);
    QCOMPARE(w.state().verifying, 0);
    QCOMPARE(f.view("tbReceiveData")->bytes(), QByteArray());
    QCOMPARE(f.view("Text8")->bytes(), QByteArray("DOWNLOAD\r\n"));
    QVERIFY(f.button("Command3")->isEnabled());

    // As the operator sees it: a green bar.
    const QImage shot = render(w);
    const QRect inside = f.bar()->geometry().adjusted(2, 2, -2, -2);
    QVERIFY(countPixels(shot, inside, QColor(0, 255, 0)) > inside.width() * inside.height() * 3 / 4);

    // Install: "BOOTg", the pause, and the window back at rest.
    QVERIFY(f.click("Command5"));
    QCOMPARE(f.pauses, QList<std::chrono::milliseconds>{std::chrono::milliseconds(100)});
    QVERIFY(!w.link().isOpen());
    QCOMPARE(f.button("cbBind")->text(), QStringLiteral("Connect"));
    QCOMPARE(f.bar()->text(), QStringLiteral("NO FILE"));
    QCOMPARE(f.bar()->colourValue(), colour::kNavy);
    QVERIFY(!f.button("Command3")->isEnabled());
    QVERIFY(f.control<QLabel>("YesConnect")->isHidden());
    QVERIFY(!f.control<QLabel>("NoConnect")->isHidden());

    // The simulator got exactly this image, and both passes.
    QVERIFY(devsim.process().waitForFinished(10000));
    QCOMPARE(devsim.process().exitCode(), 0);
    const QString summary = devsim.output();
    const QString crc = QStringLiteral("crc32=0x") +
                        QString::number(crc32Of(image), 16).rightJustified(8, QLatin1Char('0')).toUpper();
    QVERIFY2(summary.contains(crc), qPrintable(summary));
    QVERIFY2(summary.contains(QStringLiteral("records=126 ")), qPrintable(summary));
    QVERIFY2(summary.contains(QStringLiteral("bytes=2000 ")), qPrintable(summary));
    QVERIFY2(summary.contains(QStringLiteral("download=complete verify=passed")),
             qPrintable(summary));
    QVERIFY(f.prompts.boxes.isEmpty());
    QVERIFY(f.checkLoopback());
}

void WindowFlowTest::deviceErrorShowsRedBar()
{
    Devsim devsim({QStringLiteral("--error-at"), QStringLiteral("5")});
    const quint16 port = devsim.waitForPort();
    QVERIFY2(port != 0, qPrintable(devsim.errors()));

    WindowFixture f;
    MainWindow &w = *f.window;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    f.aimAt(port);
    QVERIFY(f.click("cbBind"));
    QVERIFY(w.link().remoteAddress().isLoopback());

    const QString hexPath = f.dir.filePath(QStringLiteral("firmware.hex"));
    QString why;
    QVERIFY2(writeIntelHex(payload(320, 7), f.dir.filePath(QStringLiteral("firmware.bin")), hexPath,
                           &why),
             qPrintable(why));
    f.prompts.answers << hexPath;
    QVERIFY(f.click("Command3"));

    QTRY_COMPARE_WITH_TIMEOUT(f.bar()->text(), QStringLiteral("ERROR"), 10000);
    QCOMPARE(f.bar()->colourValue(), colour::kRed);
    QCOMPARE(f.bar()->value(), 5);
    QCOMPARE(w.state().position, 5);
    QCOMPARE(w.state().imageLoaded, 1);
    const QImage shot = render(w);
    const QRect inside = f.bar()->geometry().adjusted(2, 2, -2, -2);
    QVERIFY(countPixels(shot, inside, QColor(255, 0, 0)) > 50);
    QCOMPARE(countPixels(shot, inside, QColor(0, 255, 0)), 0);

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
