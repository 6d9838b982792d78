#include "addresses/address_list.h"
#include "support/prompts_recorder.h"

#include <QComboBox>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <optional>

#ifdef Q_OS_LINUX
#include <csignal>
#include <linux/capability.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

using namespace Qt::StringLiterals;
using namespace corvanel;
using namespace corvanel::testing;

namespace {

// Like the window's ComboRemoteIP: editable, Enter adds nothing by itself.
std::unique_ptr<QComboBox> makeBox(const QStringList &items = {})
{
    auto box = std::make_unique<QComboBox>();
    box->setEditable(true);
    box->setInsertPolicy(QComboBox::NoInsert);
    box->addItems(items);
    return box;
}

QStringList itemsOf(const QComboBox &box)
{
    QStringList out;
    for (int i = 0; i < box.count(); ++i)
        out.append(box.itemText(i));
    return out;
}

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

// The file as it is: its bytes, or for a huge one its size and time.
QByteArray snapshot(const QString &path)
{
    const QFileInfo info(path);
    if (info.size() <= 16 * kMaxAddressFileBytes)
        return contents(path);
    return QByteArray::number(info.size()) + ' ' +
           QByteArray::number(info.lastModified().toMSecsSinceEpoch());
}

// The box after start-up from `path`: the items, item 0 selected.
void expectLoaded(const QString &path, const QStringList &items)
{
    auto box = makeBox({u"stale"_s});
    LoadAddresses(*box, path);
    QCOMPARE(itemsOf(*box), items);
    QCOMPARE(box->currentIndex(), 0);
    QCOMPARE(box->currentText(), items.first());
}

const QString kA = u"127.0.0.2"_s, kB = u"127.0.0.3"_s;
const QString kDefault = u"192.168.1.25"_s;

#ifdef Q_OS_LINUX
// Writes past `bytes` fail, for root as well, until the guard goes.
struct FileSizeLimit {
    rlimit saved{};
    void (*oldHandler)(int) = std::signal(SIGXFSZ, SIG_IGN);
    explicit FileSizeLimit(rlim_t bytes)
    {
        getrlimit(RLIMIT_FSIZE, &saved);
        const rlimit small{bytes, saved.rlim_max};
        setrlimit(RLIMIT_FSIZE, &small);
    }
    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, oldHandler);
    }
};

// Root writes into read-only folders; while this guard lives it is held to
// the mode bits like anyone else.
struct NoWriteOverride {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct saved[2]{};
    bool active = syscall(SYS_capget, &header, saved) == 0;
    NoWriteOverride()
    {
        __user_cap_data_struct dropped[2] = {saved[0], saved[1]};
        dropped[0].effective &= ~(1u << CAP_DAC_OVERRIDE);
        active = active && syscall(SYS_capset, &header, dropped) == 0;
    }
    ~NoWriteOverride()
    {
        if (active)
            syscall(SYS_capset, &header, saved);
    }
};
#endif

} // namespace

class TestAddressList : public QObject {
    Q_OBJECT

private slots:
    void saveThenLoad()
    {
        // Order, duplicates and a Latin-1 byte survive; the file is bytes + CR LF.
        const QStringList items{kB, kA, kB, u"ger\u00e4t-7"_s};
        auto box = makeBox(items);
        box->setCurrentIndex(2);
        RecordingPrompts prompts;
        const QString path =
            write("BOOTLOADER.ini", "old list that is longer than the new one\r\n");
        SaveAddresses(*box, prompts, {}, path);
        QVERIFY(prompts.boxes.isEmpty());
        QCOMPARE(contents(path),
                 QByteArray("127.0.0.3\r\n127.0.0.2\r\n127.0.0.3\r\nger\xe4t-7\r\n"));
        QCOMPARE(QDir(dir_.path()).entryList(QDir::Files).filter(u"BOOTLOADER"_s),
                 QStringList{u"BOOTLOADER.ini"_s}); // no temporary left behind
        expectLoaded(path, items);
    }

