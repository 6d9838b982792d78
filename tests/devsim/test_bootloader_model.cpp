// The simulated bootloader on its own: record checks, the two passes, the
// summary, fault options, and the server's wire faults over loopback.

#include "devsim/hex_records.h"
#include "tools/devsim/bootloader_model.h"
#include "tools/devsim/devsim_server.h"

#include <QElapsedTimer>
#include <QNetworkDatagram>
#include <QSignalSpy>
#include <QTest>
#include <QUdpSocket>

using namespace corvanel;
using namespace corvanel::devsim;
using corvanel::testing::eofRecord;
using corvanel::testing::hexRecord;
using corvanel::testing::smallImage;

namespace {

QByteArray message(const QByteArray &line)
{
    return "BOOT" + line + "\r\n";
}

QByteArray verifyLine(QByteArray line)
{
    return line.replace(':', '#');
}

QByteArray reply(BootloaderModel &model, const QByteArray &line)
{
    return model.handle(message(line)).reply;
}

// Download and verify `lines` through the model; the replies in order.
QList<QByteArray> runPasses(BootloaderModel &model, const QList<QByteArray> &lines)
{
    QList<QByteArray> replies;
    for (const QByteArray &line : lines)
        replies.append(reply(model, line));
    for (const QByteArray &line : lines)
        replies.append(reply(model, verifyLine(line)));
    return replies;
}

} // namespace

class TestBootloaderModel : public QObject {
    Q_OBJECT
private slots:
    void crcMatchesTheStandardCheckValue();
    void recordChecks_data();
    void recordChecks();
    void messagesOutsideTheRecords();
    void wholeImageIsStoredVerifiedAndSummarised();
    void extendedAddresses();
    void verifyMismatchFailsThePass();
    void verifyWithoutDownloadIsRefused();
    void errorAtLineRefusesThatLineOnce();
    void okAtEofAnswersPlainOk();
    void newDownloadStartsANewImage();
    void recordSentAgainCountsOnce();
    void commandLine();
    void serverDropsDuplicatesAndDelays();
};

void TestBootloaderModel::crcMatchesTheStandardCheckValue()
{
    QCOMPARE(crc32("123456789"), 0xCBF43926u);
    QCOMPARE(crc32(""), 0u);
    // Fed in pieces, the same value.
    QCOMPARE(crc32("6789", crc32("12345")), 0xCBF43926u);
}

void TestBootloaderModel::recordChecks_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QByteArray>("expected");

    const QByteArray good = hexRecord(0x00, 0x0100, QByteArray::fromHex("0102030405"));
    QTest::newRow("good") << good << QByteArray("OK\r\n");
    QTest::newRow("lower case") << QByteArray(good).toLower() << QByteArray("OK\r\n");
    QByteArray badSum = good;
    badSum[badSum.size() - 1] = badSum.endsWith('0') ? '1' : '0';
    QTest::newRow("checksum") << badSum << QByteArray("ERROR\r\n");
    // The count says 6 but five bytes follow; the checksum still adds up.
    QTest::newRow("byte count")
        << hexRecord(0x00, 0, QByteArray::fromHex("0102030405")).replace(1, 2, "06")
        << QByteArray("ERROR\r\n");
    QTest::newRow("odd digits") << good.chopped(1) << QByteArray("ERROR\r\n");
    QTest::newRow("not hex") << QByteArray(good).replace(3, 1, "G") << QByteArray("ERROR\r\n");
    QTest::newRow("too short") << QByteArray(":00000001") << QByteArray("ERROR\r\n");
    QTest::newRow("unknown type") << hexRecord(0x06, 0, {}) << QByteArray("ERROR\r\n");
    QTest::newRow("type 04 length")
        << hexRecord(0x04, 0, QByteArray::fromHex("00000000")) << QByteArray("ERROR\r\n");
    QTest::newRow("type 01 with data")
        << hexRecord(0x01, 0, QByteArray::fromHex("00")) << QByteArray("ERROR\r\n");
    QTest::newRow("start address 05")
        << hexRecord(0x05, 0, QByteArray::fromHex("00001234")) << QByteArray("OK\r\n");
    QTest::newRow("start address 03")
        << hexRecord(0x03, 0, QByteArray::fromHex("12340000")) << QByteArray("OK\r\n");
}

