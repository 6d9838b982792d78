// The transfer engine's own cost per image line: a 9000-line image through the
// download and verify passes against an in-process device. The effects are
// taken as a driver takes them: datagrams counted, the display drawing nothing.

#include "engine/transfer.h"

#include "status_only_display.h"

#include <QByteArray>

#include <chrono>
#include <cstdio>

using namespace corvanel;

namespace {

// Keeps only what the device needs to answer: was the last datagram the
// end-of-file record?
struct NullLink {
    bool lastWasEof = false;
    qint64 bytes = 0;
    void send(QByteArrayView datagram)
    {
        bytes += datagram.size();
        lastWasEof = datagram.size() > 12 && datagram.sliced(datagram.size() - 4) == "FF\r\n" &&
                     datagram.sliced(5, 8) == "00000001";
    }
};

TextLines makeImage(int lines)
{
    TextLines table;
    for (int i = 1; i < lines; ++i) {
        QByteArray record =
            ":10" + QByteArray::number((i * 16) & 0xFFFF, 16).rightJustified(4, '0').toUpper() +
            "00" + QByteArray(32, 'A') + "5C";
        table.append(record);
    }
    table.append(":00000001FF");
    return table;
}

} // namespace

int main()
{
    constexpr int kLines = 9000;
    constexpr int kRounds = 200;
    bench::StatusOnlyDisplay display;
    NullLink link;
    Transfer transfer;
    const auto apply = [&] {
        while (const Effect *effect = transfer.pollEffect()) {
            if (effect->kind == Effect::Kind::Send)
                link.send(effect->bytes);
            else if (effect->kind == Effect::Kind::OpenLink)
                transfer.linkOpened(Millis{0});
            else
                showOn(display, *effect);
        }
    };
    transfer.connect();
    apply();

    const TextLines image = makeImage(kLines);
    // The replies as a socket hands them over: one buffer each, shared.
    const QByteArray ok = QByteArrayLiteral("OK");
    const QByteArray passEnd = QByteArrayLiteral("DOWNLOAD");
    long long sentLines = 0;
    auto best = std::chrono::nanoseconds::max();
    for (int round = 0; round < kRounds; ++round) {
        TextLines copy;
        for (int i = 1; i <= image.count(); ++i)
            copy.append(image.line(i));
        transfer.startImageLoad();
        transfer.adoptImage(TextLines::share(std::move(copy)));
        apply();
        const TransferState &s = transfer.state();

        const auto start = std::chrono::steady_clock::now();
        transfer.handleDatagram(Millis{0}, QByteArrayLiteral("VER=BENCH"));
        apply();
        while (s.imageLoaded == 1) {
            transfer.handleDatagram(Millis{0}, link.lastWasEof ? passEnd : ok);
            apply();
        }
        const auto elapsed = std::chrono::steady_clock::now() - start;
        best = std::min(best, std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed));
        sentLines += 2 * kLines;
    }
    const double perLine = double(best.count()) / (2.0 * kLines);
    std::printf("engine: %d lines, download + verify, best of %d rounds: %.3f ms, %.1f ns per line "
                "(goal < 100 ns)\n",
                kLines, kRounds, best.count() / 1e6, perLine);
    std::printf("lines sent in all: %lld, bytes: %lld\n", sentLines, link.bytes);
    return 0;
}
