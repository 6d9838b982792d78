// Loads a 16 MiB binary and a 16 MiB ELF file as the flasher would: reads the
// file, builds the memory image, computes its figures and sets up the Intel HEX
// lines (the setup), then makes every line once (as a transfer sends them).
// Each case runs in a child process of its own, so its peak memory (VmHWM) is
// its own. Usage: bench_image_convert [runs per case]

#include "image/image_figures.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

using namespace corvanel::image;

namespace {

constexpr qint64 kInputBytes = qint64(16) << 20;
constexpr qint64 kFirstSegmentBytes = qint64(12) << 20; // the rest lies 0x18000000 above
constexpr quint32 kBase = 0x08000000;
constexpr quint32 kSecondBase = 0x20000000;
constexpr int kElfHeaderBytes = 52;
constexpr int kProgramHeaderBytes = 32;
constexpr int kSectionHeaderBytes = 40;
constexpr int kElfDataOffset = 4096;
constexpr int kChildTimeoutMs = 60000;

QByteArray payload(qint64 size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    quint32 x = 0x12345678;
    for (qint64 i = 0; i < size; ++i) {
        x = x * 1664525u + 1013904223u;
        bytes[i] = char(x >> 24);
    }
    return bytes;
}

void put(QByteArray &bytes, qint64 at, quint32 value, int size)
{
    for (int i = 0; i < size; ++i)
        bytes[at + i] = char((value >> (8 * i)) & 0xff);
}

// A 32-bit little-endian ELF executable as a linker writes it: two PT_LOAD
// program headers and a section for each (12 MiB of .text at 0x08000000, 4 MiB
// of .data at 0x20000000), then the section names and the section header
// table; it is read by its sections.
QByteArray makeElf(const QByteArray &data)
{
    QByteArray elf(kElfDataOffset, '\0');
    elf.replace(0, 7,
                QByteArray("\x7f"
                           "ELF\x01\x01\x01",
                           7));
    const QByteArray names("\0.text\0.data\0.shstrtab\0", 24);
    const quint32 namesOffset = quint32(kElfDataOffset + data.size());
    const quint32 tableOffset = namesOffset + quint32(names.size());
    put(elf, 16, 2, 2);               // e_type: executable
    put(elf, 18, 40, 2);              // e_machine: ARM
    put(elf, 20, 1, 4);               // e_version
    put(elf, 24, kBase, 4);           // e_entry
    put(elf, 28, kElfHeaderBytes, 4); // e_phoff
    put(elf, 32, tableOffset, 4);     // e_shoff
    put(elf, 40, kElfHeaderBytes, 2); // e_ehsize
    put(elf, 42, kProgramHeaderBytes, 2);
    put(elf, 44, 2, 2); // e_phnum
    put(elf, 46, kSectionHeaderBytes, 2);
    put(elf, 48, 4, 2); // e_shnum: null, .text, .data, .shstrtab
    put(elf, 50, 3, 2); // e_shstrndx
    const struct {
        quint32 address;
        qint64 offset, size;
        quint32 name, flags;
    } loads[] = {{kBase, 0, kFirstSegmentBytes, 1, 6},
                 {kSecondBase, kFirstSegmentBytes, data.size() - kFirstSegmentBytes, 7, 3}};
    QByteArray sections(kSectionHeaderBytes, '\0'); // the null section
    for (int i = 0; i < 2; ++i) {
        const qint64 ph = kElfHeaderBytes + i * kProgramHeaderBytes;
        const quint32 offset = quint32(kElfDataOffset + loads[i].offset);
        put(elf, ph, 1, 4); // PT_LOAD
        put(elf, ph + 4, offset, 4);
        put(elf, ph + 8, loads[i].address, 4);  // p_vaddr
        put(elf, ph + 12, loads[i].address, 4); // p_paddr
        put(elf, ph + 16, quint32(loads[i].size), 4);
        put(elf, ph + 20, quint32(loads[i].size), 4);
        put(elf, ph + 24, 5, 4); // R X
        put(elf, ph + 28, 4, 4);
        QByteArray section(kSectionHeaderBytes, '\0');
        put(section, 0, loads[i].name, 4);
        put(section, 4, 1, 4); // SHT_PROGBITS
        put(section, 8, loads[i].flags, 4);
        put(section, 12, loads[i].address, 4);
        put(section, 16, offset, 4);
        put(section, 20, quint32(loads[i].size), 4);
        sections += section;
    }
    QByteArray namesHeader(kSectionHeaderBytes, '\0');
    put(namesHeader, 0, 13, 4); // ".shstrtab"
    put(namesHeader, 4, 3, 4);  // SHT_STRTAB
    put(namesHeader, 16, namesOffset, 4);
    put(namesHeader, 20, quint32(names.size()), 4);
    return elf + data + names + sections + namesHeader;
}

qint64 statusKiB(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(qstrlen(field)).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

// One case in this process: prints its figures on one line, for the parent.
int runCase(const QString &path, const QString &kind)
{
    const qint64 startKiB = statusKiB("VmHWM:");
    ReadOptions options;
    if (kind == QLatin1String("binary")) {
        options.format = Format::Binary;
        options.binaryBase = kBase;
    }
    QElapsedTimer timer;
    timer.start();
    auto loaded = loadImageFile(path, options);
    if (auto *error = std::get_if<ImageError>(&loaded)) {
        std::fprintf(stderr, "%s\n", qPrintable(error->text));
        return 1;
    }
    const double loadMs = double(timer.nsecsElapsed()) / 1e6;
    LoadedImage &image = std::get<LoadedImage>(loaded);
    const HexRecordLines lines(std::move(image.memory));
    const ImageFigures figures = computeFigures(image.format, lines);
    const double setupMs = double(timer.nsecsElapsed()) / 1e6;

    timer.restart();
    qint64 characters = 0;
    for (qint64 number = 1; number <= lines.count(); ++number)
        characters += lines.line(number).size();
    const double linesMs = double(timer.nsecsElapsed()) / 1e6;

    std::printf("%.1f %.1f %lld %lld %lld %08X %lld %.1f\n", setupMs, linesMs,
                static_cast<long long>(lines.count()), static_cast<long long>(statusKiB("VmHWM:")),
                static_cast<long long>(startKiB), figures.crc32, static_cast<long long>(characters),
                loadMs);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() == 4 && args[1] == QLatin1String("--case"))
        return runCase(args[3], args[2]);
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;

    QTemporaryDir dir;
    const QByteArray data = payload(kInputBytes);
    const struct {
        const char *kind;
        QByteArray bytes;
    } cases[] = {{"binary", data}, {"elf", makeElf(data)}};

    // read: the file read and its memory image built; setup: that, the figures
    // (CRC-32, SHA-256) and the line table; lines: every line made once.
    std::printf("%-7s %10s %9s %8s %9s %9s %9s %9s %7s %9s\n", "input", "bytes", "lines", "read ms",
                "setup ms", "lines ms", "total ms", "peak KiB", "peak/in", "start KiB");
    for (const auto &c : cases) {
        const QString path = dir.filePath(QString::fromLatin1(c.kind));
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(c.bytes) != c.bytes.size()) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
            return 1;
        }
        file.close();
        for (int run = 0; run < runs; ++run) {
            QProcess child;
            child.start(QCoreApplication::applicationFilePath(),
                        {QStringLiteral("--case"), QString::fromLatin1(c.kind), path});
            if (!child.waitForFinished(kChildTimeoutMs) || child.exitCode() != 0) {
                std::fprintf(stderr, "%s failed: %s\n", c.kind,
                             child.readAllStandardError().constData());
                return 1;
            }
            const QList<QByteArray> f = child.readAllStandardOutput().trimmed().split(' ');
            const double setup = f[0].toDouble(), lines = f[1].toDouble();
            const qint64 peak = f[3].toLongLong();
            std::printf("%-7s %10lld %9s %8.1f %9.1f %9.1f %9.1f %9lld %7.2f %9s\n", c.kind,
                        static_cast<long long>(c.bytes.size()), f[2].constData(), f[7].toDouble(),
                        setup, lines, setup + lines, static_cast<long long>(peak),
                        double(peak) * 1024 / double(c.bytes.size()), f[4].constData());
        }
    }
    return 0;
}
