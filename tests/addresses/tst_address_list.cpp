#include "addresses/address_list.h"
#include "support/prompts_recorder.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#ifdef Q_OS_UNIX
#include <csignal>
#include <sys/resource.h>
#endif

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

const QString kDefault = QStringLiteral("192.168.1.25");

} // namespace

class TestAddressList : public QObject {
    Q_OBJECT

private slots:
    void saveThenLoad();
    void load_data();
    void load();
    void add();
    void deleteSelected();
    void deleteWithoutSelection();
    void saveFailureKeepsOldFile();

private:
    QString write(const QString &name, const QByteArray &bytes);
    QTemporaryDir dir_;
};

QString TestAddressList::write(const QString &name, const QByteArray &bytes)
{
    const QString path = dir_.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

void TestAddressList::saveThenLoad()
{
    // Order, duplicates and a Latin-1 byte survive; the file is bytes + CR LF.
    const QStringList items{QStringLiteral("127.0.0.3"), QStringLiteral("127.0.0.2"),
                            QStringLiteral("127.0.0.3"), QStringLiteral("ger\u00e4t-7")};
    auto box = makeBox(items);
    box->setCurrentIndex(2);
    RecordingPrompts prompts;
    const QString path = dir_.filePath(QStringLiteral("BOOTLOADER.ini"));
    write(QStringLiteral("BOOTLOADER.ini"), "old list that is longer than the new one\r\n");

    SaveAddresses(*box, prompts, path);
    QVERIFY(prompts.boxes.isEmpty());
    QCOMPARE(contents(path), QByteArray("127.0.0.3\r\n127.0.0.2\r\n127.0.0.3\r\nger\xe4t-7\r\n"));
    QCOMPARE(QDir(dir_.path()).entryList(QDir::Files).filter(QStringLiteral("BOOTLOADER")),
             QStringList{QStringLiteral("BOOTLOADER.ini")}); // no temporary left behind

    auto restarted = makeBox({QStringLiteral("stale")});
    LoadAddresses(*restarted, path);
    QCOMPARE(itemsOf(*restarted), items);
    QCOMPARE(restarted->currentIndex(), 0);
    QCOMPARE(restarted->currentText(), items.first());
}

void TestAddressList::load_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QStringList>("items");

    const QString a = QStringLiteral("127.0.0.2"), b = QStringLiteral("127.0.0.3");
    QTest::newRow("blank lines") << write(QStringLiteral("blank.ini"),
                                          "\r\n127.0.0.2\r\n\r\n\r\n127.0.0.3\r\n\r\n")
                                 << QStringList{a, b};
    QTest::newRow("LF, no final line end")
        << write(QStringLiteral("lf.ini"), "127.0.0.2\n127.0.0.3") << QStringList{a, b};
    QTest::newRow("spaces, quotes, commas")
        << write(QStringLiteral("fields.ini"), "  \"127.0.0.2\"\r\n127.0.0.3,,\r\n")
        << QStringList{a, b};
    QTest::newRow("only blank lines")
        << write(QStringLiteral("blanks.ini"), "\r\n\r\n  \r\n") << QStringList{kDefault};
    QTest::newRow("empty") << write(QStringLiteral("empty.ini"), "") << QStringList{kDefault};
    QTest::newRow("missing") << dir_.filePath(QStringLiteral("none.ini")) << QStringList{kDefault};
    QTest::newRow("directory") << dir_.path() << QStringList{kDefault};
    // Reading fails after an entry: the default joins what was read.
    QTest::newRow("fails part-way")
        << write(QStringLiteral("long.ini"), "127.0.0.2\r\n" + QByteArray(100000, 'x') + "\r\n")
        << QStringList{a, kDefault};
}

void TestAddressList::load()
{
    QFETCH(QString, path);
    QFETCH(QStringList, items);
    auto box = makeBox({QStringLiteral("stale")});
    LoadAddresses(*box, path);
    QCOMPARE(itemsOf(*box), items);
    QCOMPARE(box->currentIndex(), 0);
    QCOMPARE(box->currentText(), items.first());
}

