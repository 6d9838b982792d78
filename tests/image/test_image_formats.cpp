#include "image/flash_image.h"
#include "image/hex_check.h"
#include "image/image_figures.h"
#include "image/intel_hex.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#ifdef Q_OS_UNIX
#include <clocale>
#include <fnmatch.h>
#endif

using namespace Qt::StringLiterals;
using namespace corvanel;
using namespace corvanel::image;

namespace {

constexpr quint32 kBase = 0x08000000;

MemoryImage imageOf(std::variant<LoadedImage, ImageError> read)
{
    if (auto *error = std::get_if<ImageError>(&read))
        qFatal("unexpected refusal: %s", qPrintable(error->text));
    return std::get<LoadedImage>(std::move(read)).memory;
}

template <typename T> QString errorText(const std::variant<T, ImageError> &result)
{
    const auto *error = std::get_if<ImageError>(&result);
    return error ? error->text : QString();
}

QByteArray allLines(const HexRecordLines &lines)
{
    QByteArray text;
    for (qint64 number = 1; number <= lines.count(); ++number)
        text += lines.line(number) + "\r\n";
    return text;
}

// Walks the lines as the bootloader reads them. Fails unless every line is a
// sound record, no data record passes a 64 KiB boundary or holds more than
// `recordBytes`, every address record changes the 64 KiB block, 02 records
// come only below 1 MiB and before any 04, 04 records only above, and the one
// end-of-file record comes last.
void checkRecords(const HexRecordLines &lines, int recordBytes)
{
    const auto lowerCase = [](char c) { return c >= 'a' && c <= 'z'; };
    quint32 upper = 0;
    bool linear = false;
    for (qint64 i = 1; i <= lines.count(); ++i) {
        const QByteArray text = lines.line(i);
        QString fault;
        const auto record = parseHexRecord(text, ':', &fault);
        if (!record) {
            // the reader's words say why
        } else if (std::any_of(text.begin(), text.end(), lowerCase)) {
            fault = u"lower case"_s;
        } else if ((record->type == hexrecord::kEndOfFile) != (i == lines.count())) {
            fault = u"the end-of-file record is not (only) last"_s;
        } else if (record->type == hexrecord::kExtendedLinearAddress ||
                   record->type == hexrecord::kExtendedSegmentAddress) {
            const bool segment = record->type == hexrecord::kExtendedSegmentAddress;
            const quint32 value = quint32(quint8(record->data[0]) << 8 | quint8(record->data[1]));
            const quint32 block = segment ? value >> 12 : value;
            if (block == upper)
                fault = u"repeats the upper address bits"_s;
            if (segment ? linear || (value & 0xfff) != 0 : block < 0x10)
                fault = u"an 02 after an 04 or within a block, or an 04 below 1 MiB"_s;
            upper = block;
            linear = !segment;
        } else if (record->type == hexrecord::kData) {
            if (record->data.size() > recordBytes)
                fault = u"too long"_s;
            if (record->offset + record->data.size() > 0x10000)
                fault = u"crosses a 64 KiB boundary"_s;
        }
        if (!fault.isEmpty())
            QFAIL(qPrintable(u"line %1 (%2): %3"_s.arg(i).arg(text, fault)));
    }
    QCOMPARE(lines.line(lines.count()), ":00000001FF");
    QVERIFY(lines.line(lines.count() + 1).isEmpty() && lines.line(0).isEmpty());
}

QByteArray pattern(qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = char((i * 7 + i / 251) & 0xff);
    return bytes;
}

void patch64(QByteArray &bytes, qint64 at, quint64 value, int size)
{
    for (int i = 0; i < size; ++i)
        bytes[at + i] = char((value >> (8 * i)) & 0xff);
}

quint64 read64(const QByteArray &bytes, qint64 at)
{
    quint64 value = 0;
    for (int i = 0; i < 8; ++i)
        value |= quint64(quint8(bytes[at + i])) << (8 * i);
    return value;
}

} // namespace

