// bench_link: what the UDP link and the transfer core cost per round
// trip, against the floor of two plain sockets.
//
// Every run downloads and verifies the same 9000-line image over loopback:
// one datagram per line, one reply each, the replies made by the simulator's
// bootloader logic (BootloaderModel). Two set-ups, each timed both ways:
//
//  1. Device in a child process (the headline figure). A forked process owns
//     a plain POSIX socket and answers with BootloaderModel in a blocking
//     recvfrom/sendto loop; the device side is thus identical for both runs
//     and the difference is the tool side alone:
//       link: the window's transfer core + UdpLink on the Qt event loop;
//       raw:  blocking sendto/recvfrom on a plain POSIX socket.
//  2. Everything on this one thread. The link talks to DevsimServer (the
//     simulator's Qt server) on the same event loop; raw is a lock-step
//     sendto/recvfrom between two POSIX sockets with the same model. Here the
//     event loop's poll() for both ends is in the link's figure.

#include "engine/board.h"
#include "engine/protocol.h"
#include "link/udp_link.h"
#include "tools/devsim/bootloader_model.h"
#include "tools/devsim/devsim_server.h"

#include "raw_udp.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

using namespace corvanel;
using namespace corvanel::bench;

namespace {

constexpr int kImageLines = 9000; // the window's largest image

QByteArray hexRecord(quint8 type, quint16 offset, const QByteArray &data)
{
    QByteArray bytes;
    bytes.append(static_cast<char>(data.size()));
    bytes.append(static_cast<char>(offset >> 8));
    bytes.append(static_cast<char>(offset & 0xFF));
    bytes.append(static_cast<char>(type));
    bytes.append(data);
    quint8 sum = 0;
    for (const char c : bytes)
        sum = static_cast<quint8>(sum + static_cast<quint8>(c));
    bytes.append(static_cast<char>(static_cast<quint8>(0x100 - sum)));
    return ':' + bytes.toHex().toUpper();
}

// An extended-address record, 16-byte data records (another extended
// address at each 64 KiB), the end record: exactly 9000 lines.
QList<QByteArray> makeImage()
{
    QList<QByteArray> lines;
    lines.append(hexRecord(0x04, 0, QByteArray::fromHex("0800")));
    quint32 seed = 12345;
    for (quint32 address = 0; lines.size() < kImageLines - 1; address += 16) {
        if (address > 0 && (address & 0xFFFF) == 0) {
            lines.append(hexRecord(0x04, 0, QByteArray::fromHex("08") + char(address >> 16)));
            continue;
        }
        QByteArray data(16, Qt::Uninitialized);
        for (char &c : data) {
            seed = seed * 1103515245u + 12345u;
            c = static_cast<char>(seed >> 24);
        }
        lines.append(hexRecord(0x00, static_cast<quint16>(address & 0xFFFF), data));
    }
    lines.append(hexRecord(0x01, 0, {}));
    return lines;
}

// Download and verify through the real link and the window's transfer core,
// its effects carried out as the window's driver does; `started` and the END
// status bracket the time.
Run runLink(const QList<QByteArray> &image, quint16 devicePort)
{
    UdpLink link;
    Board board;
    QElapsedTimer clock;
    clock.start();
    const auto now = [&clock] { return Millis(clock.elapsed()); };
    const auto apply = [&] {
        while (const BoardOutput *output = board.poll()) {
            const auto *effect = std::get_if<LinkEffect>(output);
            if (effect && effect->kind == LinkEffect::Kind::Send)
                link.send(effect->bytes);
            else if (effect && effect->kind == LinkEffect::Kind::OpenLink)
                board.linkOpened(now());
        }
    };
    QObject::connect(&link, &UdpLink::datagramArrived, &link,
                     [&](const QByteArray &data, quint16 port) {
                         board.handleDatagram(now(), data, port);
                         apply();
                     });

    if (auto error = link.open(
            {QStringLiteral("127.0.0.1"), QString::number(devicePort), QStringLiteral("0")})) {
        std::fprintf(stderr, "bench_link: %s\n",
                     qPrintable(error->subject + QStringLiteral(": ") + error->reason));
        return {};
    }
    board.connect();
    apply();
    TextLines table;
    for (const QByteArray &line : image)
        table.append(line);
    board.adoptImage(TextLines::share(std::move(table)));
    apply();

    QEventLoop loop;
    QObject::connect(&link, &UdpLink::datagramArrived, &loop, [&] {
        if (board.phase() == Phase::Ended || board.phase() == Phase::Failed)
            loop.quit();
    });
    QTimer::singleShot(120000, &loop, &QEventLoop::quit);

    // What a "VER=" reply does: stop polling, send line 1.
    QElapsedTimer timer;
    timer.start();
    board.sendNextLine(now());
    apply();
    loop.exec();
    Run run;
    run.seconds = static_cast<double>(timer.nsecsElapsed()) / 1e9;
    run.ok = board.phase() == Phase::Ended; // the device says DOWNLOAD only when verified
    link.close();
    return run;
}

std::vector<QByteArray> messagesOf(const QList<QByteArray> &image)
{
    std::vector<QByteArray> messages;
    messages.reserve(static_cast<size_t>(image.size()) * 2);
    for (const QByteArray &line : image)
        messages.push_back(protocol::downloadLineMessage(line));
    for (const QByteArray &line : image)
        messages.push_back(protocol::verifyLineMessage(line));
    return messages;
}

// Set-up 2, link: the simulator's Qt server on this thread's event loop.
Run runLinkInProcess(const QList<QByteArray> &image)
{
    devsim::ServerOptions options;
    options.port = 0;
    devsim::DevsimServer server(options);
    if (const auto error = server.start()) {
        std::fprintf(stderr, "bench_link: %s\n", qPrintable(*error));
        return {};
    }
    Run run = runLink(image, server.port());
    run.ok = run.ok && server.model().summary().verified;
    return run;
}

struct Best {
    double link = 1e9;
    double raw = 1e9;
    void add(const Run &l, const Run &r)
    {
        link = std::min(link, l.seconds);
        raw = std::min(raw, r.seconds);
    }
};

void report(const char *title, const Best &best, int roundTrips)
{
    const double perTrip = 1e6 / roundTrips;
    std::printf("%s\n", title);
    std::printf("  link (UdpLink + Transfer):           %7.1f ms  %6.2f us per round trip\n",
                best.link * 1e3, best.link * perTrip);
    std::printf("  raw  (sendto/recvfrom, POSIX):       %7.1f ms  %6.2f us per round trip\n",
                best.raw * 1e3, best.raw * perTrip);
    std::printf("  ratio link/raw: %.2f\n", best.link / best.raw);
}

} // namespace

