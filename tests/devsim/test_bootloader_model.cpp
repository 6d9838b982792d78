// The simulated bootloader on its own: record checks, the two passes (the
// verify pass must repeat the download), the summary, fault options, and the
// server's wire faults over loopback.

#include "devsim/devsim_test_support.h"
#include "image/image_figures.h"
#include "tools/devsim/bootloader_model.h"
#include "tools/devsim/devsim_server.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>

using namespace Qt::StringLiterals;
using namespace corvanel;
using namespace corvanel::devsim;
using namespace corvanel::testing;
using Replies = QList<QByteArray>;

namespace {

QByteArray reply(BootloaderModel &model, const QByteArray &line)
{
    return model.handle(bootMessage(line)).reply;
}

QByteArray verifyLine(QByteArray line)
{
    return line.replace(':', '#');
}

// Download and verify `lines` through the model, each record `times` times;
// the replies in order.
Replies runPasses(BootloaderModel &model, const QList<QByteArray> &lines, int times = 1)
{
    Replies replies;
    for (const bool verify : {false, true}) {
        for (const QByteArray &line : lines) {
            for (int i = 0; i < times; ++i)
                replies.append(reply(model, verify ? verifyLine(line) : line));
        }
    }
    return replies;
}

} // namespace

class TestBootloaderModel : public QObject {
    Q_OBJECT
private slots:
    void replies_data()
    {
        QTest::addColumn<QByteArray>("received");
        QTest::addColumn<QByteArray>("answer");
        const auto row = [](const char *name, const QByteArray &received, const char *answer) {
            QTest::newRow(name) << received << QByteArray(answer) + "\r\n";
        };
        const QByteArray good = hexRecord(0x00, 0x0100, QByteArray::fromHex("0102030405"));
        QByteArray badSum = good;
        badSum[badSum.size() - 1] = badSum.endsWith('0') ? '1' : '0';
        row("good", bootMessage(good), "OK");
        row("lower case", bootMessage(good.toLower()), "OK");
        row("checksum", bootMessage(badSum), "ERROR");
        // The count says 6 but five bytes follow; the checksum still adds up.
        row("byte count",
            bootMessage(hexRecord(0, 0, QByteArray::fromHex("0102030405")).replace(1, 2, "06")),
            "ERROR");
        row("odd digits", bootMessage(good.chopped(1)), "ERROR");
        row("not hex", bootMessage(QByteArray(good).replace(3, 1, "G")), "ERROR");
        row("too short", bootMessage(":00000001"), "ERROR");
        row("unknown type", bootMessage(hexRecord(0x06, 0, {})), "ERROR");
        row("type 04 length", bootMessage(hexRecord(0x04, 0, QByteArray(4, 0))), "ERROR");
        row("type 01 with data", bootMessage(hexRecord(0x01, 0, QByteArray(1, 0))), "ERROR");
        row("start address 05", bootMessage(hexRecord(0x05, 0, QByteArray(4, 1))), "OK");
        row("start address 03", bootMessage(hexRecord(0x03, 0, QByteArray(4, 1))), "OK");
        row("inquiry", "BOOTi\r\n", "VER=DEVSIM 1.0");
        row("no line end", "BOOTi", "ERROR");
        row("no BOOT", "HELLO\r\n", "ERROR");
        row("unknown command", "BOOTx\r\n", "ERROR");
        row("binary", QByteArray("\0\xff", 2), "ERROR");
        row("empty", "", "ERROR");
    }

    void replies()
    {
        QFETCH(QByteArray, received);
        QFETCH(QByteArray, answer);
        BootloaderModel model;
        QCOMPARE(model.handle(received).reply, answer);
        if (answer != "OK\r\n")
            QCOMPARE(model.memory().size(), 0); // a refused record programs nothing
    }

