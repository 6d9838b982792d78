// corvanel-flash with the images build systems make: a binary at a base
// address, its S-record, an ELF with two load segments, a 1 MB binary across
// many 64 KiB boundaries and real firmware built by cross compilers (the
// fixtures of tests/image/fixtures), flashed to corvanel-devsim; the memory the
// simulator ends up with (bytes, range, CRC-32) is what objcopy's Intel HEX of
// the same input holds. The records --write-hex shows are the text objcopy
// wrote for each fixture, and srec_cat's conversions have the same figures.
// Bad inputs are refused before anything is sent.

#include "flash_test_support.h"

#include "image/image_figures.h"
#include "image/image_formats.h"

#include <QtTest>

#include <optional>

using namespace corvanel;
using namespace corvanel::flashtest;

namespace {

const QString kBase = QStringLiteral("0x08000000");
// A committed file made by tests/image/fixtures/make.sh.
QString fixture(const QString &name)
{
    return QStringLiteral(CORVANEL_IMAGE_FIXTURES "/") + name;
}
QString fixture(const char *name)
{
    return fixture(QString::fromLatin1(name));
}

// What an Intel HEX file holds: its data bytes in file order and its start
// address record's value (CS * 16 + IP for 03), for a file whose records
// follow the addresses, as objcopy writes them.
struct HexContent {
    QByteArray data;
    std::optional<quint32> start;
};

HexContent hexContent(const QList<QByteArray> &lines)
{
    HexContent content;
    for (const QByteArray &line : lines) {
        const QByteArray bytes = QByteArray::fromHex(line.mid(1));
        if (bytes.size() < 5)
            continue;
        const auto byte = [&bytes](int i) { return quint32(quint8(bytes[i])); };
        const quint32 type = byte(3);
        if (type == 0) {
            content.data += bytes.mid(4, byte(0));
        } else if ((type == 3 || type == 5) && bytes.size() == 9) {
            const quint32 word = byte(4) << 24 | byte(5) << 16 | byte(6) << 8 | byte(7);
            content.start = type == 5 ? word : (word >> 16) * 16 + (word & 0xffff);
        }
    }
    return content;
}

// The lines without objcopy's start address record.
QList<QByteArray> withoutStart(QList<QByteArray> lines)
{
    lines.removeIf([](const QByteArray &line) {
        return line.startsWith(":04000003") || line.startsWith(":04000005");
    });
    return lines;
}

// --info --json's figures, the start address left out.
QJsonObject figuresOf(QJsonObject info)
{
    for (const char *name : {"image", "format", "records", "start", "note"})
        info.remove(QLatin1StringView(name));
    return info;
}

// What the simulator's summary says of the memory it holds.
QString memoryPart(const QString &summary)
{
    static const QRegularExpression fields(
        QStringLiteral("bytes=\\S+ low=\\S+ high=\\S+ crc32=\\S+ download=\\S+ verify=\\S+"));
    return fields.match(summary).captured();
}

// The same words for the memory that `hexPath` (objcopy's output) holds.
QString expectedMemory(const QString &hexPath)
{
    const auto loaded = image::loadImageFile(hexPath, {});
    if (!std::holds_alternative<image::LoadedImage>(loaded))
        return QStringLiteral("unreadable reference");
    const image::MemoryImage &memory = std::get<image::LoadedImage>(loaded).memory;
    const image::ImageFigures f = image::computeFigures(image::Format::IntelHex, memory, 0);
    return QStringLiteral("bytes=%1 low=%2 high=%3 crc32=%4 download=complete verify=passed")
        .arg(f.dataBytes)
        .arg(image::hexAddress(f.ranges.first().start), image::hexAddress(f.ranges.last().last()),
             image::hexAddress(f.crc32));
}

} // namespace