void TestBootloaderModel::recordChecks()
{
    QFETCH(QByteArray, line);
    QFETCH(QByteArray, expected);
    BootloaderModel model;
    QCOMPARE(reply(model, line), expected);
    // A refused record programs nothing.
    if (expected != "OK\r\n")
        QCOMPARE(model.memory().size(), 0);
}

void TestBootloaderModel::messagesOutsideTheRecords()
{
    BootloaderModel model;
    QCOMPARE(model.handle("BOOTi\r\n").reply, QByteArray("VER=DEVSIM 1.0\r\n"));
    QVERIFY(model.handle("BOOTg\r\n").action == BootloaderModel::Action::Install);
    QCOMPARE(model.handle("BOOTi").reply, QByteArray("ERROR\r\n")); // no line end
    QCOMPARE(model.handle("HELLO\r\n").reply, QByteArray("ERROR\r\n"));
    QCOMPARE(model.handle("BOOTx\r\n").reply, QByteArray("ERROR\r\n"));
    QCOMPARE(model.handle(QByteArray("\0\xff", 2)).reply, QByteArray("ERROR\r\n"));
    QCOMPARE(model.handle("").reply, QByteArray("ERROR\r\n"));
}

void TestBootloaderModel::wholeImageIsStoredVerifiedAndSummarised()
{
    BootloaderModel model;
    const QList<QByteArray> lines = smallImage(4);
    const QList<QByteArray> replies = runPasses(model, lines);
    QCOMPARE(replies, (QList<QByteArray>{"OK\r\n", "OK\r\n", "OK\r\n", "OK\r\n", "DOWNLOAD\r\n",
                                         "OK\r\n", "OK\r\n", "OK\r\n", "OK\r\n", "DOWNLOAD\r\n"}));

    QByteArray image;
    for (int i = 0; i < 64; ++i)
        image.append(static_cast<char>(i));
    const ImageSummary s = model.summary();
    QCOMPARE(s.records, 5);
    QCOMPARE(s.dataRecords, 4);
    QCOMPARE(s.bytes, 64);
    QCOMPARE(s.lowAddress, 0u);
    QCOMPARE(s.highAddress, 63u);
    QCOMPARE(s.crc32, crc32(image));
    QVERIFY(s.downloadComplete);
    QVERIFY(s.verified);
    QVERIFY(summaryLine(s).contains(QStringLiteral("crc32=") + hex32(crc32(image))));
    QVERIFY(summaryJson(s).contains("\"verified\": true"));
}

void TestBootloaderModel::extendedAddresses()
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

void TestBootloaderModel::verifyMismatchFailsThePass()
{
    BootloaderModel model;
    const QList<QByteArray> lines = smallImage(2);
    for (const QByteArray &line : lines)
        reply(model, line);
    QCOMPARE(reply(model, verifyLine(lines[0])), "OK\r\n");
    const QByteArray other = hexRecord(0x00, 16, QByteArray(16, '\x55'), '#');
    QCOMPARE(reply(model, other), "ERROR\r\n");
    // The end of a pass that did not match is not "DOWNLOAD".
    QCOMPARE(reply(model, eofRecord('#')), "ERROR\r\n");
    QVERIFY(!model.summary().verified);
    QCOMPARE(model.summary().verifyErrors, 1);

    // A whole new verify pass that matches puts it right.
    QCOMPARE(runPasses(model, lines).last(), "DOWNLOAD\r\n");
    QVERIFY(model.summary().verified);
}

void TestBootloaderModel::verifyWithoutDownloadIsRefused()
{
    BootloaderModel model;
    QCOMPARE(reply(model, verifyLine(smallImage(1)[0])), "ERROR\r\n");
    // An unfinished download cannot be verified either.
    reply(model, smallImage(1)[0]);
    QCOMPARE(reply(model, verifyLine(smallImage(1)[0])), "ERROR\r\n");
    QVERIFY(!model.summary().downloadComplete);
}

