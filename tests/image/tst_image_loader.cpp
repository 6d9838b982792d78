#include "engine/protocol.h"
#include "image/image_loader.h"
#include "support/prompts_recorder.h"
#include "support/recorders.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#ifdef Q_OS_UNIX
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

using namespace corvanel;
using namespace corvanel::testing;

namespace {

struct Rig {
    TransferState state;
    EventLog log;
    RecordingDisplay display{log};
    RecordingPrompts prompts;

    void load(const QString &path)
    {
        prompts.answers = QStringList{path};
        log.events.clear();
        LoadImageFile(state, display, prompts);
    }
    QList<QByteArray> lines() const
    {
        QList<QByteArray> out;
        for (int slot = 1; slot <= state.lines.count(); ++slot)
            out.append(state.lines.line(slot).toByteArray());
        return out;
    }
};

// A distinct data record per address; the loader never checks the sums.
QByteArray dataRecord(int address)
{
    return QStringLiteral(":10%1000102030405060708090A0B0C0D0E0F%2")
        .arg(address & 0xffff, 4, 16, QLatin1Char('0'))
        .arg(address & 0xff, 2, 16, QLatin1Char('0'))
        .toUpper()
        .toLatin1();
}

QList<QByteArray> records(int count)
{
    QList<QByteArray> out;
    for (int i = 0; i < count; ++i)
        out.append(dataRecord(i * 16));
    return out;
}

// The lines of a text file, split here independently of the reader.
QList<QByteArray> splitLines(QByteArray bytes)
{
    if (bytes.endsWith('\n'))
        bytes.chop(1);
    QList<QByteArray> out = bytes.split('\n');
    for (QByteArray &line : out) {
        if (line.endsWith('\r'))
            line.chop(1);
    }
    return out;
}

int openDescriptors()
{
    return int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System).size());
}

} // namespace

class TestImageLoader : public QObject {
    Q_OBJECT

private slots:
    void cancelChangesOnlyVerifying();
    void loadSetsStateInOrder();
    void lineLimit_data();
    void lineLimit();
    void emptyFileAndBlankLines();
    void longestLineLoads();
    void failureKeepsOldImage_data();
    void failureKeepsOldImage();
    void unreadableFile();
    void hugeFileWithoutLineEndFailsFast();
    void binaryFile();
    void realIntelHex_data();
    void realIntelHex();

private:
    QString write(const QString &name, const QByteArray &bytes);
    QTemporaryDir dir_;
};

QString TestImageLoader::write(const QString &name, const QByteArray &bytes)
{
    const QString path = dir_.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

void TestImageLoader::cancelChangesOnlyVerifying()
{
    Rig b;
    b.load(write(QStringLiteral("three.hex"), records(3).join("\r\n") + "\r\n"));
    b.state.verifying = 1;
    b.state.position = 2;
    b.log.events.clear();

    // Every cancel is a cancel, also after an earlier file was chosen.
    for (int i = 0; i < 2; ++i) {
        LoadImageFile(b.state, b.display, b.prompts);
        QCOMPARE(b.prompts.cancelledShown, i + 1);
    }
    QCOMPARE(b.prompts.filtersAsked.last(), QStringLiteral("HEX files (*.hex)|*.hex"));
    QVERIFY(b.prompts.errors.isEmpty());
    QVERIFY(b.log.events.isEmpty());
    QCOMPARE(b.state.verifying, qint16(0));
    QCOMPARE(b.state.position, qint16(2));
    QCOMPARE(b.state.lineCount, qint16(3));
    QCOMPARE(b.state.imageLoaded, qint16(1));
    QCOMPARE(b.lines(), records(3));
}

void TestImageLoader::loadSetsStateInOrder()
{
    Rig b;
    b.state.verifying = 1;
    b.state.position = 7;
    b.display.barValue = 5;
    b.load(write(QStringLiteral("five.hex"), records(5).join("\r\n") + "\r\n"));

    QCOMPARE(b.log.events,
             QStringList({QStringLiteral("status NO FILE"), QStringLiteral("maximum 5"),
                          QStringLiteral("status READY")}));
    QCOMPARE(b.display.barValue, 5); // the bar value waits for the first send
    QCOMPARE(b.state.verifying, qint16(0));
    QCOMPARE(b.state.position, qint16(0));
    QCOMPARE(b.state.lineCount, qint16(5));
    QCOMPARE(b.state.imageLoaded, qint16(1));
    QCOMPARE(b.lines(), records(5));
    QVERIFY(b.prompts.boxes.isEmpty());

    // A shorter image replaces a longer one completely.
    b.load(write(QStringLiteral("two.hex"), records(2).join("\n")));
    QCOMPARE(b.state.lineCount, qint16(2));
    QCOMPARE(b.lines(), records(2));
    QCOMPARE(b.state.lines.line(3), QByteArrayView());
}

void TestImageLoader::lineLimit_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<QByteArray>("tail");
    QTest::addColumn<bool>("loads");
    QTest::newRow("9000, CR LF at end") << 9000 << QByteArray("\r\n") << true;
    QTest::newRow("9000, no line end") << 9000 << QByteArray() << true;
    QTest::newRow("9001") << 9001 << QByteArray("\r\n") << false;
    QTest::newRow("9000 and a blank line") << 9000 << QByteArray("\r\n\r\n") << false;
}

