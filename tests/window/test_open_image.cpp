#include "engine/protocol.h"
#include "image/image_loader.h"
#include "support/prompts_recorder.h"
#include "support/window_rig.h"
#include "window/error_box.h"
#include "window/open_image.h"

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

using namespace Qt::StringLiterals;
using namespace corvanel;
using namespace corvanel::testing;
using Lines = QList<QByteArray>;

namespace {

// The Open File button with recorders in place of the window and its dialogs.
// Given an old image of 4 lines, it is loaded and its verify pass under way
// at line 3.
struct Rig : WindowRig {
    using WindowRig::load;
    explicit Rig(const QString &oldImage = {})
    {
        ToggleLink({u"127.0.0.1"_s, u"111"_s, u"0"_s});
        if (oldImage.isEmpty())
            return;
        load(oldImage);
        for (const char *reply : {"VER=1", "OK", "OK", "OK", "DOWNLOAD", "OK", "OK"})
            HandleReply(reply);
        log.events.clear();
    }
    RecordingPrompts prompts;

    void load(const QString &path)
    {
        prompts.answers = QStringList{path};
        log.events.clear();
        LoadImageFile(driver.board(), applier(), prompts);
    }
    Lines lines() const
    {
        Lines out;
        const SharedLines lines = state().lines;
        for (int slot = 1; slot <= lines->count(); ++slot)
            out.append(QByteArray(lines->line(slot)));
        return out;
    }
};

// Distinct lines shaped like data records; the loader never checks them.
Lines records(int count)
{
    Lines out;
    for (int i = 0; i < count; ++i)
        out.append(":10" + QByteArray::number(i * 16, 16).toUpper().rightJustified(8, '0') +
                   "0A0B");
    return out;
}

int openDescriptors()
{
    return int(QDir(u"/proc/self/fd"_s).entryList(QDir::Files | QDir::System).size());
}

} // namespace

class TestOpenImage : public QObject {
    Q_OBJECT

private slots:
    void cancelChangesNothing()
    {
        Rig b(oldImage());

        // Every cancel is a cancel, also after an earlier file was chosen; the
        // verify pass under way stays a verify pass.
        for (int i = 1; i <= 2; ++i) {
            LoadImageFile(b.driver.board(), b.applier(), b.prompts);
            QCOMPARE(b.prompts.cancelledShown, i);
        }
        QCOMPARE(b.prompts.filtersAsked.last(), u"HEX files (*.hex)|*.hex"_s);
        QCOMPARE(b.prompts.boxes, QStringList({"Cancel", "Cancel"}));
        QVERIFY(b.log.events.isEmpty());
        QCOMPARE(b.state().verifying, 1);
        QCOMPARE(b.state().position, 3);
        QCOMPARE(b.state().lineCount, 4);
        QCOMPARE(b.state().imageLoaded, 1);
        QCOMPARE(b.lines(), records(4));
    }

    void newImageReplacesOld_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<Lines>("lines");

        const Lines full = records(9000);
        QTest::newRow("9000, CR LF at end") << full.join("\r\n") + "\r\n" << full;
        QTest::newRow("9000, no line end") << full.join("\r\n") << full;
        QTest::newRow("empty") << QByteArray() << Lines{};
        const Lines two = records(2);
        QTest::newRow("blank lines count") << "\r\n" + two[0] + "\r\n\r\n" + two[1] + "\n\n"
                                           << Lines{"", two[0], "", two[1], ""};
        // The longest line that still fits one datagram with "BOOT" and CR LF.
        const QByteArray widest(protocol::kMaxLineLength, 'F');
        QTest::newRow("longest line") << widest + "\r\n:00000001FF\r\n"
                                      << Lines{widest, ":00000001FF"};
        // NUL and high bytes are stored as they are, nothing cut at a NUL.
        Lines binary;
        for (int line = 0; line < 64; ++line) {
            QByteArray bytes;
            for (int i = 0; i < 300; ++i) {
                const char c = char((line * 31 + i * 17) & 0xff);
                if (!QByteArrayView("\n\r,\" ").contains(c))
                    bytes.append(c);
            }
            binary.append(bytes);
        }
        QTest::newRow("binary") << binary.join('\n') << binary;

