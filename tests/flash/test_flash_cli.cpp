// corvanel-flash against devices played by the test on 127.0.0.1: the exact
// datagrams, exit codes, --check, bad files and usage, the datagram trace,
// colour, --dry-run, the report file, signals, closed output and many hosts.

#include "flash_test_support.h"

#include <QCryptographicHash>
#include <QStandardPaths>
#include <QtTest>

#include <vector>

#ifdef Q_OS_UNIX
#include <csignal>
#include <sys/stat.h>
#endif

using namespace corvanel::flashtest;

class TestFlashCli : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(dir_.isValid());
        image_ = objcopyImage(dir_, 5, &lines_, &data_);
        QCOMPARE(lines_.size(), 6);
    }

    void sendsExactlyTheWindowsDatagrams()
    {
        ScriptedDevice device(bootloaderAnswer);
        const FlashRun run = runFlasher(
            {QStringLiteral("--check"), QStringLiteral("--install"), image_, device.target()});
        QVERIFY(run.finished);
        QCOMPARE(run.exitCode, 0);
        QList<QByteArray> expected{"BOOTi\r\n"};
        for (const QByteArray &line : std::as_const(lines_))
            expected << "BOOT" + line + "\r\n";
        for (QByteArray line : std::as_const(lines_))
            expected << "BOOT" + line.replace(':', '#') + "\r\n";
        expected << "BOOTg\r\n";
        QTRY_COMPARE_WITH_TIMEOUT(device.received.size(), expected.size(), 2000);
        QCOMPARE(device.received, expected);
        // Not a terminal: plain progress lines, and the table on stdout.
        QVERIFY2(run.err.contains(device.target().toLatin1() + ": download pass, 6 lines"),
                 run.err.constData());
        QVERIFY2(run.err.contains(": VERIFY 3/6 (9/12)\n"), run.err.constData());
        QVERIFY2(run.out.contains("END") && run.out.contains("installed"), run.out.constData());
    }

    void traceTellsEveryDatagram()
    {
        // Attempt 1: "VER=" twice to one inquiry, a copy that fails it. Attempt
        // 2: a stranger's "OK" beside the answer to line 1, then a whole transfer.
        QUdpSocket stranger;
        QVERIFY(stranger.bind(QHostAddress::LocalHost, 0));
        int inquiries = 0;
        ScriptedDevice device([&](const QByteArray &d) -> QByteArray {
            if (d == "BOOTi\r\n" && ++inquiries == 1)
                device.reply("VER=SCRIPT\r\n");
            else if (inquiries == 1)
                return {};
            else if (d == "BOOT" + lines_.at(0) + "\r\n")
                stranger.writeDatagram("OK\r\n", QHostAddress::LocalHost, device.peerPort);
            return bootloaderAnswer(d);
        });
        const QString file = dir_.filePath(QStringLiteral("trace.log"));
        const FlashRun run = runFlasher(
            {QStringLiteral("-v"), QStringLiteral("--trace"), file, QStringLiteral("--attempts=2"),
             QStringLiteral("--reply-timeout=0.3"), image_, device.target()});
        QCOMPARE(run.exitCode, 0);

        // "  0.012  HOST:PORT  in   "VER=SCRIPT"  answer", among the progress lines.
        static const QRegularExpression traced(
            QStringLiteral(R"(^ *(\d+)\.(\d{3})  (\S+)  (in |out)  (".*")  (.+)$)"));
        QStringList lines;
        QStringList seen; // direction, datagram, note
        qint64 last = 0;
        for (const QString &line : QString::fromLocal8Bit(run.err).split(u'\n')) {
            const auto match = traced.match(line);
            if (!match.hasMatch())
                continue;
            const qint64 ms = match.captured(1).toLongLong() * 1000 + match.captured(2).toInt();
            QVERIFY2(ms >= last, qPrintable(line));
            last = ms;
            QCOMPARE(match.captured(3), device.target());
            lines << line;
            seen << match.captured(4).trimmed() + u' ' + match.captured(5) + u' ' +
                        match.captured(6);
        }
        const QString strangerNote =
            QStringLiteral("in \"OK\" left out: from port %1, not the device's (%2)")
                .arg(stranger.localPort())
                .arg(device.target().section(u':', 1));
        QCOMPARE(seen.count(strangerNote), 1);
        QVERIFY(seen.indexOf(strangerNote) > 6);
        seen.removeAll(strangerNote);

        const auto out = [](const QByteArray &line) {
            return QStringLiteral("out \"BOOT%1\" sent").arg(QString::fromLatin1(line));
        };
        QStringList expected{out("i"), "in \"VER=SCRIPT\" answer", out(lines_.at(0))};
        QVERIFY2(seen.size() > 3 && seen[3].startsWith("in \"VER=SCRIPT\" left out: ") &&
                     seen[3].endsWith("; a copy: replies cannot be paired with lines, the "
                                      "attempt fails"),
                 qPrintable(seen.value(3)));
        expected << seen[3] << out("i") << "in \"VER=SCRIPT\" answer";
        for (const char mark : {':', '#'}) {
            for (qsizetype i = 0; i < lines_.size(); ++i) {
                expected << out(QByteArray(lines_[i]).replace(':', mark))
                         << (i + 1 == lines_.size() ? "in \"DOWNLOAD\" answer"
                                                    : "in \"OK\" answer");
            }
        }
        QCOMPARE(seen, expected);

        // The file holds the same lines after its header; the next run appends.
        QVERIFY(runFlasher({QStringLiteral("--dry-run"), QStringLiteral("-q"),
                            QStringLiteral("--trace"), file, image_, device.target()})
                    .err.isEmpty());
        QStringList written;
        for (const QByteArray &line : readLines(file))
            written << QString::fromLocal8Bit(line);
        QCOMPARE(written.count(QStringLiteral("#")), 0);
        QVERIFY2(written.value(0).startsWith(QStringLiteral("# corvanel-flash ")) &&
                     written.value(0).endsWith(QStringLiteral(" --attempts=2 --reply-timeout=0.3 "
                                                              "%1 %2")
                                                   .arg(image_, device.target())),
                 qPrintable(written.value(0)));
        QCOMPARE(written.mid(1, lines.size()), lines);
        QVERIFY2(written.value(lines.size() + 1).contains(QStringLiteral(" --dry-run -q --trace ")),
                 qPrintable(written.value(lines.size() + 1)));
        QVERIFY(written.value(lines.size() + 2).endsWith(QStringLiteral("  out  \"BOOTi\"  sent")));
    }

    void colourOnlyWhereWanted_data()
    {
        QTest::addColumn<bool>("terminal"); // stdout and stderr on a terminal, TERM as given
        QTest::addColumn<QString>("term");
        QTest::addColumn<QString>("colour");     // --color; empty: not given
        QTest::addColumn<QByteArray>("noColor"); // null: unset
        QTest::addColumn<bool>("painted");
        QTest::newRow("pipe") << false << "xterm"
                              << "" << QByteArray() << false;
        QTest::newRow("pipe, always") << false << "xterm"
                                      << "always" << QByteArray() << true;
        QTest::newRow("pipe, always wins over NO_COLOR") << false << "xterm"
                                                         << "always" << QByteArray("1") << true;
        QTest::newRow("terminal") << true << "xterm"
                                  << "" << QByteArray() << true;
        QTest::newRow("terminal, NO_COLOR") << true << "xterm"
                                            << "" << QByteArray("1") << false;
        QTest::newRow("terminal, NO_COLOR empty") << true << "xterm"
                                                  << "" << QByteArray("") << true;
        QTest::newRow("terminal, never") << true << "xterm"
                                         << "never" << QByteArray() << false;
        QTest::newRow("terminal, TERM=dumb") << true << "dumb"
                                             << "" << QByteArray() << false;
    }

    void colourOnlyWhereWanted()
    {
        QFETCH(bool, terminal);
        QFETCH(QString, term);
        QFETCH(QString, colour);
        QFETCH(QByteArray, noColor);
        QFETCH(bool, painted);
        ScriptedDevice good(bootloaderAnswer);
        ScriptedDevice refusing([](const QByteArray &d) -> QByteArray {
            return d == "BOOTi\r\n" ? "VER=1\r\n" : "ERROR\r\n";
        });
        QStringList arguments{QStringLiteral(CORVANEL_FLASH), QStringLiteral("--local-port=0"),
                              image_, good.target(), refusing.target()};
        if (!colour.isEmpty())
            arguments.insert(1, QStringLiteral("--color=") + colour);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("TERM"), term);
        environment.remove(QStringLiteral("NO_COLOR"));
        if (!noColor.isNull())
            environment.insert(QStringLiteral("NO_COLOR"), QString::fromLatin1(noColor));
        QProcess process;
        process.setProcessEnvironment(environment);
        if (terminal) {
            // script(1) gives the flasher a terminal of its own.
            if (QStandardPaths::findExecutable(QStringLiteral("script")).isEmpty())
                QSKIP("script (util-linux) is needed");
            QStringList quoted;
            for (const QString &argument : std::as_const(arguments))
                quoted << u'\'' + argument + u'\'';
            process.start(QStringLiteral("script"),
                          {QStringLiteral("-qec"), quoted.join(u' '), QStringLiteral("/dev/null")});
        } else {
            process.start(arguments.takeFirst(), arguments);
        }
        const FlashRun run = finishFlasher(process);
        QVERIFY(run.finished);
        const QByteArray all = run.out + run.err;
        QVERIFY2(all.contains("ERROR"), all.constData());
        // Green for the board that ended, red for the one refused; in the
        // summary and in the progress.
        QCOMPARE(all.count("\x1b[32m") + all.count("\x1b[31m") >= 4, painted);
        QCOMPARE(all.contains("\x1b[32m127.0.0.1:") && all.contains("\x1b[31m127.0.0.1:"), painted);
        if (!terminal)
            QCOMPARE(run.err.contains("\x1b[31m"), painted);
    }

    void hostsFailingInDifferentWaysGiveTheMixedCode()
    {
        ScriptedDevice refusing([](const QByteArray &d) -> QByteArray {
            return d == "BOOTi\r\n" ? "VER=1\r\n" : "ERROR\r\n";
        });
        ScriptedDevice silent;
        const FlashRun run =
            runFlasher({QStringLiteral("--inquiry-timeout"), QStringLiteral("0.7"),
                        QStringLiteral("--json"), image_, refusing.target(), silent.target()});
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
        QTest::addColumn<QStringList>("expected"); // ":line: words", one per bad line
        QList<QByteArray> badChecksum = lines_;
        badChecksum[1].chop(2);
        badChecksum[1] += lines_[1].endsWith("00") ? "01" : "00";
        QList<QByteArray> shortRecord = lines_;
        shortRecord[2].remove(11, 2); // one data byte fewer than the count says
        const QString shortProblem =
            QStringLiteral(":3: byte count 10 (16) but the record holds 15 data bytes");
        QList<QByteArray> all = badChecksum.mid(0, 5);
        all[2] = shortRecord[2];
        QTest::newRow("bad checksum") << badChecksum << QStringList{QStringLiteral(":2: checksum")};
        QTest::newRow("short record") << shortRecord << QStringList{shortProblem};
        QTest::newRow("missing end-of-file record")
            << lines_.mid(0, 5) << QStringList{QStringLiteral(":5: no end-of-file record")};
        QTest::newRow("all three") << all
                                   << QStringList{QStringLiteral(":2: checksum"), shortProblem,
                                                  QStringLiteral(":5: no end-of-file record")};
    }

    void checkRefusesBadImages()
    {
        QFETCH(QList<QByteArray>, lines);
        QFETCH(QStringList, expected);
        const QString path =
            writeFile(dir_, QStringLiteral("bad.hex"), lines.join("\r\n") + "\r\n");
        ScriptedDevice device(bootloaderAnswer);
        const FlashRun run = runFlasher({path, device.target()});
        QVERIFY(run.finished);
        QCOMPARE(run.exitCode, 4);
        const QString err = QString::fromLocal8Bit(run.err);
        for (const QString &problem : expected)
            QVERIFY2(err.contains(path + problem), qPrintable(err));
        QVERIFY2(err.contains(QStringLiteral("%1 bad line").arg(expected.size())), qPrintable(err));
        QVERIFY(device.received.isEmpty()); // nothing sent

        // With --no-check the same file goes out unparsed, as the window sends it.
        QVERIFY(runFlasher({QStringLiteral("--no-check"), QStringLiteral("--inquiry-timeout"),
                            QStringLiteral("2"), path, device.target()})
                    .finished);
        QTRY_VERIFY(device.received.contains("BOOT" + lines.at(0) + "\r\n"));
    }

    void unusableFilesAndPorts()
    {
        ScriptedDevice device;
        // A missing or empty image is a file error, and nothing is sent.
        for (const QString &path :
             {dir_.filePath(QStringLiteral("missing.hex")), writeFile(dir_, "empty.hex", "")}) {
            const FlashRun run = runFlasher({QStringLiteral("--json"), path, device.target()});
            QVERIFY2(run.finished, qPrintable(path));
            QCOMPARE(run.exitCode, 4);
            QCOMPARE(run.json().value("exitCode").toInt(), 4);
            QVERIFY(!run.json().value("error").toString().isEmpty());
        }
        QVERIFY(device.received.isEmpty());

        // A local port that is taken is a network error that names it.
        QUdpSocket taken;
        QVERIFY(taken.bind(QHostAddress::AnyIPv4, 0, QAbstractSocket::DontShareAddress));
        const QString port = QString::number(taken.localPort());
        const FlashRun run = runFlasher({QStringLiteral("--local-port"), port,
                                         QStringLiteral("--json"), image_, device.target()});
        QVERIFY(run.finished);
        QCOMPARE(run.exitCode, 5);
        QCOMPARE(run.host(0).value("result").toString(), QStringLiteral("NETWORK"));
        QVERIFY(run.host(0).value("reason").toString().contains(port));
    }

    void dryRunSendsOnlyInquiries()
    {
        ScriptedDevice device(bootloaderAnswer);
        const FlashRun run =
            runFlasher({QStringLiteral("--dry-run"), QStringLiteral("--inquiry-timeout"),
                        QStringLiteral("0.7"), QStringLiteral("--json"), image_, device.target()});
        QVERIFY(run.finished);
        QCOMPARE(run.exitCode, 0);
        QCoreApplication::processEvents(); // what the flasher sent last is on the socket
        QVERIFY(!device.received.isEmpty());
        QCOMPARE(device.received.count("BOOTi\r\n"), device.received.size());
        const QJsonObject json = run.json();
        QCOMPARE(json.value("dryRun").toBool(), true);
        QCOMPARE(json.value("lineCount").toInt(), 6);
        QCOMPARE(json.value("imageSha256").toString(),
                 QString::fromLatin1(
                     QCryptographicHash::hash(data_, QCryptographicHash::Sha256).toHex()));
        QCOMPARE(json.value("imageCrc32").toString(),
                 corvanel::image::hexAddress(corvanel::image::crc32(data_)));
        QCOMPARE(run.host(0).value("result").toString(), QStringLiteral("READY"));
        QCOMPARE(run.host(0).value("line").toInt(), 0);
        QCOMPARE(run.host(0).value("deviceVersion").toString(), QStringLiteral("SCRIPT"));
    }

    void reportThatCannotBeWritten_data()
    {
        QTest::addColumn<QString>("report");
        QTest::addColumn<bool>("sends");        // opened: the run goes ahead
        QTest::addColumn<int>("fileSizeLimit"); // bytes; 0: none
        QTest::newRow("folder missing: nothing sent")
            << dir_.filePath(QStringLiteral("missing/flash.jsonl")) << false << 0;
        QTest::newRow("a folder: nothing sent") << dir_.path() << false << 0;
#ifdef Q_OS_LINUX
        const QString fifo = dir_.filePath(QStringLiteral("report.fifo"));
        QVERIFY(::mkfifo(QFile::encodeName(fifo).constData(), 0600) == 0);
        QTest::newRow("a FIFO: refused at once, nothing sent") << fifo << false << 0;
        QTest::newRow("a device: nothing sent") << "/dev/full" << false << 0;
        // 900 bytes in the file, room for 124 of the record: it is cut short.
        QTest::newRow("file size limit: the board ends, the run fails")
            << writeFile(dir_, QStringLiteral("limited.jsonl"), QByteArray(899, 'x') + '\n') << true
            << 1024;
#endif
    }

    void reportThatCannotBeWritten()
    {
        QFETCH(QString, report);
        QFETCH(bool, sends);
        QFETCH(int, fileSizeLimit);
        ScriptedDevice device(bootloaderAnswer);
        const QStringList arguments{QStringLiteral("--local-port=0"),
                                    QStringLiteral("--report"),
                                    report,
                                    QStringLiteral("--json"),
                                    image_,
                                    device.target()};
        QProcess process;
        if (fileSizeLimit) {
            // Past the limit a write fails (and raises SIGXFSZ, which must not end the run).
            if (QStandardPaths::findExecutable(QStringLiteral("prlimit")).isEmpty())
                QSKIP("prlimit (util-linux) is needed");
            process.start(QStringLiteral("prlimit"),
                          QStringList{QStringLiteral("--fsize=%1").arg(fileSizeLimit),
                                      QStringLiteral("--"), QStringLiteral(CORVANEL_FLASH)} +
                              arguments);
        } else {
            process.start(QStringLiteral(CORVANEL_FLASH), arguments);
        }
        const FlashRun run = finishFlasher(process, 5000);
        QVERIFY(run.finished);
        QCOMPARE(run.exitCode, 4);
        QCOMPARE(run.json().value("exitCode").toInt(), 4);
        QVERIFY2(run.err.contains(QFile::encodeName(report)), run.err.constData());
        QCoreApplication::processEvents();
        QCOMPARE(device.received.isEmpty(), !sends);
        if (!sends)
            return;
        QCOMPARE(run.host(0).value("result").toString(), QStringLiteral("END"));
        if (!fileSizeLimit)
            return;
        // The record cut short is left alone; the next one begins on a line of its own.
        QCOMPARE(QFileInfo(report).size(), fileSizeLimit);
        QCOMPARE(runFlasher({QStringLiteral("--report"), report, image_, device.target()}).exitCode,
                 0);
        const QList<QByteArray> lines = readLines(report);
        QCOMPARE(lines.size(), 3);
        QCOMPARE(lines[1].size(), fileSizeLimit - 900);
        QCOMPARE(QJsonDocument::fromJson(lines[2]).object().value("result").toString(),
                 QStringLiteral("END"));
    }

    void runsAppendToOneReport()
    {
        // An earlier line stays; two runs at once, two boards each, write four
        // whole records after it.
        const QString report = writeFile(dir_, QStringLiteral("shared.jsonl"), "{\"earlier\":1}\n");
        std::vector<std::unique_ptr<ScriptedDevice>> devices;
        std::vector<std::unique_ptr<QProcess>> runs;
        QSet<int> ports;
        for (int run = 0; run < 2; ++run) {
            QStringList arguments{QStringLiteral("--report"), report, QStringLiteral("--station"),
                                  QStringLiteral("station %1").arg(run), image_};
            for (int board = 0; board < 2; ++board) {
                devices.push_back(std::make_unique<ScriptedDevice>(bootloaderAnswer));
                arguments << devices.back()->target();
                ports.insert(devices.back()->target().section(':', 1).toInt());
            }
            runs.push_back(startFlasher(arguments));
        }
        for (auto &process : runs)
            QCOMPARE(finishFlasher(*process).exitCode, 0);
        const QList<QByteArray> lines = readLines(report);
        QCOMPARE(lines.size(), 5);
        QCOMPARE(lines.front(), QByteArray("{\"earlier\":1}"));
        QSet<int> recorded;
        QSet<QString> stations;
        for (const QByteArray &line : lines.mid(1)) {
            QJsonParseError error{};
            const QJsonObject record = QJsonDocument::fromJson(line, &error).object();
            QVERIFY2(error.error == QJsonParseError::NoError, line.constData());
            QCOMPARE(record.value("result").toString(), QStringLiteral("END"));
            recorded.insert(record.value("port").toInt());
            stations.insert(record.value("station").toString());
        }
        QCOMPARE(recorded, ports);
        QCOMPARE(stations,
                 (QSet<QString>{QStringLiteral("station 0"), QStringLiteral("station 1")}));
    }

    void badUsage_data()
    {
        QTest::addColumn<QString>("arguments");
        QTest::newRow("nothing") << QString();
        QTest::newRow("no host") << QStringLiteral("x.hex");
        QTest::newRow("unknown option") << QStringLiteral("--fast x.hex 127.0.0.1");
        QTest::newRow("negative retries") << QStringLiteral("--retries -1 x.hex 127.0.0.1");
        QTest::newRow("timeout not a number")
            << QStringLiteral("--reply-timeout soon x.hex 127.0.0.1");
        QTest::newRow("zero timeout") << QStringLiteral("--inquiry-timeout 0 x.hex 127.0.0.1");
        QTest::newRow("bad port") << QStringLiteral("x.hex 127.0.0.1:70000");
        QTest::newRow("scan range wider than /16") << QStringLiteral("--scan 127.0.0.0/15");
        QTest::newRow("scan without a target") << QStringLiteral("--scan");
        QTest::newRow("same host twice")
            << QStringLiteral("--port 4000 x.hex 127.0.0.1 127.0.0.1:4000");
    }

    void badUsage()
    {
        QFETCH(QString, arguments);
        const FlashRun run = runFlasher(arguments.split(QLatin1Char(' '), Qt::SkipEmptyParts));
        QVERIFY(run.finished);
        QCOMPARE(run.exitCode, 2);
        QVERIFY2(run.err.contains("Try 'corvanel-flash --help'"), run.err.constData());
        QVERIFY(run.out.isEmpty());
    }

