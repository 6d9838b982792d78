// corvanel-flash against devices played by the test on 127.0.0.1: the exact
// datagrams, retries, time-outs, exit codes, --check, usage and Ctrl-C.

#include "flash_test_support.h"

#include <QtTest>

#ifdef Q_OS_UNIX
#include <csignal>
#endif

using namespace corvanel::flashtest;

namespace {

QList<QByteArray> downloadMessages(const QList<QByteArray> &lines, bool verify)
{
    QList<QByteArray> messages;
    for (QByteArray line : lines) {
        if (verify)
            line.replace(':', '#');
        messages.append("BOOT" + line + "\r\n");
    }
    return messages;
}

} // namespace

class TestFlashCli : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(dir_.isValid());
        lines_ = makeImage(6);
        image_ = writeImage(dir_, QStringLiteral("six.hex"), lines_);
        QVERIFY(!image_.isEmpty());
    }

    void sendsExactlyTheWindowsDatagrams()
    {
        ScriptedDevice device([](const QByteArray &d, int) { return bootloaderAnswer(d); });
        auto flasher = startFlasher(
            {QStringLiteral("--check"), QStringLiteral("--install"), image_, device.target()});
        const FlashRun run = finishFlasher(*flasher);
        QVERIFY(run.finished);
        QCOMPARE(run.exitCode, 0);

        QList<QByteArray> expected{"BOOTi\r\n"};
        expected += downloadMessages(lines_, false);
        expected += downloadMessages(lines_, true);
        expected += "BOOTg\r\n";
        QTRY_COMPARE_WITH_TIMEOUT(device.received.size(), expected.size(), 2000);
        QCOMPARE(device.received, expected);
        // Spelled out once, byte for byte.
        QCOMPARE(device.received.at(1).toHex(' '),
                 QByteArray("42 4f 4f 54 3a") + ' ' + lines_.at(0).mid(1).toHex(' ') + " 0d 0a");
        QCOMPARE(device.received.at(1 + lines_.size()).left(5), QByteArray("BOOT#"));

        // Not a terminal: plain progress lines, and the table on stdout.
        QVERIFY2(run.err.contains(": download pass, 6 lines"), run.err.constData());
        QVERIFY2(run.err.contains(": verify 6/6"), run.err.constData());
        QVERIFY2(run.out.contains("END"), run.out.constData());
        QVERIFY(run.out.contains("installed"));
    }

    void retriesSendTheSameLineAgain()
    {
        // Line 3 is lost on its way the first time; the device is otherwise sound.
        int line3Seen = 0;
        ScriptedDevice device([&](const QByteArray &d, int) -> QByteArray {
            if (d == "BOOT" + lines_.at(2) + "\r\n" && ++line3Seen == 1)
                return {};
            return bootloaderAnswer(d);
        });
        auto flasher = startFlasher({QStringLiteral("--reply-timeout"), QStringLiteral("0.2"),
                                     QStringLiteral("--retries"), QStringLiteral("2"),
                                     QStringLiteral("--json"), image_, device.target()});
        const FlashRun run = finishFlasher(*flasher);
        QVERIFY(run.finished);
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.host(0).value("resends").toInt(), 1);
        QCOMPARE(line3Seen, 2);
        const QByteArray line3 = "BOOT" + lines_.at(2) + "\r\n";
        QCOMPARE(device.received.count(line3), 2);
        const qsizetype first = device.received.indexOf(line3);
        QCOMPARE(device.received.at(first + 1), line3); // nothing in between
    }

    void retriesRunOut()
    {
        const QByteArray line2 = "BOOT" + lines_.at(1) + "\r\n";
        ScriptedDevice device([&](const QByteArray &d, int) -> QByteArray {
            return d == line2 ? QByteArray() : bootloaderAnswer(d); // line 2 never answered
        });
        auto flasher = startFlasher({QStringLiteral("--reply-timeout"), QStringLiteral("0.15"),
                                     QStringLiteral("--retries"), QStringLiteral("2"),
                                     QStringLiteral("--json"), image_, device.target()});
        const FlashRun run = finishFlasher(*flasher);
        QVERIFY(run.finished);
        QCOMPARE(run.exitCode, 3);
        QCOMPARE(
            run.host(0).value("reason").toString(),
            QStringLiteral("no reply to line 2 of 6 (download pass) within 0.15 s, sent 3 times"));
        QCOMPARE(device.received.count(line2), 3);
    }

    void silentDeviceEndsInTheInquiryTimeout()
    {
        ScriptedDevice device; // takes the inquiries, answers nothing
        QElapsedTimer clock;
        clock.start();
        auto flasher = startFlasher({QStringLiteral("--inquiry-timeout"), QStringLiteral("0.7"),
                                     QStringLiteral("--json"), image_, device.target()});
        const FlashRun run = finishFlasher(*flasher);
        QVERIFY(run.finished);
        QCOMPARE(run.exitCode, 3);
        QVERIFY2(clock.elapsed() < 3000, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(run.host(0).value("result").toString(), QStringLiteral("TIMEOUT"));
        QCOMPARE(run.host(0).value("reason").toString(),
                 QStringLiteral("no \"VER=\" reply to the inquiry within 0.7 s"));
        QVERIFY(!device.received.isEmpty());
        for (const QByteArray &d : std::as_const(device.received))
            QCOMPARE(d, QByteArray("BOOTi\r\n"));
    }

    void hostsFailingInDifferentWaysGiveTheMixedCode()
    {
        ScriptedDevice refusing([](const QByteArray &d, int) -> QByteArray {
            return d == "BOOTi\r\n" ? QByteArray("VER=1\r\n") : QByteArray("ERROR\r\n");
        });
        ScriptedDevice silent;
        auto flasher =
            startFlasher({QStringLiteral("--inquiry-timeout"), QStringLiteral("0.7"),
                          QStringLiteral("--json"), image_, refusing.target(), silent.target()});
        const FlashRun run = finishFlasher(*flasher);
        QVERIFY(run.finished);
        QCOMPARE(run.exitCode, 6);
        QCOMPARE(run.host(0).value("exitCode").toInt(), 1);
        QCOMPARE(run.host(0).value("reason").toString(),
                 QStringLiteral("the device answered \"ERROR\" to line 1 of 6 (download pass)"));
        QCOMPARE(run.host(1).value("exitCode").toInt(), 3);
    }

    void checkRefusesBadImages_data()
    {
        QTest::addColumn<QList<QByteArray>>("lines");
        QTest::addColumn<QStringList>("expected"); // "line: words", one per bad line

        QList<QByteArray> badChecksum = lines_;
        badChecksum[1].chop(2);
        badChecksum[1] += lines_[1].endsWith("00") ? "01" : "00";
        QTest::newRow("bad checksum") << badChecksum << QStringList{QStringLiteral(":2: checksum")};

        QList<QByteArray> shortRecord = lines_;
        shortRecord[2].remove(11, 2); // one data byte fewer than the count says
        QTest::newRow("short record")
            << shortRecord
            << QStringList{QStringLiteral(":3: byte count 10 (16) but the record "
                                          "holds 15 data bytes")};

        QList<QByteArray> noEnd = lines_.mid(0, lines_.size() - 1);
        QTest::newRow("missing end-of-file record")
            << noEnd << QStringList{QStringLiteral(":5: no end-of-file record")};

        QList<QByteArray> all = badChecksum;
        all[2] = shortRecord[2];
        all.removeLast();
        QTest::newRow("all three")
            << all
            << QStringList{QStringLiteral(":2: checksum"), QStringLiteral(":3: byte count"),
                           QStringLiteral(":5: no end-of-file record")};
    }

    void checkRefusesBadImages()
    {
        QFETCH(QList<QByteArray>, lines);
        QFETCH(QStringList, expected);
        const QString path = writeImage(dir_, QStringLiteral("bad.hex"), lines);
        ScriptedDevice device([](const QByteArray &d, int) { return bootloaderAnswer(d); });

        auto flasher = startFlasher({QStringLiteral("--check"), path, device.target()});
        const FlashRun run = finishFlasher(*flasher);
        QVERIFY(run.finished);
        QCOMPARE(run.exitCode, 4);
        const QString err = QString::fromLocal8Bit(run.err);
        for (const QString &problem : expected)
            QVERIFY2(err.contains(path + problem), qPrintable(err));
        QVERIFY2(err.contains(QStringLiteral("%1 bad line").arg(expected.size())), qPrintable(err));
        QVERIFY(device.received.isEmpty()); // nothing sent

        // Without --check the same file goes out unparsed, as the window sends it.
        auto unchecked = startFlasher(
            {QStringLiteral("--inquiry-timeout"), QStringLiteral("2"), path, device.target()});
        const FlashRun sent = finishFlasher(*unchecked);
        QVERIFY(sent.finished);
        QTRY_VERIFY(device.received.contains("BOOT" + lines.at(0) + "\r\n"));
    }

    void unusableImagesAreFileErrors_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("content"); // no file at all when null
        QTest::newRow("missing") << QStringLiteral("missing.hex") << QByteArray();
        QTest::newRow("empty") << QStringLiteral("empty.hex") << QByteArray("");
    }

    void unusableImagesAreFileErrors()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, content);
        const QString path =
            content.isNull() ? dir_.filePath(name) : writeFile(dir_, name, content);
        ScriptedDevice device;
        auto flasher = startFlasher({QStringLiteral("--json"), path, device.target()});
        const FlashRun run = finishFlasher(*flasher);
        QVERIFY(run.finished);
        QCOMPARE(run.exitCode, 4);
        QCOMPARE(run.json().value("exitCode").toInt(), 4);
        QVERIFY(!run.json().value("error").toString().isEmpty());
        QVERIFY(device.received.isEmpty());
    }

    void takenLocalPortIsANetworkError()
    {
        QUdpSocket taken;
        QVERIFY(taken.bind(QHostAddress::AnyIPv4, 0, QAbstractSocket::DontShareAddress));
        ScriptedDevice device;
        QProcess flasher;
        flasher.setProgram(QStringLiteral(CORVANEL_FLASH_PATH));
        flasher.setArguments({QStringLiteral("--local-port"), QString::number(taken.localPort()),
                              QStringLiteral("--json"), image_, device.target()});
        flasher.start();
        const FlashRun run = finishFlasher(flasher);
        QVERIFY(run.finished);
        QCOMPARE(run.exitCode, 5);
        QCOMPARE(run.host(0).value("result").toString(), QStringLiteral("NETWORK"));
        QVERIFY(
            run.host(0).value("reason").toString().contains(QString::number(taken.localPort())));
    }

    void badUsage_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("nothing") << QStringList{};
        QTest::newRow("no host") << QStringList{QStringLiteral("x.hex")};
        QTest::newRow("unknown option") << QStringList{
            QStringLiteral("--fast"), QStringLiteral("x.hex"), QStringLiteral("127.0.0.1")};
        QTest::newRow("negative retries")
            << QStringList{QStringLiteral("--retries"), QStringLiteral("-1"),
                           QStringLiteral("x.hex"), QStringLiteral("127.0.0.1")};
        QTest::newRow("timeout not a number")
            << QStringList{QStringLiteral("--reply-timeout"), QStringLiteral("soon"),
                           QStringLiteral("x.hex"), QStringLiteral("127.0.0.1")};
        QTest::newRow("zero timeout")
            << QStringList{QStringLiteral("--inquiry-timeout"), QStringLiteral("0"),
                           QStringLiteral("x.hex"), QStringLiteral("127.0.0.1")};
        QTest::newRow("bad port") << QStringList{QStringLiteral("x.hex"),
                                                 QStringLiteral("127.0.0.1:70000")};
        QTest::newRow("same host twice") << QStringList{
            QStringLiteral("--port"), QStringLiteral("4000"), QStringLiteral("x.hex"),
            QStringLiteral("127.0.0.1"), QStringLiteral("127.0.0.1:4000")};
    }

    void badUsage()
    {
        QFETCH(QStringList, arguments);
        QProcess flasher;
        flasher.start(QStringLiteral(CORVANEL_FLASH_PATH), arguments);
        const FlashRun run = finishFlasher(flasher);
        QVERIFY(run.finished);
        QCOMPARE(run.exitCode, 2);
        QVERIFY2(run.err.contains("Try 'corvanel-flash --help'"), run.err.constData());
        QVERIFY(run.out.isEmpty());
    }

    void helpExplainsRetriesAndExitCodes()
    {
        QProcess flasher;
        flasher.start(QStringLiteral(CORVANEL_FLASH_PATH), {QStringLiteral("--help")});
        const FlashRun run = finishFlasher(flasher);
        QCOMPARE(run.exitCode, 0);
        QVERIFY(run.out.contains("no sequence numbers"));
        QVERIFY(run.out.contains("written twice"));
        QVERIFY(run.out.contains("Exit codes:"));
    }