        // 100,000 bytes of a real program as Intel HEX: thousands of genuine
        // records, with an extended address record past 64 KiB.
        const QString objcopy = QStandardPaths::findExecutable(u"objcopy"_s);
        if (objcopy.isEmpty())
            return qWarning("objcopy is not installed: no real image is tried");
        QFile program(objcopy);
        QVERIFY(program.open(QIODevice::ReadOnly));
        const QString bin = write(u"cut.bin"_s, program.read(100000));
        const QString hex = dir_.filePath(u"objcopy.hex"_s);
        QProcess tool;
        tool.start(objcopy, {"-I", "binary", "-O", "ihex", bin, hex});
        QVERIFY(tool.waitForFinished(30000) && tool.exitCode() == 0);
        QFile file(hex);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray crlf = file.readAll();
        QVERIFY(crlf.endsWith(":00000001FF\r\n"));
        // The lines, split here independently of the reader.
        const QByteArray lf = QByteArray(crlf).replace("\r\n", "\n");
        const Lines real = lf.chopped(1).split('\n');
        QVERIFY(real.size() > 6000);
        QTest::newRow("objcopy, CR LF") << crlf << real;
        QTest::newRow("objcopy, LF") << lf << real;
    }

    void newImageReplacesOld()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(Lines, lines);
        Rig b(oldImage());

        b.load(write(u"new.hex"_s, bytes));
        QVERIFY(b.prompts.boxes.isEmpty());
        const int count = int(lines.size());
        QCOMPARE(b.log.events,
                 QStringList({"status NO FILE", u"maximum %1"_s.arg(count), "status READY"}));
        QCOMPARE(b.display.barValue, 3); // the bar value waits for the first send
        QCOMPARE(b.state().verifying, 0);
        QCOMPARE(b.state().position, 0);
        QCOMPARE(b.state().lineCount, count);
        QCOMPARE(b.state().imageLoaded, 1);
        QCOMPARE(b.lines(), lines); // nothing of the old image is left
    }

    void failureKeepsOldImage_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("number");
        QTest::addColumn<QString>("what"); // a word the message must hold

        const auto row = [](const char *name, const QString &path, int number, const char *what) {
            QTest::newRow(name) << path << number << QString::fromLatin1(what);
        };
        row("missing", dir_.filePath(u"none.hex"_s), errnum::kFileNotFound, "not found");
        row("directory", dir_.path(), errnum::kPathAccess, "folder");
        const QByteArray lines9000 = records(9000).join("\r\n");
        row("9001 lines", write(u"9001.hex"_s, lines9000 + "\r\n" + records(1)[0]),
            errnum::kSubscriptOutOfRange, "more than 9000 lines");
        row("9000 lines and a blank one", write(u"9000b.hex"_s, lines9000 + "\r\n\r\n"),
            errnum::kSubscriptOutOfRange, "more than 9000 lines");
        row("70000-byte line",
            write(u"long.hex"_s, records(1)[0] + "\r\n" + QByteArray(70000, 'A') + "\r\n"),
            errnum::kLineTooLong, "line 2 is longer than 65501");
        row("65502-byte line", write(u"edge.hex"_s, QByteArray(protocol::kMaxLineLength + 1, 'A')),
            errnum::kLineTooLong, "line 1");
#ifdef Q_OS_LINUX
        // Opens, then fails on the first read.
        row("read failure", u"/proc/self/mem"_s, errnum::kDeviceIo, "reading failed");
        const QString fifo = dir_.filePath(u"pipe.hex"_s);
        if (::mkfifo(QFile::encodeName(fifo).constData(), 0600) == 0)
            row("fifo", fifo, errnum::kPathAccess, "regular file");