#ifdef Q_OS_UNIX
    void interruptStopsCleanlyWithASummary_data()
    {
        QTest::addColumn<int>("signal");
        QTest::addColumn<int>("exitCode"); // 128 + the signal, in the record as well
        QTest::newRow("Ctrl-C") << int(SIGINT) << 130;
        QTest::newRow("SIGTERM") << int(SIGTERM) << 143;
        QTest::newRow("SIGHUP: the terminal closed") << int(SIGHUP) << 129;
    }

    void interruptStopsCleanlyWithASummary()
    {
        QFETCH(int, signal);
        QFETCH(int, exitCode);
        const QString report = dir_.filePath(QStringLiteral("signal%1.jsonl").arg(signal));
        // Answers up to line 3, then goes quiet: the flasher waits on line 4.
        const QByteArray line4 = "BOOT" + lines_.at(3) + "\r\n";
        ScriptedDevice device(
            [&](const QByteArray &d) { return d == line4 ? QByteArray() : bootloaderAnswer(d); });
        // Attempts to spare: an interrupt must still not start another.
        auto flasher = startFlasher({QStringLiteral("--reply-timeout"), QStringLiteral("60"),
                                     QStringLiteral("--attempts"), QStringLiteral("3"),
                                     QStringLiteral("--report"), report, image_, device.target()});
        QTRY_VERIFY_WITH_TIMEOUT(device.received.contains(line4), 5000);
        ::kill(pid_t(flasher->processId()), signal);
        const FlashRun run = finishFlasher(*flasher, 5000);
        QVERIFY(run.finished);
        QCOMPARE(run.exitCode, exitCode);
        QCoreApplication::processEvents();
        QCOMPARE(device.received.count("BOOTi\r\n"), 1);
        QCOMPARE(device.received.last(), line4);
        QVERIFY2(run.out.contains("STOPPED"), run.out.constData());
        QVERIFY2(run.out.contains("interrupted at line 4 of 6 (download pass)"),
                 run.out.constData());
        QVERIFY(run.out.contains("exit code " + QByteArray::number(exitCode)));
        const QList<QByteArray> records = readLines(report);
        QCOMPARE(records.size(), 1);
        const QJsonObject record = QJsonDocument::fromJson(records[0]).object();
        QCOMPARE(record.value("result").toString(), QStringLiteral("STOPPED"));
        QCOMPARE(record.value("exitCode").toInt(), exitCode);
    }

    void closedOutputDoesNotStopTheTransfer()
    {
        // As "corvanel-flash ... 2>&1 | head -c 100": three boards, each answering
        // only its second inquiry (500 ms on), so the reader has long quit before
        // any line goes out; every write of progress and summary then fails.
        std::vector<std::unique_ptr<ScriptedDevice>> devices;
        QStringList arguments{QStringLiteral(CORVANEL_FLASH),
                              QStringLiteral("--local-port=0"),
                              QStringLiteral("--install"),
                              QStringLiteral("--report"),
                              dir_.filePath(QStringLiteral("piped.jsonl")),
                              image_};
        for (int i = 0; i < 3; ++i) {
            devices.push_back(std::make_unique<ScriptedDevice>(
                [inquiries = 0](const QByteArray &d) mutable -> QByteArray {
                    if (d == "BOOTi\r\n" && ++inquiries < 2)
                        return {};
                    return bootloaderAnswer(d);
                }));
            arguments << devices.back()->target();
        }
        const QString rc = dir_.filePath(QStringLiteral("piped.rc"));
        QProcess shell;
        shell.start(QStringLiteral("/bin/sh"),
                    QStringList{QStringLiteral("-c"),
                                QStringLiteral("rc=$1; shift; { \"$@\"; echo $? > \"$rc\"; } 2>&1 "
                                               "| head -c 100 > /dev/null"),
                                QStringLiteral("sh"), rc} +
                        arguments);
        const FlashRun run = finishFlasher(shell, 10000);
        QVERIFY(run.finished);
        QFile code(rc);
        QVERIFY(code.open(QIODevice::ReadOnly));
        QCOMPARE(code.readAll().trimmed(), QByteArray("0"));
        QCoreApplication::processEvents();
        const QList<QByteArray> records = readLines(arguments[4]);
        QCOMPARE(records.size(), 3);
        for (const auto &device : devices)
            QCOMPARE(device->received.last(), QByteArray("BOOTg\r\n"));
        for (const QByteArray &record : records) {
            QCOMPARE(QJsonDocument::fromJson(record).object().value("result").toString(),
                     QStringLiteral("END"));
        }
    }

    void writeHexToAReaderThatQuits()
    {
        // "--write-hex - IMAGE | head -1": past the pipe's buffer the reader
        // has quit; the rest is not written, nothing is said, and the exit
        // code is the run's.
        const QString image = writeFile(dir_, QStringLiteral("big.bin"), payload(1 << 18));
        const QString rc = dir_.filePath(QStringLiteral("hex.rc"));
        QProcess shell;
        shell.start(QStringLiteral("/bin/sh"),
                    {QStringLiteral("-c"),
                     QStringLiteral("{ \"$0\" --write-hex - --format bin --base-address 0 \"$1\" "
                                    "2>\"$2.err\"; echo $? >\"$2\"; } | head -1 >/dev/null"),
                     QStringLiteral(CORVANEL_FLASH), image, rc});
        QVERIFY(shell.waitForFinished(10000));
        QCOMPARE(readLines(rc), QList<QByteArray>{"0"});
        QCOMPARE(readLines(rc + QStringLiteral(".err")), QList<QByteArray>{});
    }