void TestImageLoader::lineLimit()
{
    QFETCH(int, count);
    QFETCH(QByteArray, tail);
    QFETCH(bool, loads);

    Rig b;
    b.load(write(QStringLiteral("old.hex"), records(4).join("\r\n")));
    const QString path = write(QStringLiteral("limit.hex"), records(count).join("\r\n") + tail);
    b.load(path);
    if (loads) {
        QVERIFY(b.prompts.errors.isEmpty());
        QCOMPARE(b.state.lineCount, qint16(9000));
        QCOMPARE(b.display.barMaximum, 9000);
        QCOMPARE(b.lines(), records(9000));
        return;
    }
    QCOMPARE(b.prompts.boxes, QStringList{QStringLiteral("Error#9")});
    QCOMPARE(b.prompts.errors.first().number, errnum::kSubscriptOutOfRange);
    QVERIFY(b.prompts.errors.first().text.contains(QDir::toNativeSeparators(path)));
    QCOMPARE(b.display.status, QStringLiteral("NO FILE"));
    QCOMPARE(b.state.imageLoaded, qint16(0));
    QCOMPARE(b.state.position, qint16(0));
    QCOMPARE(b.state.lineCount, qint16(4));
    QCOMPARE(b.display.barMaximum, 4);
    QCOMPARE(b.lines(), records(4));
}

void TestImageLoader::emptyFileAndBlankLines()
{
    Rig b;
    b.load(write(QStringLiteral("old.hex"), records(3).join("\r\n")));
    b.load(write(QStringLiteral("empty.hex"), QByteArray()));
    QVERIFY(b.prompts.errors.isEmpty());
    QCOMPARE(b.display.status, QStringLiteral("READY"));
    QCOMPARE(b.display.barMaximum, 0);
    QCOMPARE(b.state.lineCount, qint16(0));
    QCOMPARE(b.state.imageLoaded, qint16(1));
    QCOMPARE(b.state.lines.count(), 0);

    const QList<QByteArray> rec = records(2);
    b.load(write(QStringLiteral("blank.hex"), "\r\n" + rec[0] + "\r\n\r\n" + rec[1] + "\n\n"));
    QCOMPARE(b.lines(), QList<QByteArray>({"", rec[0], "", rec[1], ""}));
    QCOMPARE(b.state.lineCount, qint16(5));
}

void TestImageLoader::longestLineLoads()
{
    // The longest line that still fits one datagram with "BOOT" and CR LF.
    const QByteArray line(protocol::kMaxLineLength, 'F');
    Rig b;
    b.load(write(QStringLiteral("widest.hex"), line + "\r\n:00000001FF\r\n"));
    QVERIFY(b.prompts.boxes.isEmpty());
    QCOMPARE(b.lines(), QList<QByteArray>({line, ":00000001FF"}));
    QCOMPARE(protocol::downloadLineMessage(b.state.lines.line(1)).size(), protocol::kMaxDatagram);
}