#endif
    }

    void failureKeepsOldImage()
    {
        QFETCH(QString, path);
        QFETCH(int, number);
        QFETCH(QString, what);

        Rig b(oldImage());
        const int descriptors = openDescriptors();

        b.load(path);
        QCOMPARE(b.prompts.boxes, QStringList{u"Error#%1"_s.arg(number)});
        const QString text = errorBoxText(b.prompts.errors.first());
        QVERIFY2(text.contains(QDir::toNativeSeparators(path)) && text.contains(what),
                 qPrintable(text));
        // Nothing can be sent until a file loads, but the image in memory is whole.
        QCOMPARE(b.log.events, QStringList{u"status NO FILE"_s});
        QCOMPARE(b.state().verifying, 0); // a file was chosen
        QCOMPARE(b.state().imageLoaded, 0);
        QCOMPARE(b.state().position, 0);
        QCOMPARE(b.state().lineCount, 4);
        QCOMPARE(b.display.barMaximum, 4);
        QCOMPARE(b.display.barValue, 3);
        QCOMPARE(b.lines(), records(4));
        QCOMPARE(openDescriptors(), descriptors);
    }

    void unreadableFile()
    {
#ifdef Q_OS_UNIX
        const QString path = write(u"locked.hex"_s, records(2).join("\r\n"));
        QVERIFY(QFile::setPermissions(path, QFileDevice::Permissions()));
        // Root reads anything, so the read is tried by a child that runs as
        // nobody; it reports the error number as its exit status.
        QFile::setPermissions(dir_.path(), QFileDevice::Permissions(0x7755));
        const pid_t child = ::fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
                ::_exit(1);
            const auto result = readImageFile(path, kWindowMaxLines);
            const auto *error = std::get_if<OperatorError>(&result);
            ::_exit(error ? (error->subject.contains(path) ? error->number : 2) : 0);
        }
        int status = 0;
        QCOMPARE(::waitpid(child, &status, 0), child);
        QVERIFY(WIFEXITED(status));
        QCOMPARE(WEXITSTATUS(status), errnum::kPermissionDenied);
#else
        QSKIP("permissions are tested on Unix");
#endif
    }

    void hugeFileWithoutLineEndFailsFast()
    {
        // 3 GiB of zero bytes and no line end, stored sparse: the loader must
        // stop at the first over-long line, not read the file into memory.
        const QString path = dir_.filePath(u"huge.hex"_s);
        {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            if (!file.resize(qint64(3) << 30))
                QSKIP("no room for a sparse 3 GiB file");
        }
#ifdef Q_OS_UNIX
        rusage before{}, after{};
        getrusage(RUSAGE_SELF, &before);
#endif
        QElapsedTimer timer;
        timer.start();
        Rig b;
        b.load(path);
        const qint64 elapsed = timer.elapsed();
        QFile::remove(path);

        QCOMPARE(b.prompts.boxes, QStringList{u"Error#14"_s});
        QCOMPARE(b.state().imageLoaded, 0);
        QVERIFY2(elapsed < 2000, qPrintable(QString::number(elapsed)));
#ifdef Q_OS_UNIX
        getrusage(RUSAGE_SELF, &after);
        const long grownKiB = after.ru_maxrss - before.ru_maxrss;
        QVERIFY2(grownKiB < 64 * 1024, qPrintable(QString::number(grownKiB)));
#endif
    }

private:
    QString oldImage()
    {
        return write(u"old.hex"_s, records(4).join("\r\n"));
    }
    QString write(const QString &name, const QByteArray &bytes)
    {
        const QString path = dir_.filePath(name);
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
            file.write(bytes) != bytes.size())
            qFatal("cannot write %s", qPrintable(path));
        return path;
    }

    QTemporaryDir dir_;
};

QTEST_GUILESS_MAIN(TestOpenImage)
#include "test_open_image.moc"
