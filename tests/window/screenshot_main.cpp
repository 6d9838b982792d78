// corvanel_screenshot HEX PNG: runs the demo flow on the current display
// (Xvfb in scripts/screenshot.sh) against the bootloader simulator on
// loopback, through the window's own buttons, and saves the window at "END".

#include "window_test_support.h"

#include <QApplication>
#include <QTest>

#include <cstdio>

using namespace corvanel;
using namespace corvanel::testing;

namespace {

int fail(const char *what)
{
    std::fprintf(stderr, "corvanel_screenshot: %s\n", what);
    return 1;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const QStringList args = QApplication::arguments();
    if (args.size() != 3)
        return fail("usage: corvanel_screenshot HEX-FILE OUTPUT.png");
    const QString hexPath = args.at(1);
    const QString pngPath = args.at(2);

    Devsim devsim;
    const quint16 port = devsim.waitForPort();
    if (port == 0)
        return fail("the simulator did not start");

    WindowFixture f;
    f.prompts.answers << hexPath;
    MainWindow &window = *f.window;
    if (!f.show())
        return fail("the window was not shown");
    if (!f.connectTo(port))
        return fail("connect failed");
    // Let the link indicator and a first inquiry answer show.
    runLoopUntil([&] { return window.state().linkActivity == 1; }, 5000);
    if (!f.click(controls::kOpenFileButton) || window.state().imageLoaded != 1)
        return fail("the image did not load");
    if (!runLoopUntil([&] { return f.bar()->text() == QStringLiteral("END"); }, 60000))
        return fail("the transfer did not reach END");
    QTest::qWait(600); // one link-indicator tick, then paint
    if (!f.checkLoopback())
        return fail("the link was aimed off this host");

    if (!window.grab().save(pngPath))
        return fail("the picture could not be saved");
    std::printf("saved %s\n", qPrintable(pngPath));
    return 0;
}