class TestFlashFormats : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(dir_.isValid());
        // 64 KiB of a real program; the ELF holds it in two load segments,
        // the second stored at 0x0801F000 across a 64 KiB boundary.
        QFile program(QStringLiteral(CORVANEL_OBJCOPY));
        QVERIFY(program.open(QIODevice::ReadOnly));
        const QByteArray bytes = program.read(0x10000);
        write(QStringLiteral("program.bin"), bytes);
        write(QStringLiteral("a.bin"), bytes.first(40000));
        write(QStringLiteral("b.bin"), bytes.sliced(40000));
        write(QStringLiteral("two.ld"), "PHDRS { one PT_LOAD; two PT_LOAD; }\n"
                                        "SECTIONS {\n"
                                        "  .one 0x08000000 : { a.o(.data) } :one\n"
                                        "  .two 0x20000000 : AT(0x0801F000) { b.o(.data) } :two\n"
                                        "}\n");
        write(QStringLiteral("same.ld"), "PHDRS { one PT_LOAD; two PT_LOAD; }\n"
                                         "SECTIONS {\n"
                                         "  .one 0x08000000 : { a.o(.data) } :one\n"
                                         "  .two 0x20000000 : AT(0x08000100) { b.o(.data) } :two\n"
                                         "}\n");
        QVERIFY(tool(CORVANEL_LD, {"-r", "-b", "binary", "a.bin", "-o", "a.o"}));
        QVERIFY(tool(CORVANEL_LD, {"-r", "-b", "binary", "b.bin", "-o", "b.o"}));
        QVERIFY(tool(CORVANEL_LD, {"-N", "-T", "two.ld", "a.o", "b.o", "-o", "two.elf"}));
        QVERIFY(tool(CORVANEL_OBJCOPY, {"-I", "binary", "-O", "srec", "--change-addresses=" + kBase,
                                        "program.bin", "program.srec"}));
        // 1 MB: 65,536 data records and an extended address at every 64 KiB.
        write(QStringLiteral("large.bin"), payload(1 << 20, 99));
    }

    void flashedMemoryIsObjcopys_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QStringList>("toHex"); // objcopy's arguments for the reference
        const QStringList binary{"--format", "bin", "--base-address", kBase};
        const QStringList fromBinary{"-I", "binary", "--change-addresses=" + kBase};
        QTest::newRow("binary") << "program.bin" << binary << fromBinary;
        QTest::newRow("S-record") << "program.srec" << QStringList{} << QStringList{};
        QTest::newRow("ELF, two segments") << "two.elf" << QStringList{} << QStringList{};
        QTest::newRow("1 MB binary") << "large.bin" << binary << fromBinary;
        // Real firmware: the headers in the first segment, alignment holes.
        QTest::newRow("Cortex-M linked behind a header")
            << fixture("cortex-m4-offset.elf") << QStringList{} << QStringList{};
        QTest::newRow("RISC-V with holes")
            << fixture("rv32imac.elf") << QStringList{} << QStringList{};
        QTest::newRow("AVR without EEPROM, fuses, lock")
            << fixture("atmega328p.elf")
            << QStringList{"--remove-section", ".e*",  "--remove-section", ".fuse",
                           "--remove-section", ".lock"}
            << QStringList{"-R", ".e*", "-R", ".fuse", "-R", ".lock"};
    }

    void flashedMemoryIsObjcopys()
    {
        QFETCH(QString, file);
        QFETCH(QStringList, options);
        QFETCH(QStringList, toHex);
        QVERIFY(tool(CORVANEL_OBJCOPY, toHex + QStringList{"-O", "ihex", file, "reference.hex"}));

        Devsim sim;
        QVERIFY2(sim.waitForPort() != 0, qPrintable(sim.errors()));
        const FlashRun run =
            runFlasher(options + QStringList{"--install", "--quiet",
                                             QDir(dir_.path()).filePath(file), sim.target()},
                       600000);
        QVERIFY2(run.finished && run.exitCode == 0, run.err.constData());
        QCOMPARE(memoryPart(sim.waitForSummary()),
                 expectedMemory(dir_.filePath(QStringLiteral("reference.hex"))));
    }

    void badImagesAreRefused_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QString>("said"); // part of the refusal
        QByteArray elf = read(QStringLiteral("two.elf"));
        write(QStringLiteral("truncated.elf"), elf.first(elf.size() / 2));
        QByteArray srec = read(QStringLiteral("program.srec"));
        const qsizetype second = srec.indexOf('\n') + 1; // line 2 is a data record
        srec[second + 10] = srec[second + 10] == '0' ? '1' : '0';
        write(QStringLiteral("bad.srec"), srec);
        QVERIFY(tool(CORVANEL_LD, {"-N", "-T", "same.ld", "--no-check-sections", "a.o", "b.o", "-o",
                                   "overlap.elf"}));

        QTest::newRow("truncated ELF") << "truncated.elf" << QStringList{} << "past the end";
        QTest::newRow("ELF without loadable data") << "a.o" << QStringList{} << "ELF";
        QTest::newRow("S-record with a bad checksum")
            << "bad.srec" << QStringList{} << "line 2: checksum";
        QTest::newRow("binary without a base address")
            << "program.bin" << QStringList{"--format", "bin"} << "base address";
        QTest::newRow("overlapping segments")
            << "overlap.elf" << QStringList{} << "0x08000100 is written twice";

        write(QStringLiteral("notes.txt"), "firmware 4.0 for board 7\n");
        write(QStringLiteral("bom.bin"), QByteArray("\xEF\xBB\xBF\x00\x01\x02", 6));
        write(QStringLiteral("after-end.hex"),
              ":0100000041BE\r\n:00000001FF\r\n\r\n:0100000041BE\r\n");
        QTest::newRow("text as binary")
            << "notes.txt" << QStringList{"--base-address", kBase} << "looks like text";
        QTest::newRow("binary that begins with a byte-order mark")
            << "bom.bin" << QStringList{"--base-address", kBase} << "byte-order mark";
        QTest::newRow("data after the end-of-file record")
            << "after-end.hex" << QStringList{} << "after-end.hex:4: after the end-of-file record";
        QTest::newRow("a section that matches nothing")
            << fixture("atmega328p.elf")
            << QStringList{"--remove-section", ".eeprom", "--remove-section", ".fuses"}
            << "\".fuses\", a section to leave out, matches none";
    }

    // Every fixture's records are the text objcopy wrote for it (NAME.hex)
    // but for its start address, and its figures (CRC-32 and SHA-256 of the
    // data in address order, though a fixture may store it out of order) and
    // srec_cat's S-record and Intel HEX of it read the same. An Intel HEX
    // file goes out as its lines, start address included, without a
    // byte-order mark and what follows its end.
    void fixturesAreObjcopys_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QString>("ref"); // objcopy -O ihex of it
        const QFileInfoList inputs =
            QDir(fixture({})).entryInfoList({QStringLiteral("*.elf"), QStringLiteral("*.srec")});
        QVERIFY(inputs.size() >= 10);
        for (const QFileInfo &input : inputs) {
            QTest::newRow(qPrintable(input.fileName()))
                << input.filePath() << QStringList{}
                << fixture(input.completeBaseName() + QStringLiteral(".hex"));
        }
        QTest::newRow("atmega328p.elf, code and data only (-j '.?a*a' -j .text)")
            << fixture(QStringLiteral("atmega328p.elf"))
            << QStringList{"--only-section", ".?a*a", "--only-section", ".text"}
            << fixture(QStringLiteral("atmega328p-code.hex"));
    }

    void fixturesAreObjcopys()
    {
        QFETCH(QString, file);
        QFETCH(QStringList, options);
        QFETCH(QString, ref);
        const QList<QByteArray> objcopyLines = readLines(ref);
        QVERIFY2(!objcopyLines.isEmpty(), qPrintable(ref));

        const FlashRun written = runFlasher(options + QStringList{"--write-hex", "-", file});
        QVERIFY2(written.finished && written.exitCode == 0, written.err.constData());
        QVERIFY(written.out.endsWith("\r\n") &&
                written.out.count('\n') == written.out.count("\r\n"));
        QCOMPARE(written.out.trimmed().split('\n').size(), withoutStart(objcopyLines).size());
        QCOMPARE(readLines(writeFile(dir_, "ours.hex", written.out)), withoutStart(objcopyLines));

        const FlashRun info = runFlasher(options + QStringList{"--info", "--json", file});
        QVERIFY2(info.finished && info.exitCode == 0, info.err.constData());
        const QJsonObject elf = info.json();
        const QJsonObject start = elf.value(QStringLiteral("start")).toObject();
        const HexContent content = hexContent(objcopyLines);
        QCOMPARE(elf.value(QStringLiteral("dataBytes")).toInteger(), content.data.size());
        QCOMPARE(elf.value(QStringLiteral("crc32")).toString(),
                 image::hexAddress(image::crc32(content.data)));
        QCOMPARE(elf.value(QStringLiteral("sha256")).toString(),
                 QString::fromLatin1(
                     QCryptographicHash::hash(content.data, QCryptographicHash::Sha256).toHex()));
        QCOMPARE(start.value(QStringLiteral("address")).toString(),
                 content.start ? image::hexAddress(*content.start) : QString());
        QCOMPARE(start.value(QStringLiteral("sent")).toBool(), false);

        // srec_cat's S3 with S7, S1/S2 with a count and no end record, and HEX.
        const QString srecCat = QStringLiteral(CORVANEL_SREC_CAT);
        if (!QFileInfo::exists(srecCat))
            QSKIP("srec_cat is not installed (scripts/install-deps.sh --packaging)");
        QVERIFY(tool(qPrintable(srecCat),
                     {ref, "-Intel", "-o", "s37.srec", "-Motorola", "-address-length=4"}));
        QVERIFY(tool(qPrintable(srecCat), {ref, "-Intel", "-o", "nostart.srec", "-Motorola",
                                           "-disable=exec-start-address"}));
        QVERIFY(tool(qPrintable(srecCat), {ref, "-Intel", "-o", "srec_cat.hex", "-Intel"}));
        QVERIFY(!read(QStringLiteral("nostart.srec")).contains("\nS9"));
        // objcopy's own, with a byte-order mark and what may follow its end.
        QFile objcopyFile(ref);
        QVERIFY(objcopyFile.open(QIODevice::ReadOnly));
        const QByteArray objcopyText = objcopyFile.readAll();
        write(QStringLiteral("decorated.hex"), "\xEF\xBB\xBF" + objcopyText + "\r\n \r\n\x1A");
        for (const char *variant : {"s37.srec", "nostart.srec", "srec_cat.hex", "decorated.hex"}) {
            const FlashRun same = runFlasher({"--info", "--json", dir_.filePath(variant)});
            QVERIFY2(same.finished && same.exitCode == 0, same.err.constData());
            QCOMPARE(figuresOf(same.json()), figuresOf(elf));
        }
        const FlashRun decorated =
            runFlasher({"--write-hex", "-", dir_.filePath(QStringLiteral("decorated.hex"))});
        QCOMPARE(decorated.out, objcopyText);
    }

    // The ELF read as its segments when it has no section headers, and said
    // so; the headers the first one holds are not sent.
    void elfWithoutSectionHeaders()
    {
        QFile original(fixture("cortex-m4-offset.elf"));
        QVERIFY(original.open(QIODevice::ReadOnly));
        QByteArray elf = original.readAll();
        elf.replace(32, 4, QByteArray(4, '\0')); // e_shoff
        elf.replace(48, 4, QByteArray(4, '\0')); // e_shnum, e_shstrndx
        write(QStringLiteral("no-sections.elf"), elf);
        const FlashRun info = runFlasher({"--info", dir_.filePath("no-sections.elf")});
        QVERIFY2(info.finished && info.exitCode == 0, info.err.constData());
        // The first segment holds the ELF and program headers, from 0xC000.
        QVERIFY2(info.out.contains("note:       no section headers") &&
                     info.out.contains("not sent:   0x0000C000-0x0000C073 (116 bytes)") &&
                     info.out.contains("\n  0x0000C074-"),
                 info.out.constData());
    }

    // The image options' command lines: what is refused, and how.
    void imageOptions_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("said");
        const QString avr = fixture("atmega328p.elf");
        QTest::newRow("repeated, with patterns") << QStringList{"--write-hex",
                                                                dir_.filePath("avr.hex"),
                                                                "--remove-section",
                                                                ".e*",
                                                                "--remove-section",
                                                                ".fuse",
                                                                "--remove-section",
                                                                ".l?ck",
                                                                avr}
                                                 << 0 << QString();
        QTest::newRow("--write-hex and --info")
            << QStringList{"--write-hex", "-", "--info", avr} << 2 << "exclude each other";
        QTest::newRow("--write-hex and a host")
            << QStringList{"--write-hex", "-", avr, "127.0.0.1"} << 2 << "image only";
        QTest::newRow("image and hosts both from standard input")
            << QStringList{"--hosts", "-", "-", "127.0.0.1"} << 2 << "standard input";
        QTest::newRow("sections of an S-record")
            << QStringList{"--write-hex", "-", "--only-section", ".text",
                           dir_.filePath("program.srec")}
            << 4 << "ELF images only";
        QTest::newRow("a file that cannot be written")
            << QStringList{"--write-hex", dir_.filePath("no/such/folder.hex"), avr} << 4
            << "cannot write";
    }

    void imageOptions()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, said);
        const FlashRun run = runFlasher(arguments);
        QVERIFY(run.finished);
        QCOMPARE(run.exitCode, exitCode);
        QVERIFY2(run.err.contains(said.toLatin1()), run.err.constData());
    }

    // "-" reads the image from standard input, recognised by its content.
    void imageFromStandardInput()
    {
        Devsim sim;
        QVERIFY2(sim.waitForPort() != 0, qPrintable(sim.errors()));
        const QByteArray srec = read(QStringLiteral("program.srec"));
        auto flasher = startFlasher({"--install", "--quiet", "--json", "-", sim.target()});
        flasher->write(srec);
        flasher->closeWriteChannel();
        const FlashRun run = finishFlasher(*flasher);
        QVERIFY2(run.finished && run.exitCode == 0, run.err.constData());
        QCOMPARE(run.json().value(QStringLiteral("image")).toString(), QStringLiteral("-"));
        QVERIFY(tool(CORVANEL_OBJCOPY, {"-O", "ihex", "program.srec", "reference.hex"}));
        QCOMPARE(memoryPart(sim.waitForSummary()),
                 expectedMemory(dir_.filePath(QStringLiteral("reference.hex"))));
    }

    void badImagesAreRefused()
    {
        QFETCH(QString, file);
        QFETCH(QStringList, options);
        QFETCH(QString, said);
        ScriptedDevice device(bootloaderAnswer);
        const FlashRun run =
            runFlasher(options + QStringList{QDir(dir_.path()).filePath(file), device.target()});
        QVERIFY(run.finished);
        QCOMPARE(run.exitCode, 4);
        QVERIFY2(run.err.contains(said.toLatin1()) && run.err.contains(file.toLatin1()),
                 run.err.constData());
        QVERIFY(device.received.isEmpty());
    }

private:
    void write(const QString &name, const QByteArray &bytes)
    {
        QFile file(dir_.filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
    }
    QByteArray read(const QString &name)
    {
        QFile file(dir_.filePath(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    bool tool(const char *program, const QStringList &arguments)
    {
        QProcess process;
        process.setWorkingDirectory(dir_.path());
        process.start(QString::fromLocal8Bit(program), arguments);
        const bool ok = process.waitForFinished(30000) &&
                        process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
        if (!ok)
            qWarning("%s: %s", program, process.readAllStandardError().constData());
        return ok;
    }

    QTemporaryDir dir_;
};

QTEST_GUILESS_MAIN(TestFlashFormats)
#include "test_flash_formats.moc"