void TestImageLoader::failureKeepsOldImage_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("number");
    QTest::addColumn<QString>("what"); // a word the message must hold

    const QByteArray longLine(70000, 'A');
    QTest::newRow("missing") << dir_.filePath(QStringLiteral("none.hex")) << errnum::kFileNotFound
                             << QStringLiteral("not found");
    QTest::newRow("directory") << dir_.path() << errnum::kPathAccess << QStringLiteral("folder");
    QTest::newRow("70000-byte line")
        << write(QStringLiteral("long.hex"), records(1).first() + "\r\n" + longLine + "\r\n")
        << errnum::kLineTooLong << QStringLiteral("line 2 is longer than 65501");
    QTest::newRow("65502-byte line")
        << write(QStringLiteral("edge.hex"), QByteArray(protocol::kMaxLineLength + 1, 'A'))
        << errnum::kLineTooLong << QStringLiteral("line 1");
#ifdef Q_OS_LINUX
    // Opens, then fails on the first read.
    QTest::newRow("read failure") << QStringLiteral("/proc/self/mem") << errnum::kDeviceIo
                                  << QStringLiteral("reading failed");
    const QString fifo = dir_.filePath(QStringLiteral("pipe.hex"));
    if (::mkfifo(QFile::encodeName(fifo).constData(), 0600) == 0)
        QTest::newRow("fifo") << fifo << errnum::kPathAccess << QStringLiteral("regular file");
#endif
}

void TestImageLoader::failureKeepsOldImage()
{
    QFETCH(QString, path);
    QFETCH(int, number);
    QFETCH(QString, what);

    Rig b;
    b.load(write(QStringLiteral("old.hex"), records(3).join("\r\n")));
    b.state.position = 2;
    b.display.barValue = 2;
    const int descriptors = openDescriptors();

    b.load(path);
    QCOMPARE(b.prompts.errors.size(), 1);
    const OperatorError error = b.prompts.errors.first();
    QCOMPARE(error.number, number);
    QCOMPARE(error.title(), QStringLiteral("Error#%1").arg(number));
    QVERIFY2(error.text.contains(QDir::toNativeSeparators(path)), qPrintable(error.text));
    QVERIFY2(error.text.contains(what), qPrintable(error.text));

    QCOMPARE(b.log.events, QStringList{QStringLiteral("status NO FILE")});
    QCOMPARE(b.state.imageLoaded, qint16(0));
    QCOMPARE(b.state.position, qint16(0));
    QCOMPARE(b.state.lineCount, qint16(3));
    QCOMPARE(b.display.barMaximum, 3);
    QCOMPARE(b.display.barValue, 2);
    QCOMPARE(b.lines(), records(3));
    QCOMPARE(openDescriptors(), descriptors);
}

void TestImageLoader::unreadableFile()
{
#ifdef Q_OS_UNIX
    const QString path = write(QStringLiteral("locked.hex"), records(2).join("\r\n"));
    QVERIFY(QFile::setPermissions(path, QFileDevice::Permissions()));
    if (::geteuid() != 0) {
        Rig b;
        b.load(path);
        QCOMPARE(b.prompts.boxes, QStringList{QStringLiteral("Error#70")});
        QVERIFY(b.prompts.errors.first().text.contains(QDir::toNativeSeparators(path)));
        QCOMPARE(b.state.imageLoaded, qint16(0));
        return;
    }
    // Root reads anything, so the read is tried by a child that has given up
    // root; it reports the error number as its exit status.
    QFile::setPermissions(dir_.path(), QFileDevice::Permissions(0x7755));
    const pid_t child = ::fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(1);
        const auto result = readImageFile(path);
        const auto *error = std::get_if<OperatorError>(&result);
        const bool named = error && error->text.contains(path);
        ::_exit(error ? (named ? error->number : 2) : 0);
    }
    int status = 0;
    QCOMPARE(::waitpid(child, &status, 0), child);
    QVERIFY(WIFEXITED(status));
    QCOMPARE(WEXITSTATUS(status), errnum::kPermissionDenied);