#ifdef Q_OS_UNIX
    void interruptStopsCleanlyWithASummary()
    {
        // Answers up to line 3, then goes quiet: the flasher waits on line 4.
        const QByteArray line4 = "BOOT" + lines_.at(3) + "\r\n";
        ScriptedDevice device([&](const QByteArray &d, int) -> QByteArray {
            return d == line4 ? QByteArray() : bootloaderAnswer(d);
        });
        auto flasher = startFlasher(
            {QStringLiteral("--reply-timeout"), QStringLiteral("60"), image_, device.target()});
        QTRY_VERIFY_WITH_TIMEOUT(device.received.contains(line4), 5000);
        ::kill(pid_t(flasher->processId()), SIGINT);
        const FlashRun run = finishFlasher(*flasher, 5000);
        QVERIFY(run.finished);
        QCOMPARE(run.exitCode, 130);
        QVERIFY2(run.out.contains("STOPPED"), run.out.constData());
        QVERIFY2(run.out.contains("interrupted at line 4 of 6 (download pass)"),
                 run.out.constData());
        QVERIFY(run.out.contains("exit code 130"));
    }
#endif

private:
    QTemporaryDir dir_;
    QList<QByteArray> lines_;
    QString image_;
};

QTEST_GUILESS_MAIN(TestFlashCli)
#include "test_flash_cli.moc"