    void loadAndSave_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QStringList>("items");
        QTest::addColumn<int>("saveError"); // the "Error#" that Save shows; 0: it saves
        QTest::addColumn<QString>("says");  // what its text must hold besides the path
        const auto row = [](const char *name, const QString &path, const QStringList &items,
                            int saveError = 0, const char *says = "") {
            QTest::newRow(name) << path << items << saveError << QString::fromLatin1(says);
        };
        row("blank lines", write("blank.ini", "\r\n127.0.0.2\r\n\r\n\r\n127.0.0.3\r\n\r\n"),
            {kA, kB});
        row("LF, no final line end", write("lf.ini", "127.0.0.2\n127.0.0.3"), {kA, kB});
        row("spaces, quotes, commas", write("fields.ini", "  \"127.0.0.2\"\r\n127.0.0.3,,\r\n"),
            {kA, kB});
        row("only blank lines", write("blanks.ini", "\r\n\r\n  \r\n"), {kDefault});
        row("empty", write("empty.ini", ""), {kDefault});
        row("missing", dir_.filePath(u"none.ini"_s), {kDefault});
        row("directory", dir_.path(), {kDefault}, errnum::kPathAccess);
        // An entry no address could be is dropped alone, quoted or not; Save
        // would lose it, so it refuses.
        row("over-long entries",
            write("long.ini", "127.0.0.2\r\n" + QByteArray(100000, 'x') + "\r\n\"" +
                                  QByteArray(5000, 'y') + ",\r\n\"\r\n127.0.0.3\r\n"),
            {kA, kB}, errnum::kLineTooLong, "2 entries longer than 4096 bytes");
        QStringList many;
        for (int i = 0; i < kMaxAddressEntries + 5; ++i)
            many.append(u"10.0.%1.%2"_s.arg(i / 256).arg(i % 256));
        const QStringList kept = many.first(kMaxAddressEntries);
        row("more entries than kept", write("many.ini", many.join(u"\r\n"_s).toLatin1()), kept,
            errnum::kSubscriptOutOfRange, "5 entries after the first 10000");
        row("as many as kept, blank lines after",
            write("full.ini", kept.join(u"\r\n"_s).toLatin1() + "\r\n\r\n\r\n"), kept);
        // The read stops inside "127.0.0.2": no cut-short entry is kept.
        const qint64 pad = kMaxAddressFileBytes - 11 - 1 - 4;
        row("entry cut by the read",
            write("cut.ini", "127.0.0.3\r\n" + QByteArray(pad, ' ') + "\n127.0.0.2\r\n"), {kB},
            errnum::kSubscriptOutOfRange, "bytes after its first 1048576");
        // A gigabyte, sparse on disk: what lies beyond the head is never read.
        row("huge sparse file", huge(), {kA}, errnum::kSubscriptOutOfRange,
            "the 1072693248 bytes after its first 1048576");
#ifdef Q_OS_LINUX
        // Opens, then fails on the first read.
        row("read failure", u"/proc/self/mem"_s, {kDefault}, errnum::kDeviceIo,
            "could not be read");
#endif
    }

    void loadAndSave()
    {
        QFETCH(QString, path);
        QFETCH(QStringList, items);
        QFETCH(int, saveError);
        QFETCH(QString, says);
        auto box = makeBox({u"stale"_s});
        const AddressFileRead read = LoadAddresses(*box, path);
        QCOMPARE(itemsOf(*box), items);
        QCOMPARE(box->currentIndex(), 0);
        QCOMPARE(box->currentText(), items.first());

        // Save writes the list shown, or nothing at all.
        const QByteArray before = snapshot(path);
        RecordingPrompts prompts;
        SaveAddresses(*box, prompts, read, path);
        if (saveError == 0) {
            QVERIFY(prompts.boxes.isEmpty());
            QCOMPARE(contents(path), items.join(u"\r\n"_s).toLatin1() + "\r\n");
            return;
        }
        QCOMPARE(prompts.boxes, QStringList{u"Error#%1"_s.arg(saveError)});
        const QString text = prompts.errors.first().subject + u' ' + prompts.errors.first().reason;
        QVERIFY2(text.contains(QDir::toNativeSeparators(path)) && text.contains(says),
                 qPrintable(text));
        QCOMPARE(snapshot(path), before);
    }

    void addAndDelete()
    {
        const QString typed = u"127.0.0.9"_s;
        auto box = makeBox({kA, kB, u"127.0.0.4"_s});
        box->setCurrentIndex(1);
        DeleteAddress(*box); // the selected item goes
        QCOMPARE(itemsOf(*box), QStringList({kA, u"127.0.0.4"_s}));
        box->setCurrentIndex(0);
        box->setEditText(QString());
        AddAddress(*box); // no text, no item
        QCOMPARE(box->count(), 2);

        // Typed text: the box still reports the old index, but Del removes
        // nothing. Add takes the text, a duplicate too; the selection and the
        // text the operator sees stay.
        box->setEditText(typed);
        DeleteAddress(*box);
        AddAddress(*box);
        AddAddress(*box);
        QCOMPARE(itemsOf(*box), QStringList({kA, u"127.0.0.4"_s, typed, typed}));
        QCOMPARE(box->currentIndex(), 0);
        QCOMPARE(box->currentText(), typed);
        box->setCurrentIndex(-1);
        DeleteAddress(*box); // nothing selected
        QCOMPARE(box->count(), 4);

        // An empty box: Del does nothing, and Add must not let Qt select the
        // new item by itself.
        auto empty = makeBox();
        DeleteAddress(*empty);
        empty->setEditText(typed);
        AddAddress(*empty);
        QCOMPARE(itemsOf(*empty), QStringList{typed});
        QCOMPARE(empty->currentIndex(), -1);
        QCOMPARE(empty->currentText(), typed);
    }

    void saveFailureKeepsOldFile()
    {
        // A path whose folder is a regular file, and a folder where the file
        // should be: nothing can be created there.
        auto box = makeBox({kA});
        const QString notFolder = write("plain", "x");
        for (const QString &path : {notFolder + u"/BOOTLOADER.ini"_s, dir_.path()}) {
            RecordingPrompts prompts;
            SaveAddresses(*box, prompts, {}, path);
            QCOMPARE(prompts.boxes, QStringList{u"Error#75"_s});
            QCOMPARE(prompts.errors.first().subject, QDir::toNativeSeparators(path));
        }
        QCOMPARE(contents(notFolder), QByteArray("x"));
    }