#endif

#ifdef Q_OS_LINUX
    void manyHostsKeepTheirTimeOut()
    {
        // 2000 silent loopback ports: more hosts than the 1000 random local
        // ports, so each takes one the system chooses, said once; every
        // time-out still holds within 10%.
        QByteArray hosts;
        for (int port = 20000; port < 22000; ++port)
            hosts += "127.0.0.1:" + QByteArray::number(port) + '\n';
        const QString file = writeFile(dir_, QStringLiteral("many.txt"), hosts);
        QProcess process;
        process.start(QStringLiteral(CORVANEL_FLASH),
                      {QStringLiteral("--inquiry-timeout"), QStringLiteral("2"),
                       QStringLiteral("--json"), QStringLiteral("--hosts"), file, image_});
        const FlashRun run = finishFlasher(process, 20000);
        QVERIFY(run.finished);
        QCOMPARE(run.exitCode, 3);
        QCOMPARE(run.err.count("every host uses a port the system chooses"), 1);
        const QJsonArray list = run.json().value("hosts").toArray();
        QCOMPARE(list.size(), 2000);
        for (const QJsonValue &host : list) {
            const QJsonObject h = host.toObject();
            QCOMPARE(h.value("result").toString(), QStringLiteral("TIMEOUT"));
            QVERIFY2(h.value("seconds").toDouble() <= 2.2,
                     qPrintable(QString::number(h.value("seconds").toDouble())));
        }
        QVERIFY2(run.ms < 5000, qPrintable(QString::number(run.ms)));

        // Past the open-file limit nothing is sent, and the limit is named.
        if (QStandardPaths::findExecutable(QStringLiteral("prlimit")).isEmpty())
            QSKIP("prlimit (util-linux) is needed");
        ScriptedDevice device(bootloaderAnswer);
        process.start(QStringLiteral("prlimit"),
                      {QStringLiteral("--nofile=64"), QStringLiteral("--"),
                       QStringLiteral(CORVANEL_FLASH), QStringLiteral("--hosts"), file, image_,
                       device.target()});
        const FlashRun refused = finishFlasher(process);
        QCOMPARE(refused.exitCode, 5);
        QVERIFY2(refused.err.contains("limit of 64 open files"), refused.err.constData());
        QCoreApplication::processEvents();
        QVERIFY(device.received.isEmpty());
    }
#endif

private:
    QTemporaryDir dir_;
    QList<QByteArray> lines_;
    QByteArray data_;
    QString image_;
};

QTEST_GUILESS_MAIN(TestFlashCli)
#include "test_flash_cli.moc"