    void wholeImageIsStoredVerifiedAndSummarised()
    {
        BootloaderModel model;
        QCOMPARE(runPasses(model, smallImage(4)),
                 Replies({"OK\r\n", "OK\r\n", "OK\r\n", "OK\r\n", "DOWNLOAD\r\n", "OK\r\n",
                          "OK\r\n", "OK\r\n", "OK\r\n", "DOWNLOAD\r\n"}));
        QByteArray image;
        for (int i = 0; i < 64; ++i)
            image.append(char(i));
        QCOMPARE(
            summaryLine(model.summary()),
            u"summary records=5 data-records=4 bytes=64 low=0x00000000 high=0x0000003F "
            u"crc32=%1 download=complete verify=passed download-errors=0 verify-errors=0"_s.arg(
                image::hexAddress(image::crc32(image))));
        QVERIFY(summaryJson(model.summary()).contains("\"verified\": true"));
    }

    void extendedAddresses()
    {
        BootloaderModel model;
        // Linear: upper 16 bits from type 04.
        QCOMPARE(reply(model, hexRecord(0x04, 0, QByteArray::fromHex("0800"))), "OK\r\n");
        QCOMPARE(reply(model, hexRecord(0x00, 0xFFFF, QByteArray::fromHex("AABB"))), "OK\r\n");
        QCOMPARE(model.memory().read(0x0800FFFF), std::optional<quint8>(0xAA));
        QCOMPARE(model.memory().read(0x08010000), std::optional<quint8>(0xBB));
        // Segmented: offsets wrap inside the 64 KiB segment.
        QCOMPARE(reply(model, hexRecord(0x02, 0, QByteArray::fromHex("1000"))), "OK\r\n");
        QCOMPARE(reply(model, hexRecord(0x00, 0xFFFF, QByteArray::fromHex("CCDD"))), "OK\r\n");
        QCOMPARE(model.memory().read(0x1FFFF), std::optional<quint8>(0xCC));
        QCOMPARE(model.memory().read(0x10000), std::optional<quint8>(0xDD));
        QCOMPARE(model.summary().lowAddress, 0x10000u);
        QCOMPARE(model.summary().highAddress, 0x08010000u);
    }

    void verifyMismatchFailsThePass()
    {
        const QList<QByteArray> lines = smallImage(2);
        {
            // No verify before a whole download.
            BootloaderModel model;
            QCOMPARE(reply(model, verifyLine(lines[0])), "ERROR\r\n");
            reply(model, lines[0]);
            QCOMPARE(reply(model, verifyLine(lines[0])), "ERROR\r\n");
            QVERIFY(!model.summary().downloadComplete);
        }
        BootloaderModel model;
        for (const QByteArray &line : lines)
            reply(model, line);
        QCOMPARE(reply(model, verifyLine(lines[0])), "OK\r\n");
        QCOMPARE(reply(model, hexRecord(0x00, 16, QByteArray(16, '\x55'), '#')), "ERROR\r\n");
        // The end of a pass that did not match is not "DOWNLOAD".
        QCOMPARE(reply(model, verifyLine(lines[2])), "ERROR\r\n");
        QVERIFY(!model.summary().verified);
        QCOMPARE(model.summary().verifyErrors, 1);

        // A whole new verify pass that matches puts it right.
        QCOMPARE(runPasses(model, lines).last(), "DOWNLOAD\r\n");
        QVERIFY(model.summary().verified);
    }

    void verifyPassMustRepeatTheDownload_data()
    {
        QTest::addColumn<Replies>("messages");
        QTest::addColumn<Replies>("answers");
        QTest::addColumn<int>("verifyErrors");
        const QList<QByteArray> image = smallImage(5);
        const auto v = [&image](int index) { return bootMessage(verifyLine(image[index])); };
        // Record 1 (from 0) as another record would say it: other bytes, or
        // only its first half, whose bytes the memory does hold.
        const QByteArray changed = bootMessage(hexRecord(0x00, 16, QByteArray(16, '\x55'), '#'));
        const QByteArray halved = bootMessage(hexRecord(0x00, 16, image[1].mid(9, 16), '#'));
        const QByteArray ok = "OK\r\n", error = "ERROR\r\n", end = "DOWNLOAD\r\n";

        QTest::newRow("clean, record 2 sent again")
            << Replies{v(0), v(1), v(2), v(2), v(3), v(4), v(5)}
            << Replies{ok, ok, ok, ok, ok, ok, end} << 0;
        QTest::newRow("started again after BOOTi")
            << Replies{v(0), v(1), "BOOTi\r\n", v(0), v(1), v(2), v(3), v(4), v(5)}
            << Replies{ok, ok, "VER=DEVSIM 1.0\r\n", ok, ok, ok, ok, ok, end} << 0;
        QTest::newRow("record 4 left out")
            << Replies{v(0), v(1), v(2), v(3), v(5)} << Replies{ok, ok, ok, ok, error} << 1;
        QTest::newRow("record 2 in place of record 4")
            << Replies{v(0), v(1), v(2), v(3), v(2), v(5)} << Replies{ok, ok, ok, ok, error, error}
            << 1;
        QTest::newRow("record changed") << Replies{v(0), changed, v(2), v(3), v(4), v(5)}
                                        << Replies{ok, error, ok, ok, ok, error} << 1;
        QTest::newRow("record halved, bytes stored")
            << Replies{v(0), halved, v(2), v(3), v(4), v(5)}
            << Replies{ok, error, ok, ok, ok, error} << 1;
        QTest::newRow("refused record sent again counts once")
            << Replies{v(0), changed, changed, v(2), v(3), v(4), v(5)}
            << Replies{ok, error, error, ok, ok, ok, error} << 1;
    }

