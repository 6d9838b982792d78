// Loads a 9000-line Intel HEX image (16-byte data records, CR LF) again and
// again and prints the time per load and the table's memory per line against
// the file's bytes per line. Usage: bench_image_load [loads]

#include "image/image_loader.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

using namespace corvanel;

namespace {

QByteArray record(int type, int address, const QByteArray &data)
{
    QByteArray bytes;
    bytes.append(char(data.size()));
    bytes.append(char((address >> 8) & 0xff));
    bytes.append(char(address & 0xff));
    bytes.append(char(type));
    bytes.append(data);
    int sum = 0;
    for (char c : bytes)
        sum += quint8(c);
    bytes.append(char((0x100 - (sum & 0xff)) & 0xff));
    return ':' + bytes.toHex().toUpper() + "\r\n";
}

// 9000 lines: data records, an extended linear address record at every
// 64 KiB, and the end-of-file record last.
QByteArray makeImage(int lines)
{
    constexpr int kRecordsPerSegment = 0x10000 / 16;
    QByteArray out;
    quint32 address = 0;
    for (int line = 0; line < lines - 1; ++line) {
        if (line % (kRecordsPerSegment + 1) == 0) {
            const QByteArray upper{char((address >> 24) & 0xff), char((address >> 16) & 0xff)};
            out += record(4, 0, upper);
            continue;
        }
        QByteArray data;
        for (int i = 0; i < 16; ++i)
            data.append(char((address * 31 + i * 7) & 0xff));
        out += record(0, int(address & 0xffff), data);
        address += 16;
    }
    out += ":00000001FF\r\n";
    return out;
}

} // namespace

constexpr int kWindowLines = 9000; // the window's largest image

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int loads = argc > 1 ? std::max(1, atoi(argv[1])) : 300;

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("image.hex"));
    const QByteArray image = makeImage(kWindowLines);
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(image) != image.size()) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
            return 1;
        }
    }

    std::vector<double> ms;
    ms.reserve(size_t(loads));
    qsizetype tableBytes = 0;
    int lines = 0;
    QElapsedTimer timer;
    for (int i = 0; i < loads; ++i) {
        timer.start();
        auto result = readImageFile(path, kWindowLines);
        const qint64 ns = timer.nsecsElapsed();
        if (auto *error = std::get_if<OperatorError>(&result)) {
            std::fprintf(stderr, "%s: %s\n", qPrintable(error->title()), qPrintable(error->reason));
            return 1;
        }
        const TextLines &table = std::get<TextLines>(result);
        tableBytes = table.byteSize();
        lines = table.count();
        ms.push_back(double(ns) / 1e6);
    }
    std::sort(ms.begin(), ms.end());
    double total = 0;
    for (double m : ms)
        total += m;

    const double fileBytes = double(image.size()) / lines;
    const double tableBytesPerLine = double(tableBytes) / lines;
    std::printf("image: %d lines, %lld file bytes\n", lines, static_cast<long long>(image.size()));
    std::printf("loads: %d; ms per load: mean %.3f, median %.3f, min %.3f, max %.3f (goal < 5)\n",
                loads, total / loads, ms[ms.size() / 2], ms.front(), ms.back());
    std::printf("memory: table %.1f bytes per line, file %.1f bytes per line, ratio %.2f "
                "(goal <= 2)\n",
                tableBytesPerLine, fileBytes, tableBytesPerLine / fileBytes);
    return 0;
}
