// The engine's own cost per image line: a 9000-line image through the
// download and verify passes against an in-process device, for the window's
// board and the flasher's. The outputs are taken as a driver takes them:
// datagrams counted, events passed over.

#include "engine/board.h"

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

SharedLines copyOf(const TextLines &image)
{
    TextLines copy;
    for (int i = 1; i <= image.count(); ++i)
        copy.append(image.line(i));
    return TextLines::share(std::move(copy));
}

// One whole transfer, best of `rounds`; the time per line in nanoseconds.
template <typename MakeBoard>
double perLine(const TextLines &image, int rounds, NullLink &link, MakeBoard makeBoard)
{
    const QByteArray ok = QByteArrayLiteral("OK");
    const QByteArray passEnd = QByteArrayLiteral("DOWNLOAD");
    const QByteArray version = QByteArrayLiteral("VER=BENCH");
    auto best = std::chrono::nanoseconds::max();
    for (int round = 0; round < rounds; ++round) {
        auto board = makeBoard(copyOf(image));
        const auto apply = [&] {
            while (const BoardOutput *output = board->poll()) {
                const auto *effect = std::get_if<LinkEffect>(output);
                if (!effect)
                    continue;
                if (effect->kind == LinkEffect::Kind::Send)
                    link.send(effect->bytes);
                else if (effect->kind == LinkEffect::Kind::OpenLink)
                    board->linkOpened(Millis{0}, 5600);
            }
        };
        apply();
        const auto start = std::chrono::steady_clock::now();
        board->handleDatagram(Millis{0}, version, 111);
        apply();
        while (board->phase() == Phase::Download || board->phase() == Phase::Verify) {
            if (board->timer(Board::Timer::Quiet))
                break;
            board->handleDatagram(Millis{0}, link.lastWasEof ? passEnd : ok, 111);
            apply();
        }
        const auto elapsed = std::chrono::steady_clock::now() - start;
        best = std::min(best, std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed));
    }
    return double(best.count()) / (2.0 * double(image.count()));
}

} // namespace

int main()
{
    constexpr int kLines = 9000;
    constexpr int kRounds = 200;
    const TextLines image = makeImage(kLines);
    NullLink link;

    const double window = perLine(image, kRounds, link, [](SharedLines lines) {
        auto board = std::make_unique<Board>(Policy::window());
        board->connect();
        while (const BoardOutput *output = board->poll()) {
            const auto *effect = std::get_if<LinkEffect>(output);
            if (effect && effect->kind == LinkEffect::Kind::OpenLink)
                board->linkOpened(Millis{0}, 5600);
        }
        board->adoptImage(std::move(lines));
        return board;
    });
    const double strict = perLine(image, kRounds, link, [](SharedLines lines) {
        auto board = std::make_unique<Board>(Policy::strict({}), HostSettings{}, Production{},
                                             std::move(lines));
        board->start(Millis{0});
        return board;
    });
    std::printf("engine: %d lines, download + verify, best of %d rounds (goal < 100 ns a line)\n",
                kLines, kRounds);
    std::printf("  window's board:  %.1f ns per line\n", window);
    std::printf("  flasher's board: %.1f ns per line\n", strict);
    std::printf("bytes sent in all: %lld\n", link.bytes);
    return 0;
}