    void verifyPassMustRepeatTheDownload()
    {
        QFETCH(Replies, messages);
        QFETCH(Replies, answers);
        QFETCH(int, verifyErrors);
        BootloaderModel model;
        for (const QByteArray &line : smallImage(5))
            reply(model, line);
        Replies got;
        for (const QByteArray &message : messages)
            got.append(model.handle(message).reply);
        QCOMPARE(got, answers);
        const bool verified = verifyErrors == 0;
        QCOMPARE(model.summary().verified, verified);
        QVERIFY(summaryLine(model.summary())
                    .endsWith(u"verify=%1 download-errors=0 verify-errors=%2"_s.arg(
                        verified ? u"passed"_s : u"failed"_s, QString::number(verifyErrors))));
        QCOMPARE(model.handle("BOOTg\r\n").action, BootloaderModel::Action::Install);
    }

    void errorAtLineRefusesThatLineOnce()
    {
        BootloaderModel model(ModelOptions{.errorAtLine = 2});
        const QList<QByteArray> lines = smallImage(3);
        const Replies replies = runPasses(model, lines);
        QCOMPARE(replies[1], "ERROR\r\n");
        QCOMPARE(replies[3], "DOWNLOAD\r\n");
        // The refused line was never programmed, so its verify fails.
        QCOMPARE(replies[5], "ERROR\r\n");
        QCOMPARE(replies.last(), "ERROR\r\n");
        QVERIFY(!model.summary().verified);

        // Only once: the next download of the same image goes through.
        QCOMPARE(runPasses(model, lines).last(), "DOWNLOAD\r\n");
        QVERIFY(model.summary().verified);

        BootloaderModel okAtEof(ModelOptions{.okAtEof = true});
        QCOMPARE(runPasses(okAtEof, smallImage(1)), Replies(4, "OK\r\n"));
    }

    void newDownloadStartsANewImage()
    {
        BootloaderModel model;
        runPasses(model, smallImage(4));
        QCOMPARE(model.summary().bytes, 64);
        // After a finished pass the next download record starts over.
        QCOMPARE(reply(model, hexRecord(0x00, 0x4000, QByteArray(8, '\x11'))), "OK\r\n");
        QCOMPARE(model.summary().bytes, 8);
        QVERIFY(!model.summary().verified);
        // So does an inquiry in the middle of a download.
        QCOMPARE(model.handle("BOOTi\r\n").reply.left(4), "VER=");
        QCOMPARE(reply(model, hexRecord(0x00, 0, QByteArray(2, '\x22'))), "OK\r\n");
        QCOMPARE(model.summary().bytes, 2);
        QCOMPARE(model.downloadLine(), 1);
    }

    void recordSentAgainCountsOnce()
    {
        // A lost reply makes the tool send the same record again: the device
        // answers it as before without taking it twice, in both passes and for
        // the end record too.
        BootloaderModel model;
        const QList<QByteArray> image = smallImage(3);
        const Replies replies = runPasses(model, image, 2);
        QCOMPARE(replies.count("DOWNLOAD\r\n"), 4);
        QCOMPARE(replies.count("ERROR\r\n"), 0);
        QVERIFY(model.summary().verified);
        QCOMPARE(model.summary().records, image.size());

        // Only the record just taken counts as sent again; an inquiry in
        // between makes it the start of a new image.
        QCOMPARE(model.handle("BOOTi\r\n").reply.left(4), "VER=");
        QCOMPARE(reply(model, image.last()), "DOWNLOAD\r\n");
        QCOMPARE(model.summary().records, 1);
    }