void TestAddressList::add()
{
    auto box = makeBox({QStringLiteral("127.0.0.2")});
    box->setCurrentIndex(0);

    box->setEditText(QString());
    AddAddress(*box);
    QCOMPARE(box->count(), 1);

    // A typed text and a duplicate of it are both added; the selection and
    // the text the operator sees stay.
    box->setEditText(QStringLiteral("127.0.0.9"));
    AddAddress(*box);
    AddAddress(*box);
    QCOMPARE(itemsOf(*box), QStringList({QStringLiteral("127.0.0.2"), QStringLiteral("127.0.0.9"),
                                         QStringLiteral("127.0.0.9")}));
    QCOMPARE(box->currentIndex(), 0);
    QCOMPARE(box->currentText(), QStringLiteral("127.0.0.9"));

    // Into an empty box: Qt would select the new item by itself.
    auto empty = makeBox();
    empty->setEditText(QStringLiteral("127.0.0.5"));
    AddAddress(*empty);
    QCOMPARE(itemsOf(*empty), QStringList{QStringLiteral("127.0.0.5")});
    QCOMPARE(empty->currentIndex(), -1);
    QCOMPARE(empty->currentText(), QStringLiteral("127.0.0.5"));
}

void TestAddressList::deleteSelected()
{
    auto box = makeBox(
        {QStringLiteral("127.0.0.2"), QStringLiteral("127.0.0.3"), QStringLiteral("127.0.0.4")});
    box->setCurrentIndex(1);
    DeleteAddress(*box);
    QCOMPARE(itemsOf(*box),
             QStringList({QStringLiteral("127.0.0.2"), QStringLiteral("127.0.0.4")}));
}

void TestAddressList::deleteWithoutSelection()
{
    const QStringList items{QStringLiteral("127.0.0.2"), QStringLiteral("127.0.0.3")};

    // The operator typed a new text: the box still reports the old index.
    auto typed = makeBox(items);
    typed->setCurrentIndex(1);
    typed->setEditText(QStringLiteral("127.0.0.7"));
    QCOMPARE(typed->currentIndex(), 1);
    DeleteAddress(*typed);
    QCOMPARE(itemsOf(*typed), items);
    QCOMPARE(typed->currentText(), QStringLiteral("127.0.0.7"));

    auto none = makeBox(items);
    none->setCurrentIndex(-1);
    DeleteAddress(*none);
    QCOMPARE(itemsOf(*none), items);

    auto empty = makeBox();
    DeleteAddress(*empty);
    QCOMPARE(empty->count(), 0);
}

void TestAddressList::saveFailureKeepsOldFile()
{
    auto box = makeBox({QStringLiteral("127.0.0.2")});

    // A path whose folder is a regular file: nothing can be created there.
    const QString notFolder = write(QStringLiteral("plain"), "x");
    const QString path = notFolder + QStringLiteral("/BOOTLOADER.ini");
    RecordingPrompts prompts;
    SaveAddresses(*box, prompts, path);
    QCOMPARE(prompts.boxes, QStringList{QStringLiteral("Error#75")});
    QVERIFY(prompts.errors.first().text.contains(QDir::toNativeSeparators(path)));
    QCOMPARE(contents(notFolder), QByteArray("x"));

    // A folder where the file should be.
    prompts = RecordingPrompts();
    SaveAddresses(*box, prompts, dir_.path());
    QCOMPARE(prompts.boxes, QStringList{QStringLiteral("Error#75")});

#ifdef Q_OS_UNIX
    // The write itself fails part-way (the file size limit holds for root as
    // well): the old list must survive whole.
    const QByteArray old("127.0.0.2\r\n127.0.0.3\r\n");
    const QString ini = write(QStringLiteral("kept.ini"), old);
    QStringList many;
    for (int i = 0; i < 2000; ++i)
        many.append(QStringLiteral("127.0.%1.%2").arg(i / 250).arg(i % 250));
    auto big = makeBox(many);

    rlimit saved{};
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit small = saved;
    small.rlim_cur = 4096;
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
    prompts = RecordingPrompts();
    SaveAddresses(*big, prompts, ini);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);

    QCOMPARE(prompts.boxes, QStringList{QStringLiteral("Error#57")});
    QVERIFY(prompts.errors.first().text.contains(QDir::toNativeSeparators(ini)));
    QCOMPARE(contents(ini), old);
    QCOMPARE(QDir(dir_.path()).entryList({QStringLiteral("kept.ini*")}, QDir::Files),
             QStringList{QStringLiteral("kept.ini")});
#endif
}

QTEST_MAIN(TestAddressList)
#include "tst_address_list.moc"
