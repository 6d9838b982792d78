// bench_window: what the whole window costs per round trip.
//
// The same 9000-line image (made by objcopy) is downloaded and verified, each
// run timed from the first line sent to "END":
//   window: the real window, offscreen, driven through its buttons, against
//           corvanel-devsim in its own process;
//   raw:    the same datagrams in lock-step between two plain POSIX sockets,
//           the device end in a child process answering with the
//           simulator's bootloader logic (the baseline of bench_link); the
//           same with both ends on this thread is printed as the floor;
//   devsim: the same datagrams from one plain socket to corvanel-devsim,
//           blocking sendto/recvfrom: the device's share of the window run.
// Then the process's peak memory (VmHWM).

#include "../../tests/window/window_test_support.h"

#include "engine/protocol.h"

#include "raw_udp.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTest>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

using namespace corvanel;
using namespace corvanel::testing;
using namespace corvanel::bench;

namespace {

constexpr int kLines = 9000;

// An objcopy image of exactly kLines lines: 16 data bytes a record, an
// extended address record at each 64 KiB, and the end record.
bool makeImage(const QString &dir, QString &hexPath, QList<QByteArray> &lines)
{
    hexPath = dir + QStringLiteral("/bench.hex");
    for (int size = 16 * (kLines - 3); size <= 16 * kLines; size += 16) {
        QString why;
        if (!writeIntelHex(payload(size), hexPath, &why)) {
            std::fprintf(stderr, "bench_window: objcopy: %s\n", qPrintable(why));
            return false;
        }
        lines = readLines(hexPath);
        if (lines.size() >= kLines)
            return lines.size() == kLines;
    }
    std::fprintf(stderr, "bench_window: could not make an image of %d lines\n", kLines);
    return false;
}

std::vector<QByteArray> messagesOf(const QList<QByteArray> &lines)
{
    std::vector<QByteArray> messages;
    for (const QByteArray &line : lines)
        messages.push_back(protocol::downloadLineMessage(line));
    for (const QByteArray &line : lines)
        messages.push_back(protocol::verifyLineMessage(line));
    return messages;
}

// One plain socket against the simulator process.
Run runAgainstDevsim(const std::vector<QByteArray> &messages)
{
    Devsim devsim;
    const quint16 port = devsim.waitForPort();
    if (port == 0)
        return {};
    sockaddr_in device{};
    device.sin_family = AF_INET;
    device.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    device.sin_port = htons(port);
    return runRawAgainst(messages, device);
}

// Connect, Open File and Download, "END", Install: through the buttons.
Run runWindow(WindowFixture &f, const QString &hexPath)
{
    Devsim devsim;
    const quint16 port = devsim.waitForPort();
    if (port == 0)
        return {};
    MainWindow &window = *f.window;

    QElapsedTimer clock;
    bool timing = false;
    double seconds = 0;
    const auto connection =
        QObject::connect(&window.link(), &UdpLink::datagramArrived, &window, [&] {
            const QString word = f.bar()->text();
            if (!timing && word == QStringLiteral("DOWNLOAD")) {
                timing = true; // line 1 has just gone out
                clock.start();
            } else if (timing &&
                       (word == QStringLiteral("END") || word == QStringLiteral("ERROR"))) {
                seconds = double(clock.nsecsElapsed()) / 1e9;
                timing = false;
            }
        });

    f.prompts.answers << hexPath;
    Run run;
    if (f.connectTo(port) && f.click("Command3") &&
        runLoopUntil(
            [&] {
                return f.bar()->text() == QStringLiteral("END") ||
                       f.bar()->text() == QStringLiteral("ERROR");
            },
            120000)) {
        run.seconds = seconds;
        run.ok = f.bar()->text() == QStringLiteral("END") && f.checkLoopback();
        f.click("Command5");
        run.ok =
            run.ok && devsim.process().waitForFinished(10000) && devsim.process().exitCode() == 0;
    }
    QObject::disconnect(connection);
    if (window.link().isOpen())
        f.click("cbBind");
    return run;
}

long peakMemoryKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    }
    return -1;
}

} // namespace

int main(int argc, char *argv[])
{
    int repeats = 3;
    if (argc > 1 && std::strcmp(argv[1], "--help") == 0) {
        std::printf(
            "usage: bench_window [repeats]   (default 3; the best run of each kind counts)\n");
        return 0;
    }
    if (argc > 1)
        repeats = std::max(1, std::atoi(argv[1]));
    // The raw baseline's device, forked before Qt starts.
    std::fflush(stdout);
    ChildDevice child;
    if (!child.start()) {
        std::perror("bench_window: device");
        return 1;
    }
    struct StopChild {
        ChildDevice &device;
        ~StopChild() { device.stop(); }
    } stopChild{child};

    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    WindowFixture f;
    QString hexPath;
    QList<QByteArray> lines;
    if (!makeImage(f.dir.path(), hexPath, lines))
        return 1;
    const std::vector<QByteArray> messages = messagesOf(lines);
    const int trips = int(messages.size());
    std::printf("image: %d lines, %d round trips per run (download + verify), best of %d\n",
                int(lines.size()), trips, repeats);

    f.window->show();
    if (!QTest::qWaitForWindowExposed(f.window.get()))
        return 1;

    double window = 1e9, raw = 1e9, floor = 1e9, device = 1e9;
    for (int i = 0; i < repeats; ++i) {
        const Run w = runWindow(f, hexPath);
        const Run r = runRawAgainst(messages, child.address);
        const Run l = runRawInProcess(messages);
        const Run d = runAgainstDevsim(messages);
        if (!w.ok || !r.ok || !l.ok || !d.ok) {
            std::fprintf(stderr,
                         "bench_window: run %d failed (window %d, raw %d, floor %d, devsim %d)\n",
                         i + 1, w.ok, r.ok, l.ok, d.ok);
            return 1;
        }
        std::printf("  run %d: window %.1f ms, raw %.1f ms (one thread %.1f ms), plain socket to "
                    "devsim %.1f ms\n",
                    i + 1, w.seconds * 1e3, r.seconds * 1e3, l.seconds * 1e3, d.seconds * 1e3);
        window = std::min(window, w.seconds);
        raw = std::min(raw, r.seconds);
        floor = std::min(floor, l.seconds);
        device = std::min(device, d.seconds);
    }
    const double perTrip = 1e6 / trips;
    std::printf("window (offscreen) vs corvanel-devsim: %8.1f ms  %6.2f us per round trip\n",
                window * 1e3, window * perTrip);
    std::printf("raw ping-pong, two plain sockets:      %8.1f ms  %6.2f us per round trip\n",
                raw * 1e3, raw * perTrip);
    std::printf("  the same on one thread (the floor):  %8.1f ms  %6.2f us per round trip\n",
                floor * 1e3, floor * perTrip);
    std::printf("plain socket vs corvanel-devsim:       %8.1f ms  %6.2f us per round trip\n",
                device * 1e3, device * perTrip);
    std::printf("ratio window/raw: %.2f (goal <= 2); window/one-thread floor: %.2f; "
                "window/plain-socket-to-devsim: %.2f\n",
                window / raw, window / floor, window / device);
    std::printf("peak memory (VmHWM): %ld KiB\n", peakMemoryKiB());
    return 0;
}