    void commandLine()
    {
        const auto parse = [](const QString &arguments) {
            return parseCommandLine(u"corvanel-devsim"_s.split(' ') +
                                    arguments.split(' ', Qt::SkipEmptyParts));
        };
        const ParsedCommandLine defaults = parse({});
        QVERIFY(defaults.options);
        QCOMPARE(defaults.options->address, QHostAddress(u"127.0.0.1"_s));
        QCOMPARE(defaults.options->port, quint16(111));

        const ParsedCommandLine all =
            parse(u"--address 127.0.0.3 --port 0 --drop-every 7 --drop-rate 0.25 --seed 9 "
                  u"--error-at 12 --delay-ms 5 --ok-at-eof --duplicate --idle-timeout 30 "
                  u"--summary-json out.json --drop-reply 4 --late-copy 50 --late-copy-token "
                  u"DOWNLOAD --reorder 20 --fake-download 3 --late-answer 6:800 --boards 3 "
                  u"--fail-board 2 --swap-time 0.25"_s);
        QVERIFY2(all.options, qPrintable(all.message));
        const ServerOptions &o = *all.options;
        QCOMPARE(o.address, QHostAddress(u"127.0.0.3"_s));
        QCOMPARE(QList<int>({o.dropEvery, o.dropReply, int(o.seed), o.model.errorAtLine, o.delayMs,
                             o.idleTimeoutSeconds}),
                 QList<int>({7, 4, 9, 12, 5, 30}));
        QCOMPARE(o.dropRate, 0.25);
        QVERIFY(o.model.okAtEof && o.duplicate);
        QCOMPARE(o.summaryJson, u"out.json"_s);
        QCOMPARE(QList<int>({*o.lateCopyMs, o.reorderMs, o.fakeDownloadLine, o.lateAnswerLine,
                             o.lateAnswerMs}),
                 QList<int>({50, 20, 3, 6, 800}));
        QCOMPARE(o.lateCopyToken, "DOWNLOAD");
        QCOMPARE(QList<int>({o.boards, o.failBoard, o.swapTimeMs}), QList<int>({3, 2, 250}));

        // Only loopback may be bound; bad values are refused.
        QVERIFY(!isAllowedBindAddress(QHostAddress(QHostAddress::AnyIPv4)));
        QVERIFY(isAllowedBindAddress(QHostAddress(u"127.255.0.1"_s)));
        for (const char *bad :
             {"--address 0.0.0.0", "--address ::1", "--address localhost", "--address 127.0.0.256",
              "--port 65536", "--drop-rate 1.5", "--drop-every 0", "--error-at x", "--bogus",
              "stray", "--late-copy-token OK", "--late-copy -1", "--reorder 600001",
              "--fake-download 0", "--late-answer 4", "--late-answer 0:5", "--late-answer 4:x"}) {
            const ParsedCommandLine refused = parse(QLatin1String(bad));
            QVERIFY2(refused.isError && !refused.options, bad);
        }
        // The production line's options: only with --boards, only in range.
        for (const char *bad :
             {"--boards 0", "--fail-board 1", "--boards 2 --fail-board 3", "--swap-time 1",
              "--boards 2 --swap-time -1", "--boards 2 --swap-time x"})
            QVERIFY2(parse(QLatin1String(bad)).isError, bad);
        const ParsedCommandLine help = parse(u"--help"_s);
        QVERIFY(!help.options && !help.isError && help.message.contains("--late-answer N:D"));
    }