void TestBootloaderModel::errorAtLineRefusesThatLineOnce()
{
    ModelOptions options;
    options.errorAtLine = 2;
    BootloaderModel model(options);
    const QList<QByteArray> lines = smallImage(3);
    const QList<QByteArray> replies = runPasses(model, lines);
    QCOMPARE(replies[1], "ERROR\r\n");
    QCOMPARE(replies[3], "DOWNLOAD\r\n");
    // The refused line was never programmed, so its verify fails.
    QCOMPARE(replies[5], "ERROR\r\n");
    QCOMPARE(replies.last(), "ERROR\r\n");
    QVERIFY(!model.summary().verified);

    // Only once: the next download of the same image goes through.
    QCOMPARE(runPasses(model, lines).last(), "DOWNLOAD\r\n");
    QVERIFY(model.summary().verified);
}

void TestBootloaderModel::okAtEofAnswersPlainOk()
{
    ModelOptions options;
    options.okAtEof = true;
    BootloaderModel model(options);
    const QList<QByteArray> replies = runPasses(model, smallImage(1));
    QCOMPARE(replies, (QList<QByteArray>{"OK\r\n", "OK\r\n", "OK\r\n", "OK\r\n"}));
}

void TestBootloaderModel::newDownloadStartsANewImage()
{
    BootloaderModel model;
    runPasses(model, smallImage(4));
    QCOMPARE(model.summary().bytes, 64);
    // After a finished pass the next download record starts over.
    const QByteArray lone = hexRecord(0x00, 0x4000, QByteArray(8, '\x11'));
    QCOMPARE(reply(model, lone), "OK\r\n");
    QCOMPARE(model.summary().bytes, 8);
    QVERIFY(!model.summary().verified);
    // So does an inquiry in the middle of a download.
    QCOMPARE(model.handle("BOOTi\r\n").reply.left(4), "VER=");
    QCOMPARE(reply(model, hexRecord(0x00, 0, QByteArray(2, '\x22'))), "OK\r\n");
    QCOMPARE(model.summary().bytes, 2);
    QCOMPARE(model.downloadLine(), 1);
}

void TestBootloaderModel::recordSentAgainCountsOnce()
{
    // A lost reply makes the tool send the same record again: the device
    // answers it as before without taking it twice, in both passes and for
    // the end record too.
    BootloaderModel model;
    const QList<QByteArray> image = smallImage(3);
    QList<QByteArray> replies;
    for (const QByteArray &line : image) {
        replies.append(reply(model, line));
        replies.append(reply(model, line));
    }
    for (const QByteArray &line : image) {
        replies.append(reply(model, verifyLine(line)));
        replies.append(reply(model, verifyLine(line)));
    }
    QCOMPARE(replies.count("DOWNLOAD\r\n"), 4);
    QCOMPARE(replies.count("ERROR\r\n"), 0);
    QVERIFY(model.summary().verified);
    QCOMPARE(model.summary().records, image.size());

    // Only the record just taken counts as sent again; an inquiry in between
    // makes it the start of a new image.
    QCOMPARE(model.handle("BOOTi\r\n").reply.left(4), "VER=");
    QCOMPARE(reply(model, image.last()), "DOWNLOAD\r\n");
    QCOMPARE(model.summary().records, 1);
}