class TestImageFormats : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(dir_.isValid());
        // 64 KiB of a real program, in two parts for the two ELF segments.
        QFile program(QStringLiteral(CORVANEL_OBJCOPY));
        if (!program.open(QIODevice::ReadOnly) ||
            !QFileInfo(QStringLiteral(CORVANEL_LD)).isExecutable())
            return qWarning("objcopy or ld is not installed: no real inputs are tried");
        program_ = program.read(0x10000);
        QCOMPARE(program_.size(), 0x10000);
        write(u"program.bin"_s, program_);
        write(u"a.bin"_s, program_.first(40000));
        write(u"b.bin"_s, program_.sliced(40000));
        // Two load segments; the second runs at 0x20000000 but is stored at
        // 0x0801F000 and crosses a 64 KiB boundary there.
        write(u"two.ld"_s, "PHDRS { one PT_LOAD; two PT_LOAD; }\n"
                           "SECTIONS {\n"
                           "  .one 0x08000000 : { a.o(.data) } :one\n"
                           "  .two 0x20000000 : AT(0x0801F000) { b.o(.data) } :two\n"
                           "}\n");
        tool(CORVANEL_LD, {"-r", "-b", "binary", "a.bin", "-o", "a.o"});
        tool(CORVANEL_LD, {"-r", "-b", "binary", "b.bin", "-o", "b.o"});
    }

    // Each input read by the library holds what objcopy's Intel HEX of the
    // same input holds, and its converted records read back to the same.
    void realInputs_data()
    {
        if (program_.isEmpty())
            QSKIP("no real inputs");
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("format");
        QTest::addColumn<QStringList>("toHex"); // objcopy's arguments for the reference

        const QString base = u"--change-addresses=0x%1"_s.arg(kBase, 0, 16);
        QTest::newRow("binary") << u"program.bin"_s << int(Format::Binary)
                                << QStringList{"-I", "binary", base};
        for (const QString &srec : {u"-O srec"_s, u"-O srec --srec-forceS3"_s}) {
            const QString name = u"srec%1"_s.arg(srec.size());
            tool(CORVANEL_OBJCOPY, QStringList{"-I", "binary"} + srec.split(' ') +
                                       QStringList{base, "program.bin", name});
            QTest::newRow(qPrintable(srec)) << name << int(Format::SRecord) << QStringList{};
        }
        for (const QString &elf :
             {u"elf64-x86-64"_s, u"elf32-i386"_s, u"elf32-big"_s, u"elf64-big"_s}) {
            tool(CORVANEL_LD, {"-N", "-T", "two.ld", "--oformat", elf, "a.o", "b.o", "-o", elf});
            QTest::newRow(qPrintable(elf)) << elf << int(Format::Elf) << QStringList{};
        }
        // .two starts 16 bytes into its segment's memory but at the start of
        // its file bytes: the file offset places it, not the address.
        QByteArray moved = read(u"elf64-x86-64"_s);
        const qint64 two = qint64(read64(moved, 32)) + 56;           // its program header
        patch64(moved, two + 16, read64(moved, two + 16) - 0x10, 8); // p_vaddr
        patch64(moved, two + 40, read64(moved, two + 40) + 0x10, 8); // p_memsz
        write(u"moved.elf"_s, moved);
        QTest::newRow("elf64, a section past its segment's address")
            << u"moved.elf"_s << int(Format::Elf) << QStringList{};
    }

    void realInputs()
    {
        QFETCH(QString, file);
        QFETCH(int, format);
        QFETCH(QStringList, toHex);

        tool(CORVANEL_OBJCOPY, toHex + QStringList{"-O", "ihex", file, "ref.hex"});
        const LoadedImage reference =
            std::get<LoadedImage>(loadImageFile(dir_.filePath(u"ref.hex"_s), {}));
        QCOMPARE(reference.format, Format::IntelHex);

        // Forced: the first 64 KiB of a program start like an ELF file.
        ReadOptions options;
        options.binaryBase = kBase;
        if (format == int(Format::Binary))
            options.format = Format::Binary;
        const auto loaded = loadImageFile(dir_.filePath(file), options);
        QVERIFY2(std::holds_alternative<LoadedImage>(loaded), qPrintable(errorText(loaded)));
        const LoadedImage &image = std::get<LoadedImage>(loaded);
        QCOMPARE(int(image.format), format);
        QVERIFY(image.memory == reference.memory);
        QCOMPARE(image.memory.byteCount(), program_.size());
        QCOMPARE(image.memory.read(kBase, 40000), program_.first(40000));

        const HexRecordLines lines(image.memory);
        checkRecords(lines, HexRecordLines::kDefaultRecordBytes);
        // objcopy lays out records the same way; it adds a start address.
        QByteArray objcopyLines;
        for (const QByteArray &line : read(u"ref.hex"_s).split('\n')) {
            if (!line.isEmpty() && !line.startsWith(":04000005") && !line.startsWith(":04000003"))
                objcopyLines += line + '\n';
        }
        QCOMPARE(allLines(lines), objcopyLines);
        QVERIFY(imageOf(readIntelHex(allLines(lines))) == image.memory);

        const ImageFigures figures = computeFigures(image.format, lines);
        QCOMPARE(figures.formatName, formatName(image.format));
        QCOMPARE(figures.recordCount, lines.count());
        QCOMPARE(figures.dataBytes, program_.size());
        QByteArray inOrder; // the ELF's second part lies above its first
        for (const AddressRange &r : figures.ranges)
            inOrder += image.memory.read(r.start, r.size);
        QCOMPARE(inOrder, program_);
        QCOMPARE(figures.crc32, crc32(program_));
        QCOMPARE(figures.sha256, QCryptographicHash::hash(program_, QCryptographicHash::Sha256));
    }

    void conversionAtBoundaries_data()
    {
        QTest::addColumn<quint32>("base");
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("recordBytes");

        QTest::newRow("1 MiB from 0, 16") << 0u << 0x100000 << 16;
        QTest::newRow("1 MiB off-block, 255") << 0x0800FFF3u << 0x100000 << 255;
        QTest::newRow("1 MiB off-block, 31") << 0x20000009u << 0x100000 << 31;
        QTest::newRow("3 blocks up to 4 GiB, 1") << 0xFFFD0010u << 0x2FFF0 << 1;
        QTest::newRow("3 bytes, 64") << 0x0001FFFEu << 3 << 64;
        QTest::newRow("across 1 MiB, 7") << 0x000F8009u << 0x10000 << 7;
    }

    void conversionAtBoundaries()
    {
        QFETCH(quint32, base);
        QFETCH(int, size);
        QFETCH(int, recordBytes);

        const MemoryImage image = imageOf(readBinary(pattern(size), base));
        const HexRecordLines lines(image, recordBytes);
        checkRecords(lines, recordBytes);
        if (QTest::currentTestFailed())
            return;
        QVERIFY(imageOf(readIntelHex(allLines(lines))) == image);
        // The address records: one per 64 KiB block touched, none for block
        // 0, and an 02 of 0 before the first 04 after 02s.
        const quint64 first = base / 0x10000, last = (quint64(base) + size - 1) / 0x10000;
        const qint64 extended =
            (last - first + 1) - (first == 0 ? 1 : 0) + (first < 0x10 && last >= 0x10 ? 1 : 0);
        qint64 dataRecords = 0;
        for (quint64 at = base; at < quint64(base) + size;) {
            const quint64 next =
                std::min<quint64>(quint64(base) + size, (at / 0x10000 + 1) * 0x10000);
            dataRecords += qint64((next - at + recordBytes - 1) / recordBytes);
            at = next;
        }
        QCOMPARE(lines.count(), dataRecords + extended + 1);
    }

    // Sound text inputs and the bytes they place.
    void textReads_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QList<AddressRange>>("ranges");
        QTest::addColumn<QByteArray>("bytes"); // all data, in address order
        QTest::addColumn<QString>("start");    // text and source, or empty for none

        // An 02 record: offsets wrap within the segment.
        QTest::newRow("segment wraps") << QByteArray(":020000021000EC\n:04FFFE00AABBCCDDF1\n"
                                                     ":00000001FF\n")
                                       << QList<AddressRange>{{0x10000, 2}, {0x1FFFE, 2}}
                                       << QByteArray("\xCC\xDD\xAA\xBB") << QString();
        // An 04 record: offsets run on into the next block.
        QTest::newRow("linear runs on")
            << QByteArray(":020000040001F9\r\n:04FFFE00AABBCCDDF1\r\n:00000001FF\r\n")
            << QList<AddressRange>{{0x1FFFE, 4}} << QByteArray("\xAA\xBB\xCC\xDD") << QString();
        QTest::newRow("records out of order, start records")
            << QByteArray(":02001000334477\n:0400000300001000E9\n:02000E001122BD\n"
                          ":0400000508000000EF\n:00000001FF")
            << QList<AddressRange>{{0x0E, 4}} << QByteArray("\x11\x22\x33\x44")
            << u"0x08000000 Intel HEX record 05"_s;
        QTest::newRow("CS:IP start, byte-order mark, what may follow the end")
            << QByteArray("\xEF\xBB\xBF:0400000300001000E9\r\n:02000E001122BD\r\n"
                          ":00000001FF\r\n\r\n  \r\n\x1A")
            << QList<AddressRange>{{0x0E, 2}} << QByteArray("\x11\x22")
            << u"0x0000:0x1000 Intel HEX record 03, CS:IP"_s;
        QTest::newRow("S2, S5, S8, lower case")
            << QByteArray("S0030000FC\nS20601fffe1122c8\nS20502000033C5\nS5030002FA\n"
                          "S804000000FB\n")
            << QList<AddressRange>{{0x1FFFE, 3}} << QByteArray("\x11\x22\x33")
            << u"0x00000000 S-record end record"_s;
        // As srec_cat writes a file without a start address.
        QTest::newRow("S1 and a count last, no end record, byte-order mark")
            << QByteArray("\xEF\xBB\xBFS1050000AABB95\nS5030001FB\n") << QList<AddressRange>{{0, 2}}
            << QByteArray("\xAA\xBB") << QString();
        QTest::newRow("S1 and a 24-bit count last")
            << QByteArray("S1050000AABB95\nS604000001FA\n") << QList<AddressRange>{{0, 2}}
            << QByteArray("\xAA\xBB") << QString();
    }

    void textReads()
    {
        QFETCH(QByteArray, text);
        QFETCH(QList<AddressRange>, ranges);
        QFETCH(QByteArray, bytes);
        QFETCH(QString, start);

        const auto loaded = readImage(text, {});
        QVERIFY2(std::holds_alternative<LoadedImage>(loaded), qPrintable(errorText(loaded)));
        const LoadedImage &image = std::get<LoadedImage>(loaded);
        QCOMPARE(image.memory.ranges(), ranges);
        QByteArray all;
        for (const AddressRange &r : ranges)
            all += image.memory.read(r.start, r.size);
        QCOMPARE(all, bytes);
        QCOMPARE(image.start ? image.start->text() + ' ' + image.start->source() : QString(),
                 start);

        // The figures follow the addresses, whatever order the file has.
        const ImageFigures figures = computeFigures(image.format, image.memory, 0);
        QCOMPARE(figures.crc32, crc32(bytes));
        QCOMPARE(figures.sha256, QCryptographicHash::hash(bytes, QCryptographicHash::Sha256));
    }

    // Each bad input is refused with words naming the place.
    void refusals_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("forced");     // "binary" with no base, else detected
        QTest::addColumn<QStringList>("remove"); // sections to leave out
        QTest::addColumn<QStringList>("words");

        const auto row = [](const char *name, const QByteArray &content, QStringList words,
                            const QString &forced = {}, const QStringList &remove = {}) {
            QTest::newRow(name) << content << forced << remove << words;
        };
        const QByteArray eof = ":00000001FF\n";
        const QByteArray d16 = ":10000000000102030405060708090A0B0C0D0E0F78\n";
        row("hex: blank line", d16 + "\n" + eof, {"line 2", "blank"});
        row("hex: line after the end", d16 + eof + "\n" + d16 + "\n",
            {"line 4", "end-of-file record of line 2", "only blank lines"});
        row("hex: two DOS end bytes", d16 + eof + "\x1A\x1A", {"line 3", "0x1A"});
        row("hex: no end", d16, {"no end-of-file record", "line 1"});
        row("hex: endless line", ":" + QByteArray(600, '0') + "\n" + eof,
            {"line 1", "601 characters"});
        row("hex: bad checksum", ":0100000000FE\n" + eof, {"line 1", "checksum FE", "FF"});
        row("hex: overlapping records", d16 + ":02000800AABB91\n" + eof,
            {"0x00000008", "written twice", "line 1", "line 2"});
        row("hex: past 4 GiB",
            ":02000004FFFFFC\n:10FFF800000102030405060708090A0B0C0D0E0F81\n" + eof,
            {"line 2", "0xFFFFFFF8", "past the end"});
        const QByteArray s1 = "S1050000AABB95\n";
        row("srec: bad checksum", "S0030000FC\n" + s1 + "S1050002AABB94\nS9030000FC\n",
            {"line 3", "checksum 94", "93"});
        row("srec: wrong count", s1 + "S5030002FA\nS9030000FC\n",
            {"line 2", "2 data records", "1"});
        row("srec: no end", s1, {"no end record", "no record count", "line 1"});
        row("srec: count not last", s1 + "S5030001FB\n" + s1, {"no end record", "line 3"});
        row("srec: S4", "S4030000FC\n", {"line 1", "not an S-record"});
        row("srec: overlapping records", s1 + "S1050001CCDD50\nS9030000FC\n",
            {"0x00000001", "line 1", "line 2"});
        row("binary without base", "\x01\x02", {"binary", "base address"}, u"binary"_s);
        row("detected binary without base", "\x01\x02", {"not ELF", "base address"});
        row("binary that begins with a byte-order mark", "\xEF\xBB\xBF\x01\x02",
            {"looks like text", "byte-order mark", "--format bin"});
        row("text as binary", "firmware 1.2\r\n\tbuilt \xC3\xA9t\xC3\xA9\n",
            {"looks like text", "first 27 bytes", "--format bin"});
        row("sections of a HEX file", d16 + eof, {"ELF images only", "Intel HEX"}, {}, {".eeprom"});
        row("empty", {}, {"empty"});

        if (program_.isEmpty())
            return;
        tool(CORVANEL_LD, {"-N", "-T", "two.ld", "a.o", "b.o", "-o", "le64"});
        const QByteArray elf = read(u"le64"_s); // ELF64 LSB: 56-byte program headers at 64
        QCOMPARE(elf.at(4), char(2));
        constexpr int kSegment1 = 64 + 56, kPAddr = 24;
        // 64-byte section headers: 0 is null, 1 is .one, 2 is .two.
        const qint64 sectionTable = qint64(read64(elf, 40));
        const qint64 one = sectionTable + 64, two = sectionTable + 128;
        constexpr int kFlags = 8, kOffset = 24;
        row("elf: cut in the header", elf.first(40), {"truncated", "64 bytes", "40"});
        row("elf: cut in the section table", elf.first(elf.size() - 10),
            {"truncated", "section header table", "past the end"});
        QByteArray noLoad = elf;
        patch64(noLoad, one + kFlags, 0, 8); // not allocated
        patch64(noLoad, two + kFlags, 0, 8);
        row("elf: no loadable data", noLoad, {"no loadable data", "no allocated section"});
        QByteArray outside = elf;
        patch64(outside, one + kOffset, 0x7FFFFFFFFFFFFFF0, 8);
        row("elf: data outside the file", outside,
            {"section .one (number 1)", "0x7FFFFFFFFFFFFFF0"});
        QByteArray overlap = elf;
        patch64(overlap, kSegment1 + kPAddr, kBase + 0x100, 8);
        row("elf: overlapping sections", overlap,
            {"0x08000100", "ELF section .one", "ELF section .two", "written twice"});
        QByteArray above4G = elf;
        patch64(above4G, kSegment1 + kPAddr, 0xFFFFFFFF, 8);
        row("elf: above 4 GiB", above4G, {"section .two", "0xFFFFFFFF", "4 GiB"});
        row("elf: relocatable object", read(u"a.o"_s), {"relocatable", "not a linked program"});
        row("elf: a section that matches nothing", elf,
            {"\".eeprom\"", "matches none", ".one, .two"}, {}, {".one", ".eeprom"});
        row("elf: nothing left", elf, {"no loadable data", "chosen"}, {}, {".o*", ".t?o"});
    }

    void refusals()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, forced);
        QFETCH(QStringList, remove);
        QFETCH(QStringList, words);

        ReadOptions options;
        if (!forced.isEmpty())
            options.format = Format::Binary;
        options.sections.remove = remove;
        const auto loaded = readImage(content, options);
        QVERIFY(std::holds_alternative<ImageError>(loaded));
        const QString text = std::get<ImageError>(loaded).text;
        for (const QString &word : words)
            QVERIFY2(text.contains(word), qPrintable(u"\"%1\" lacks \"%2\""_s.arg(text, word)));
    }

    // objcopy starts a section, and so its records afresh, at every S-record
    // that does not continue the one before it in the file (one without data
    // too); these are its records.
    void sRecordRunsAreObjcopys()
    {
        const QByteArray srec("S0030000FC\nS10B00000001020304050607D8\nS1030100FB\n"
                              "S10B000808090A0B0C0D0E0F90\nS10B00100001020304050607C8\n"
                              "S1030010EC\nS10B00180001020304050607C0\nS9030000FC\n");
        QCOMPARE(allLines(HexRecordLines(imageOf(readSRecord(srec)))),
                 QByteArray(":080000000001020304050607DC\r\n"
                            ":1000080008090A0B0C0D0E0F000102030405060770\r\n"
                            ":080018000001020304050607C4\r\n:00000001FF\r\n"));
    }

    // Without section headers an ELF file is read by its segments, but the
    // bytes of its ELF header and program header table are never sent.
    void elfHeadersAreNotSent_data()
    {
        QTest::addColumn<int>("tableOffset"); // where the program headers are moved to
        QTest::addColumn<QList<AddressRange>>("ranges");
        QTest::addColumn<QList<AddressRange>>("leftOut");
        QTest::addColumn<bool>("emptyTable"); // a section table of no entries, else none

        // Segment 0 holds the file's first 0x2F0 bytes at 0xC000, segment 1
        // 8 bytes right after; 52 bytes of ELF header, 2 * 32 of program
        // headers.
        QTest::newRow("in front") << 52 << QList<AddressRange>{{0xC074, 0x284}}
                                  << QList<AddressRange>{{0xC000, 0x74}} << false;
        QTest::newRow("program headers within the segment")
            << 0x100 << QList<AddressRange>{{0xC034, 0xCC}, {0xC140, 0x1B8}}
            << QList<AddressRange>{{0xC000, 0x34}, {0xC100, 0x40}} << false;
        QTest::newRow("an empty section table") << 52 << QList<AddressRange>{{0xC074, 0x284}}
                                                << QList<AddressRange>{{0xC000, 0x74}} << true;
    }

    void elfHeadersAreNotSent()
    {
        QFETCH(int, tableOffset);
        QFETCH(QList<AddressRange>, ranges);
        QFETCH(QList<AddressRange>, leftOut);

        QFile fixture(QStringLiteral(CORVANEL_IMAGE_FIXTURES "/cortex-m4-offset.elf"));
        QVERIFY(fixture.open(QIODevice::ReadOnly));
        QByteArray elf = fixture.readAll();
        QFETCH(bool, emptyTable);
        if (!emptyTable)
            patch64(elf, 32, 0, 4); // e_shoff
        patch64(elf, 48, 0, 4);     // e_shnum, e_shstrndx
        elf.replace(tableOffset, 64, elf.mid(52, 64));
        patch64(elf, 28, quint64(tableOffset), 4); // e_phoff
        write(u"headers.elf"_s, elf);

        const auto loaded = loadFlashImage(dir_.filePath(u"headers.elf"_s), {});
        QVERIFY(std::holds_alternative<FlashImage>(loaded));
        const ImageFigures &figures = *std::get<FlashImage>(loaded).figures;
        QCOMPARE(figures.ranges, ranges);
        QCOMPARE(figures.headersLeftOut, leftOut);
        const QJsonArray json =
            QJsonDocument::fromJson(infoJson({}, figures)).object()[u"headersNotSent"_s].toArray();
        QCOMPARE(json.last().toObject()[u"bytes"_s].toInteger(), leftOut.last().size);
        QVERIFY(infoText({}, figures).contains(u"\nnot sent:   0x0000C000-"_s));
    }

    // Section patterns as objcopy takes them: fnmatch(3) without flags. On
    // POSIX systems the C library agrees with every row.
    void sectionPatterns_data()
    {
        QTest::addColumn<QString>("pattern");
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("matches");

        // A pattern, the names it matches and those it does not.
        const auto row = [](const char *pattern, const char *matching, const char *others) {
            for (const bool matches : {true, false}) {
                for (const QString &name : QString::fromLatin1(matches ? matching : others)
                                               .split(u' ', Qt::SkipEmptyParts)) {
                    QTest::addRow("%s %s", pattern, qPrintable(name))
                        << QString::fromLatin1(pattern) << name << matches;
                }
            }
        };
        row(".[!t]*", ".data .d", ".text .");
        row(".[^t]*", ".data", ".text");
        row(".[a-e]*", ".data", ".text");
        row("[z-a]", "", "z a");
        row("[!a-z]", "_ A", "m");
        row("[a-c-e]", "- e b", "d");
        row("[-a]", "- a", "b");
        row("[a-]", "- a", "b");
        row(".[]a]", ".] .a", ".b");
        row("[!]]", "a", "]");
        row("[\\]]", "]", "\\");
        row("[a\\-z]", "- a z", "m");
        row("\\*", "*", "a");
        row(".bss\\", "", ".bss\\ .bss");
        row(".data[[:digit:]]", ".data1", ".datax");
        row("[[:alpha:][:punct:]]", "a _", "0");
        row("[[:foo:]]", "", "f");
        row("[[.a.]-c][[=d=]]", "bd", "dd");
        row(".a[b", ".a[b", ".ab");
        row("*a*b?c", "xaxbxbyc abxc", "abc");
        row("*.*", ".text.startup", "text");
        row(".eeprom", ".eeprom", ".EEPROM");
    }

    void sectionPatterns()
    {
        QFETCH(QString, pattern);
        QFETCH(QString, name);
        QFETCH(bool, matches);

        QCOMPARE(SectionFilter::matches(pattern, name), matches);
#ifdef Q_OS_UNIX
        const std::string locale = std::setlocale(LC_ALL, nullptr);
        std::setlocale(LC_ALL, "C");
        const bool c =
            ::fnmatch(pattern.toLatin1().constData(), name.toLatin1().constData(), 0) == 0;
        std::setlocale(LC_ALL, locale.c_str());
        QCOMPARE(c, matches);
#endif
    }

    void hexCheckNamesEveryBadLine()
    {
        const QByteArray sound = ":020000040800F2\r\n"
                                 ":10000000000102030405060708090a0b0c0d0e0f78\r\n" // lower case
                                 ":0400000508000131BD\r\n"
                                 ":00000001FF\r\n";
        QCOMPARE(checkIntelHex(sound), QList<HexProblem>{});
        QCOMPARE(checkIntelHex(QByteArray(sound).replace("\r\n", "\n").chopped(1)),
                 QList<HexProblem>{});

        // One bad record between two sound ones, and what is said of it.
        const struct {
            const char *record, *problem;
        } bad[] = {
            {"", "empty line"},
            {"10000000", "does not start with ':' (starts with '1')"},
            {":0000000G01", "'G' at column 9 is not a hex digit"},
            {":00000001FF ", "a space at column 12 is not a hex digit"},
            {":00000001F", "odd number of hex digits (9)"},
            {":000000", "record too short: 3 bytes, a record has at least 5 (count, address, "
                        "type, checksum)"},
            {":0100000000AAFF", "byte count 01 (1) but the record holds 2 data bytes"},
            {":00000006FA", "unknown record type 06 (known: 00 to 05)"},
            {":0100000041BF", "checksum BF is wrong, it should be BE"},
            {":01000001AA54", "a record of type 01 carries 0 data bytes, not 1"},
            {":0100000408F3", "a record of type 04 carries 2 data bytes, not 1"},
        };
        for (const auto &[record, problem] : bad) {
            const QByteArray image = ":0100000041BE\n" + QByteArray(record) + "\n:00000001FF\n";
            QCOMPARE(checkIntelHex(image), (QList<HexProblem>{{2, QString::fromLatin1(problem)}}));
        }

        // The end-of-file record must come, once and last.
        QCOMPARE(checkIntelHex(":0100000041BE\n:0100010042BC\n"),
                 (QList<HexProblem>{
                     {2, QStringLiteral("no end-of-file record: the file ends here without "
                                        "\":00000001FF\"")}}));
        const QString after = afterEndOfFile(1);
        QCOMPARE(checkIntelHex(":00000001FF\n\n:0100000041BE\n \n:00000001FF\n"),
                 (QList<HexProblem>{{3, after}, {5, after}}));
        QCOMPARE(checkIntelHex(QByteArray()).size(), 1);
    }

    void crc32Values_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<quint32>("crc");

        QTest::newRow("none") << QByteArray() << 0u;
        QTest::newRow("check") << QByteArray("123456789") << 0xCBF43926u;
        QTest::newRow("fox") << QByteArray("The quick brown fox jumps over the lazy dog")
                             << 0x414FA339u;
        QTest::newRow("zeros") << QByteArray(32, '\0') << 0x190A55ADu;
    }

    void crc32Values()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(quint32, crc);

        QCOMPARE(crc32(bytes), crc);
        // Continued over any split, the figure is the same.
        for (qsizetype cut = 0; cut <= bytes.size(); ++cut)
            QCOMPARE(crc32(bytes.sliced(cut), crc32(bytes.first(cut))), crc);
    }

private:
    void write(const QString &name, const QByteArray &bytes)
    {
        QFile file(dir_.filePath(name));
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            qFatal("cannot write %s", qPrintable(file.fileName()));
    }
    QByteArray read(const QString &name)
    {
        QFile file(dir_.filePath(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    // Runs a binutils program in the scratch folder (the linker script names
    // its inputs relative to it).
    void tool(const char *program, const QStringList &arguments)
    {
        QProcess process;
        process.setWorkingDirectory(dir_.path());
        process.start(QString::fromLocal8Bit(program), arguments);
        if (!process.waitForFinished(30000) || process.exitCode() != 0)
            qFatal("%s %s failed: %s", program, qPrintable(arguments.join(' ')),
                   process.readAllStandardError().constData());
    }

    QTemporaryDir dir_;
    QByteArray program_;
};

QTEST_GUILESS_MAIN(TestImageFormats)
#include "test_image_formats.moc"