    void serverDropsDuplicatesAndDelays()
    {
        ServerOptions options;
        options.port = 0;
        options.dropEvery = 3;
        options.duplicate = true;
        options.delayMs = 150;
        DevsimServer server(options);
        QCOMPARE(server.start(), std::nullopt);
        QVERIFY(server.address().isLoopback());

        LoopbackPeer client;
        QSignalSpy readable(&client.socket, &QUdpSocket::readyRead);
        QElapsedTimer clock;
        clock.start();
        for (int i = 0; i < 3; ++i)
            client.sendTo(server.port(), "BOOTi\r\n");
        // Replies 1 and 2 come twice each; reply 3 is dropped.
        QTRY_VERIFY_WITH_TIMEOUT(client.has(4), 5000);
        QVERIFY(clock.elapsed() >= 140);
        readable.wait(300); // the dropped reply must not turn up late
        client.has(0);
        QCOMPARE(client.received, Replies(4, "VER=DEVSIM 1.0\r\n"));
        QCOMPARE(server.datagramsReceived(), 3);
        QCOMPARE(server.repliesDropped(), 1);

        // "BOOTg" ends the run with a failure code when nothing was verified.
        QSignalSpy installed(&server, &DevsimServer::installed);
        client.sendTo(server.port(), "BOOTg\r\n");
        QVERIFY(installed.wait(5000));
        QCOMPARE(installed.first().first().toInt(), 1);
    }

    void serverPlaysAHostileNetwork_data()
    {
        QTest::addColumn<QString>("arguments");
        QTest::addColumn<Replies>("messages");
        QTest::addColumn<Replies>("answers"); // in the order they arrive
        QTest::addColumn<int>("prompt");      // answers that come at once
        QTest::addColumn<int>("lateMs");      // the others no sooner than this
        const QList<QByteArray> image = smallImage(2);
        const auto d = [&image](int index) { return bootMessage(image[index]); };
        const auto v = [&image](int index) { return bootMessage(verifyLine(image[index])); };
        const QByteArray ok = "OK\r\n", end = "DOWNLOAD\r\n";

        QTest::newRow("fake DOWNLOAD before record 2 of each pass")
            << u"--fake-download 2"_s << Replies{d(0), d(1), d(2), v(0), v(1), v(2)}
            << Replies{ok, end, ok, end, ok, end, ok, end} << 8 << 0;
        QTest::newRow("late copy of DOWNLOAD only")
            << u"--late-copy 400 --late-copy-token DOWNLOAD"_s << Replies{d(0), d(1), d(2)}
            << Replies{ok, ok, end, end} << 3 << 400;
        QTest::newRow("late answer after the resent record's")
            << u"--late-answer 2:400"_s << Replies{d(0), d(1), d(1), d(2)}
            << Replies{ok, ok, end, ok} << 3 << 400;
        // Seed 7 holds the three replies 221, 188 and 53 ms.
        QTest::newRow("reordered") << u"--reorder 300 --seed 7"_s << Replies{d(0), d(1), d(2)}
                                   << Replies{end, ok, ok} << 0 << 0;
    }

    void serverPlaysAHostileNetwork()
    {
        QFETCH(QString, arguments);
        QFETCH(Replies, messages);
        QFETCH(Replies, answers);
        QFETCH(int, prompt);
        QFETCH(int, lateMs);
        const ParsedCommandLine parsed = parseCommandLine(
            u"corvanel-devsim --port 0 "_s.split(' ', Qt::SkipEmptyParts) + arguments.split(' '));
        QVERIFY2(parsed.options, qPrintable(parsed.message));
        DevsimServer server(*parsed.options);
        QCOMPARE(server.start(), std::nullopt);

        LoopbackPeer client;
        QSignalSpy readable(&client.socket, &QUdpSocket::readyRead);
        QElapsedTimer clock;
        clock.start();
        for (const QByteArray &message : messages)
            client.sendTo(server.port(), message);
        if (prompt > 0) {
            QTRY_VERIFY_WITH_TIMEOUT(client.has(prompt), 5000);
            QCOMPARE(client.received.size(), prompt);
            QVERIFY(clock.elapsed() < lateMs || lateMs == 0);
        }
        QTRY_VERIFY_WITH_TIMEOUT(client.has(answers.size()), 5000);
        QVERIFY(clock.elapsed() >= lateMs);
        readable.wait(200); // nothing more may come
        client.has(0);
        QCOMPARE(client.received, answers);
    }
};

QTEST_GUILESS_MAIN(TestBootloaderModel)
#include "test_bootloader_model.moc"
