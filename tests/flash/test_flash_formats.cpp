// corvanel-flash with the images build systems make: a binary at a base
// address, its S-record, an ELF with two load segments and a 1 MB binary
// across many 64 KiB boundaries, each flashed to corvanel-devsim; the memory
// the simulator ends up with (bytes, range, CRC-32) is what objcopy's Intel HEX
// of the same input holds. Bad inputs are refused before anything is sent.

#include "flash_test_support.h"

#include "image/image_figures.h"
#include "image/image_formats.h"

#include <QtTest>

using namespace corvanel;
using namespace corvanel::flashtest;

namespace {

const QString kBase = QStringLiteral("0x08000000");

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
    }

    void flashedMemoryIsObjcopys()
    {
        QFETCH(QString, file);
        QFETCH(QStringList, options);
        QFETCH(QStringList, toHex);
        QVERIFY(tool(CORVANEL_OBJCOPY, toHex + QStringList{"-O", "ihex", file, "reference.hex"}));

        Devsim sim;
        QVERIFY2(sim.waitForPort() != 0, qPrintable(sim.errors()));
        const FlashRun run = runFlasher(
            options + QStringList{"--install", "--quiet", dir_.filePath(file), sim.target()},
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
    }

    void badImagesAreRefused()
    {
        QFETCH(QString, file);
        QFETCH(QStringList, options);
        QFETCH(QString, said);
        ScriptedDevice device(bootloaderAnswer);
        const FlashRun run =
            runFlasher(options + QStringList{dir_.filePath(file), device.target()});
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