int main(int argc, char *argv[])
{
    int repeats = 5;
    if (argc > 1 && std::strcmp(argv[1], "--help") == 0) {
        std::printf(
            "usage: bench_link [repeats]   (default 5; the best run of each kind counts)\n");
        return 0;
    }
    if (argc > 1)
        repeats = std::max(1, std::atoi(argv[1]));

    // The child is forked before Qt starts, so it inherits no Qt state.
    std::fflush(stdout);
    ChildDevice device;
    if (!device.start()) {
        std::perror("bench_link: device");
        return 1;
    }

    QCoreApplication app(argc, argv);
    const QList<QByteArray> image = makeImage();
    const std::vector<QByteArray> messages = messagesOf(image);
    const int roundTrips = static_cast<int>(messages.size());
    std::printf("image: %lld lines, %d round trips per run (download + verify), best of %d\n",
                static_cast<long long>(image.size()), roundTrips, repeats);

    Best separate, together;
    bool ok = true;
    for (int i = 0; i < repeats && ok; ++i) {
        const Run l1 = runLink(image, device.port());
        const Run r1 = runRawAgainst(messages, device.address);
        const Run l2 = runLinkInProcess(image);
        const Run r2 = runRawInProcess(messages);
        ok = l1.ok && r1.ok && l2.ok && r2.ok;
        separate.add(l1, r1);
        together.add(l2, r2);
        std::printf("  run %d: child device: link %.1f ms, raw %.1f ms; one thread: link %.1f ms, "
                    "raw %.1f ms\n",
                    i + 1, l1.seconds * 1e3, r1.seconds * 1e3, l2.seconds * 1e3, r2.seconds * 1e3);
    }

    device.stop();

    if (!ok) {
        std::fprintf(stderr, "bench_link: a run did not complete a verified transfer\n");
        return 1;
    }
    report("1. device in a child process (plain socket + BootloaderModel), goal <= 1.5:", separate,
           roundTrips);
    report("2. device on this thread (link: DevsimServer on the same event loop):", together,
           roundTrips);
    return 0;
}