#else
    QSKIP("permissions are tested on Unix");
#endif
}

void TestImageLoader::hugeFileWithoutLineEndFailsFast()
{
    // 3 GiB of zero bytes and no line end, stored sparse: the loader must
    // stop at the first over-long line, not read the file into memory.
    const QString path = dir_.filePath(QStringLiteral("huge.hex"));
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        if (!file.resize(qint64(3) << 30))
            QSKIP("no room for a sparse 3 GiB file");
    }
#ifdef Q_OS_UNIX
    rusage before{};
    getrusage(RUSAGE_SELF, &before);
#endif
    QElapsedTimer timer;
    timer.start();
    Rig b;
    b.load(path);
    const qint64 elapsed = timer.elapsed();
    QFile::remove(path);

    QCOMPARE(b.prompts.boxes, QStringList{QStringLiteral("Error#14")});
    QCOMPARE(b.state.imageLoaded, qint16(0));
    QVERIFY2(elapsed < 2000, qPrintable(QString::number(elapsed)));
#ifdef Q_OS_UNIX
    rusage after{};
    getrusage(RUSAGE_SELF, &after);
    const long grownKiB = after.ru_maxrss - before.ru_maxrss;
    QVERIFY2(grownKiB < 64 * 1024, qPrintable(QString::number(grownKiB)));
#endif
}

void TestImageLoader::binaryFile()
{
    // NUL and high bytes are stored as they are, nothing cut at a NUL.
    QList<QByteArray> expected;
    for (int line = 0; line < 64; ++line) {
        QByteArray bytes;
        for (int i = 0; i < 300; ++i) {
            const char c = char((line * 31 + i * 17) & 0xff);
            if (c != '\n' && c != '\r' && c != ',' && c != '"' && c != ' ')
                bytes.append(c);
        }
        expected.append(bytes);
    }
    Rig b;
    b.load(write(QStringLiteral("binary.hex"), expected.join('\n')));
    QVERIFY(b.prompts.boxes.isEmpty());
    QCOMPARE(b.lines(), expected);
}

void TestImageLoader::realIntelHex_data()
{
    QTest::addColumn<bool>("crlf");
    QTest::newRow("CR LF") << true;
    QTest::newRow("LF") << false;
}

void TestImageLoader::realIntelHex()
{
    QFETCH(bool, crlf);
    const QString objcopy = QStandardPaths::findExecutable(QStringLiteral("objcopy"));
    if (objcopy.isEmpty())
        QSKIP("objcopy is not installed");

    // 100,000 bytes of a real program as Intel HEX: thousands of genuine
    // records, with an extended address record past 64 KiB.
    QFile program(objcopy);
    QVERIFY(program.open(QIODevice::ReadOnly));
    const QString bin = write(QStringLiteral("cut.bin"), program.read(100000));
    const QString hex = dir_.filePath(QStringLiteral("objcopy.hex"));
    QProcess tool;
    tool.start(objcopy, {QStringLiteral("-I"), QStringLiteral("binary"), QStringLiteral("-O"),
                         QStringLiteral("ihex"), bin, hex});
    QVERIFY(tool.waitForFinished(30000));
    QCOMPARE(tool.exitCode(), 0);

    QFile file(hex);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QByteArray bytes = file.readAll();
    file.close();
    QVERIFY(bytes.contains("\r\n"));
    if (!crlf) {
        bytes.replace("\r\n", "\n");
        QFile::remove(hex);
        write(QStringLiteral("objcopy.hex"), bytes);
    }
    const QList<QByteArray> expected = splitLines(bytes);
    QVERIFY(expected.size() > 6000);
    QCOMPARE(expected.last(), QByteArray(":00000001FF"));

    Rig b;
    b.load(hex);
    QVERIFY(b.prompts.boxes.isEmpty());
    QCOMPARE(int(b.state.lineCount), expected.size());
    const QList<QByteArray> got = b.lines();
    for (int i = 0; i < expected.size(); ++i)
        QCOMPARE(got.at(i), expected.at(i));
}

QTEST_GUILESS_MAIN(TestImageLoader)
#include "tst_image_loader.moc"