#ifdef Q_OS_LINUX
    void saveKeepsModeAndOwner_data()
    {
        QTest::addColumn<uint>("mode");
        QTest::addColumn<bool>("otherOwner");
        QTest::newRow("0600") << 0600u << false;
        QTest::newRow("0640") << 0640u << false;
        QTest::newRow("0640, another owner") << 0640u << true;
    }

    void saveKeepsModeAndOwner()
    {
        QFETCH(uint, mode);
        QFETCH(bool, otherOwner);
        if (otherOwner && geteuid() != 0)
            QSKIP("only root may give a file away");
        const QByteArray path = QFile::encodeName(write("mode.ini", "127.0.0.2\r\n"));
        QCOMPARE(::chmod(path, mode), 0);
        if (otherOwner)
            QCOMPARE(::chown(path, 4321, 4322), 0);
        struct stat before {
        }, after{};
        QCOMPARE(::stat(path, &before), 0);

        RecordingPrompts prompts;
        SaveAddresses(*makeBox({kB}), prompts, {}, QFile::decodeName(path));
        QVERIFY(prompts.boxes.isEmpty());
        QCOMPARE(contents(QFile::decodeName(path)), QByteArray("127.0.0.3\r\n"));
        QCOMPARE(::stat(path, &after), 0);
        QCOMPARE(after.st_mode & 07777, mode);
        QCOMPARE(after.st_uid, before.st_uid);
        QCOMPARE(after.st_gid, before.st_gid);
    }

    void saveFailsOrNot_data()
    {
        QTest::addColumn<bool>("readOnlyFolder");
        QTest::addColumn<bool>("writeFails");
        QTest::newRow("beside the file, fails part-way") << false << true;
        QTest::newRow("read-only folder") << true << false;
        QTest::newRow("read-only folder, fails part-way") << true << true;
    }

    void saveFailsOrNot()
    {
        // The list is written beside the old file, or over it where the
        // folder takes no new file. A write that fails part-way (the file
        // size limit) must leave the old list whole either way.
        QFETCH(bool, readOnlyFolder);
        QFETCH(bool, writeFails);
        const QString folder = dir_.filePath(u"folder"_s);
        QVERIFY(QDir().mkpath(folder));
        // Longer than the new list when that is saved, so it must be cut.
        const QByteArray old = QByteArray("127.0.0.2\r\n").repeated(50);
        const QString ini = write("folder/BOOTLOADER.ini", old);
        auto box = makeBox(writeFails ? QStringList(2000, kB) : QStringList{kB, kA});
        RecordingPrompts prompts;
        {
            NoWriteOverride noOverride;
            const auto restore = qScopeGuard([&] { ::chmod(QFile::encodeName(folder), 0755); });
            if (readOnlyFolder) {
                QCOMPARE(::chmod(QFile::encodeName(folder), 0555), 0);
                QFile probe(folder + u"/probe"_s);
                if (probe.open(QIODevice::WriteOnly))
                    QSKIP("this process writes into read-only folders");
            }
            std::optional<FileSizeLimit> limit;
            if (writeFails)
                limit.emplace(4096);
            SaveAddresses(*box, prompts, {}, ini);
        }
        if (writeFails) {
            QCOMPARE(prompts.boxes, QStringList{u"Error#57"_s});
            const QString text =
                prompts.errors.first().subject + u' ' + prompts.errors.first().reason;
            QVERIFY(text.contains(QDir::toNativeSeparators(ini)));
            QVERIFY2(!text.contains(u"Unknown error"_s), qPrintable(text)); // says why
            QCOMPARE(contents(ini), old);
        } else {
            QVERIFY(prompts.boxes.isEmpty());
            QCOMPARE(contents(ini), QByteArray("127.0.0.3\r\n127.0.0.2\r\n"));
        }
        QCOMPARE(QDir(folder).entryList(QDir::Files), QStringList{u"BOOTLOADER.ini"_s});
    }
#endif

private:
    QString write(const char *name, const QByteArray &bytes)
    {
        const QString path = dir_.filePath(QLatin1StringView(name));
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
            file.write(bytes) != bytes.size())
            qFatal("cannot write %s", qPrintable(path));
        return path;
    }

    // A gigabyte with an entry at the start and one at the very end.
    QString huge()
    {
        const QString path = write("huge.ini", "127.0.0.2\r\n");
        const QByteArray tail("\n127.0.0.3\r\n");
        QFile file(path);
        if (!file.open(QIODevice::ReadWrite) || !file.seek((qint64(1) << 30) - tail.size()) ||
            file.write(tail) != tail.size())
            qFatal("cannot write %s", qPrintable(path));
        return path;
    }

    QTemporaryDir dir_;
};

QTEST_MAIN(TestAddressList)
#include "test_address_list.moc"