void TestBootloaderModel::commandLine()
{
    const auto parse = [](QStringList arguments) {
        arguments.prepend(QStringLiteral("corvanel-devsim"));
        return parseCommandLine(arguments);
    };
    const ParsedCommandLine defaults = parse({});
    QVERIFY(defaults.options);
    QCOMPARE(defaults.options->address, QHostAddress(QStringLiteral("127.0.0.1")));
    QCOMPARE(defaults.options->port, quint16(111));

    const ParsedCommandLine all =
        parse({"--address",      "127.0.0.3", "--port",         "0",
               "--drop-every",   "7",         "--drop-rate",    "0.25",
               "--seed",         "9",         "--error-at",     "12",
               "--delay-ms",     "5",         "--ok-at-eof",    "--duplicate",
               "--idle-timeout", "30",        "--summary-json", "out.json",
               "--drop-reply",   "4"});
    QVERIFY2(all.options, qPrintable(all.message));
    QCOMPARE(all.options->address, QHostAddress(QStringLiteral("127.0.0.3")));
    QCOMPARE(all.options->dropEvery, 7);
    QCOMPARE(all.options->dropReply, 4);
    QCOMPARE(all.options->dropRate, 0.25);
    QCOMPARE(all.options->seed, 9u);
    QCOMPARE(all.options->model.errorAtLine, 12);
    QCOMPARE(all.options->delayMs, 5);
    QVERIFY(all.options->model.okAtEof && all.options->duplicate);
    QCOMPARE(all.options->idleTimeoutSeconds, 30);
    QCOMPARE(all.options->summaryJson, QStringLiteral("out.json"));

    // Only loopback may be bound.
    for (const char *address : {"0.0.0.0", "::1", "localhost", "127.0.0.256"}) {
        const ParsedCommandLine refused = parse({"--address", address});
        QVERIFY2(!refused.options && refused.isError, address);
    }
    QVERIFY(!isAllowedBindAddress(QHostAddress(QHostAddress::AnyIPv4)));
    QVERIFY(isAllowedBindAddress(QHostAddress(QStringLiteral("127.255.0.1"))));

    for (const QStringList &bad : {QStringList{"--port", "65536"},
                                   {"--drop-rate", "1.5"},
                                   {"--drop-every", "0"},
                                   {"--error-at", "x"},
                                   {"--bogus"},
                                   {"stray"}}) {
        QVERIFY2(parse(bad).isError, qPrintable(bad.join(' ')));
    }

    const ParsedCommandLine help = parse({"--help"});
    QVERIFY(!help.options && !help.isError);
    for (const char *option : {"--address", "--port", "--drop-every", "--drop-reply", "--drop-rate",
                               "--seed", "--error-at", "--delay-ms", "--ok-at-eof", "--duplicate",
                               "--idle-timeout", "--summary-json", "--verbose", "--help"}) {
        QVERIFY2(help.message.contains(QLatin1String(option)), option);
    }
}

void TestBootloaderModel::serverDropsDuplicatesAndDelays()
{
    ServerOptions options;
    options.port = 0;
    options.dropEvery = 3;
    options.duplicate = true;
    options.delayMs = 150;
    DevsimServer server(options);
    QCOMPARE(server.start(), std::nullopt);
    QVERIFY(server.address().isLoopback());

    QUdpSocket client;
    QVERIFY(client.bind(QHostAddress::LocalHost, 0));
    QSignalSpy readable(&client, &QUdpSocket::readyRead);
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < 3; ++i)
        client.writeDatagram(QByteArray("BOOTi\r\n"), QHostAddress::LocalHost, server.port());

    // Replies 1 and 2 come twice each; reply 3 is dropped.
    QList<QByteArray> replies;
    QTRY_VERIFY_WITH_TIMEOUT(
        [&] {
            while (client.hasPendingDatagrams())
                replies.append(client.receiveDatagram().data());
            return replies.size() >= 4;
        }(),
        5000);
    QVERIFY(clock.elapsed() >= 140);
    readable.wait(300); // the dropped reply must not turn up late
    while (client.hasPendingDatagrams())
        replies.append(client.receiveDatagram().data());
    QCOMPARE(replies.size(), 4);
    for (const QByteArray &r : replies)
        QCOMPARE(r, QByteArray("VER=DEVSIM 1.0\r\n"));
    QCOMPARE(server.datagramsReceived(), 3);
    QCOMPARE(server.repliesDropped(), 1);

    // "BOOTg" ends the run with a failure code when nothing was verified.
    QSignalSpy installed(&server, &DevsimServer::installed);
    client.writeDatagram(QByteArray("BOOTg\r\n"), QHostAddress::LocalHost, server.port());
    QVERIFY(installed.wait(5000));
    QCOMPARE(installed.first().first().toInt(), 1);
}

QTEST_GUILESS_MAIN(TestBootloaderModel)
#include "test_bootloader_model.moc"
