// Whole transfers over real loopback UDP: the transfer controller with the
// real UDP link against corvanel-devsim running as its own process, and
// against plain sockets where a test needs to play the device by hand.

#include "devsim/hex_records.h"
#include "engine/transfer_controller.h"
#include "engine/udp_link.h"
#include "image/image_loader.h"
#include "support/recorders.h"
#include "tools/devsim/bootloader_model.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QNetworkDatagram>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUdpSocket>

#include <memory>

using namespace corvanel;
using namespace std::chrono_literals;

namespace {

const QString kLoopback = QStringLiteral("127.0.0.1");

// corvanel-devsim as a child process on a port the system chooses.
class Simulator {
public:
    explicit Simulator(const QStringList &options = {})
    {
        process_.setProgram(QStringLiteral(CORVANEL_DEVSIM_PATH));
        process_.setArguments(
            QStringList{"--address", kLoopback, "--port", "0", "--idle-timeout", "60"} + options);
        process_.start();
        if (!process_.waitForStarted(5000))
            return;
        QElapsedTimer clock;
        clock.start();
        while (!process_.canReadLine() && clock.elapsed() < 5000)
            process_.waitForReadyRead(100);
        const QByteArray line = process_.readLine().trimmed();
        const QRegularExpression pattern(QStringLiteral("^listening 127\\.0\\.0\\.1:(\\d+)$"));
        const auto match = pattern.match(QString::fromLatin1(line));
        if (match.hasMatch())
            port_ = static_cast<quint16>(match.captured(1).toUInt());
    }
    ~Simulator()
    {
        if (process_.state() != QProcess::NotRunning) {
            process_.kill();
            process_.waitForFinished(5000);
        }
    }

    quint16 port() const { return port_; }
    bool finished() const { return process_.state() == QProcess::NotRunning; }
    int exitCode() const { return process_.exitCode(); }
    QString output() { return QString::fromLatin1(process_.readAllStandardOutput()); }
    QString errors() { return QString::fromLatin1(process_.readAllStandardError()); }
    QProcess &process() { return process_; }

private:
    QProcess process_;
    quint16 port_ = 0;
};

// The controller wired to a real UDP link as the window wires them, with
// recorders for the ARP flush, the install pause and the display.
struct Rig {
    Rig()
    {
        QObject::connect(&link, &UdpLink::datagramArrived, &link,
                         [this](const QByteArray &data) { controller.HandleReply(data); });
        QObject::connect(&link, &UdpLink::inquiryTick, &link, [this] { controller.PollDevice(); });
    }

    std::optional<OperatorError> connectTo(quint16 port, const QString &host = kLoopback,
                                           const QString &localPort = QStringLiteral("0"))
    {
        return controller.ToggleLink({host, QString::number(port), localPort});
    }
    void load(const QList<QByteArray> &lines)
    {
        LineTable table;
        for (const QByteArray &line : lines)
            table.append(line);
        adoptImage(controller.state(), display, std::move(table));
    }
    bool load(const QString &path)
    {
        auto result = readImageFile(path);
        if (!std::holds_alternative<LineTable>(result))
            return false;
        adoptImage(controller.state(), display, std::move(std::get<LineTable>(result)));
        return true;
    }
    // Runs the event loop until `done` holds, looking after every datagram.
    // (QTRY_* naps between its looks, which would make each round trip 10 ms.)
    template <typename Predicate> bool waitUntil(Predicate done, int timeoutMs)
    {
        if (done())
            return true;
        QEventLoop loop;
        QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
        const auto check = QObject::connect(&link, &UdpLink::datagramArrived, &loop, [&] {
            if (done())
                loop.quit();
        });
        loop.exec();
        QObject::disconnect(check);
        return done();
    }
    bool waitForStatus(const QString &word, int timeoutMs = 10000)
    {
        return waitUntil([&] { return display.status == word; }, timeoutMs);
    }
    const TransferState &state() const { return controller.state(); }
    bool connected() const { return controller.state().connected == 1; }

    testing::EventLog log;
    testing::RecordingDisplay display{log};
    QList<std::chrono::milliseconds> pauses;
    UdpLink link{nullptr, [this] { log.add(QStringLiteral("arp")); },
                 [this](std::chrono::milliseconds d) {
                     pauses.append(d);
                     log.add(QStringLiteral("pause"));
                 }};
    TransferController controller{display, link};
};

// A plain socket on loopback that plays the device by hand.
struct HandDevice {
    explicit HandDevice(const char *address = "127.0.0.1")
    {
        bound = socket.bind(QHostAddress(QString::fromLatin1(address)), 0);
    }
    quint16 port() const { return socket.localPort(); }
    void sendTo(const UdpLink &link, const QByteArray &data)
    {
        socket.writeDatagram(data, QHostAddress::LocalHost, link.localPort());
    }
    bool has(int count)
    {
        while (socket.hasPendingDatagrams())
            received.append(socket.receiveDatagram().data());
        return received.size() >= count;
    }
    QUdpSocket socket;
    bool bound = false;
    QList<QByteArray> received;
};

QByteArray message(const QByteArray &line)
{
    return "BOOT" + line + "\r\n";
}

} // namespace

class TestEndToEnd : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void downloadVerifyAndInstallARealImage();
    void errorAtLineThenOkResumes();
    void lostReplyStallsAndDisconnectRecovers();
    void plainOkAtTheEndRestartsThePass();
    void severalDatagramsTogetherAreEachHandled();
    void strangerChangesNothing();
    void connectFailuresLeaveTheToolUsable();
    void simulatorCommandLine();

private:
    QTemporaryDir dir_;
    QString hexPath_;
    int hexLines_ = 0;
    quint32 imageCrc_ = 0;
    qint64 imageBytes_ = 0;
};

void TestEndToEnd::initTestCase()
{
    QVERIFY(QFile::exists(QStringLiteral(CORVANEL_DEVSIM_PATH)));
    const QString objcopy = QStandardPaths::findExecutable(QStringLiteral("objcopy"));
    if (objcopy.isEmpty())
        QSKIP("objcopy is needed to make a real HEX image");
    QVERIFY(dir_.isValid());

    // The code section of a small system program: one contiguous block, so
    // its raw bytes are exactly the image the device must end up holding.
    const QString program = QStandardPaths::findExecutable(QStringLiteral("true"));
    if (program.isEmpty())
        QSKIP("no small system program to take an image from");
    hexPath_ = dir_.filePath(QStringLiteral("true.hex"));
    const QString binPath = dir_.filePath(QStringLiteral("true.bin"));
    for (const auto &[format, path] : {std::pair{"ihex", hexPath_}, std::pair{"binary", binPath}}) {
        QProcess run;
        run.start(objcopy, {"-O", format, "--only-section=.text", program, path});
        QVERIFY(run.waitForFinished(30000));
        QCOMPARE(run.exitCode(), 0);
    }
    QFile bin(binPath);
    QVERIFY(bin.open(QIODevice::ReadOnly));
    const QByteArray bytes = bin.readAll();
    imageBytes_ = bytes.size();
    imageCrc_ = devsim::crc32(bytes);
    QFile hex(hexPath_);
    QVERIFY(hex.open(QIODevice::ReadOnly));
    hexLines_ = int(hex.readAll().count('\n'));
    QVERIFY2(hexLines_ > 100 && hexLines_ <= LineTable::kMaxLines,
             qPrintable(QString::number(hexLines_)));
}

void TestEndToEnd::downloadVerifyAndInstallARealImage()
{
    Simulator sim;
    QVERIFY(sim.port() != 0);
    Rig rig;
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(rig.connectTo(sim.port()), std::nullopt);
    QVERIFY(rig.connected());
    // The ARP flush is connect's second step: after the bar, before anything else.
    QCOMPARE(rig.log.events.mid(0, 4),
             (QStringList{"value 0", QStringLiteral("colour %1").arg(colour::kNavy), "arp",
                          "enable Command3"}));

    // Inquiries every 500 ms, each answered by the device.
    QSignalSpy ticks(&rig.link, &UdpLink::inquiryTick);
    QVERIFY(ticks.wait(2000));
    const qint64 first = clock.elapsed();
    QTRY_COMPARE_WITH_TIMEOUT(rig.display.receiveData, QByteArray("VER=DEVSIM 1.0\r\n"), 2000);
    QVERIFY(ticks.wait(2000));
    const qint64 second = clock.elapsed();
    QVERIFY2(first >= 450 && first < 1200, qPrintable(QString::number(first)));
    QVERIFY2(second - first >= 450 && second - first < 1200,
             qPrintable(QString::number(second - first)));

    // The image; the next answer to an inquiry starts the transfer.
    QVERIFY(rig.load(hexPath_));
    QCOMPARE(rig.display.status, QStringLiteral("READY"));
    QCOMPARE(rig.display.barMaximum, hexLines_);
    QVERIFY(rig.waitForStatus(QStringLiteral("END"), 30000));
    QCOMPARE(rig.display.barColour, colour::kGreen);
    QCOMPARE(rig.display.barValue, hexLines_);
    QVERIFY(!rig.link.inquiryTimer()->isActive());
    const QStringList words = rig.display.statusWords;
    QVERIFY(words.indexOf("DOWNLOAD") < words.indexOf("VERIFY"));
    QCOMPARE(words.last(), QStringLiteral("END"));

    rig.controller.InstallFirmware();
    QCOMPARE(rig.pauses, QList<std::chrono::milliseconds>{100ms});
    QVERIFY(!rig.link.isOpen());
    QCOMPARE(rig.display.status, QStringLiteral("NO FILE"));
    QCOMPARE(rig.display.linkCaption, QStringLiteral("Connect"));

    // The device installed exactly the image that was in the file.
    QVERIFY(sim.process().waitForFinished(10000));
    const QString summary = sim.output();
    QCOMPARE(sim.exitCode(), 0);
    QVERIFY2(summary.contains(QStringLiteral("crc32=") + devsim::hex32(imageCrc_)),
             qPrintable(summary));
    QVERIFY2(summary.contains(QStringLiteral(" bytes=%1 ").arg(imageBytes_)), qPrintable(summary));
    QVERIFY2(summary.contains(QStringLiteral("records=%1 ").arg(hexLines_)), qPrintable(summary));
    QVERIFY(summary.contains(QLatin1String("download=complete verify=passed")));
}

void TestEndToEnd::errorAtLineThenOkResumes()
{
    Simulator sim({"--error-at", "5"});
    QVERIFY(sim.port() != 0);
    Rig rig;
    QCOMPARE(rig.connectTo(sim.port()), std::nullopt);
    rig.load(testing::smallImage(8));
    QVERIFY(rig.waitForStatus(QStringLiteral("ERROR")));
    QCOMPARE(rig.display.barColour, colour::kRed);
    QCOMPARE(rig.display.barValue, 5);
    QCOMPARE(rig.state().verifying, qint16(0));

    // The device speaks again with "OK": sending resumes at line 6. The device
    // never stored line 5, so its verify catches the gap and stops at line 5.
    HandDevice sameHost;
    sameHost.sendTo(rig.link, "OK");
    QVERIFY(rig.waitUntil(
        [&] { return rig.state().verifying == 1 && rig.display.status == "ERROR"; }, 10000));
    QCOMPARE(rig.display.barValue, 5);
    QVERIFY(rig.display.statusWords.contains("VERIFY"));

    rig.controller.InstallFirmware();
    QVERIFY(sim.process().waitForFinished(10000));
    QCOMPARE(sim.exitCode(), 1); // no verified image
}

void TestEndToEnd::lostReplyStallsAndDisconnectRecovers()
{
    // Reply 1 answers the first inquiry, replies 2 to 9 lines 1 to 8; the
    // answer to line 9 is lost.
    Simulator sim({"--drop-reply", "10"});
    QVERIFY(sim.port() != 0);
    Rig rig;
    const QList<QByteArray> image = testing::smallImage(20);
    QCOMPARE(rig.connectTo(sim.port()), std::nullopt);
    rig.load(image);
    QVERIFY(rig.waitUntil([&] { return rig.display.barValue == 9; }, 10000));
    QSignalSpy arrived(&rig.link, &UdpLink::datagramArrived);
    QVERIFY(!arrived.wait(1000)); // nothing retries: the transfer waits
    QCOMPARE(rig.display.barValue, 9);
    QCOMPARE(rig.display.status, QStringLiteral("DOWNLOAD"));

    // Disconnect, connect again, open the image again: it goes through.
    QCOMPARE(rig.connectTo(sim.port()), std::nullopt);
    QVERIFY(!rig.connected());
    QCOMPARE(rig.display.status, QStringLiteral("NO FILE"));
    QCOMPARE(rig.connectTo(sim.port()), std::nullopt);
    QVERIFY(rig.connected());
    rig.load(image);
    QVERIFY(rig.waitForStatus(QStringLiteral("END")));
    rig.controller.InstallFirmware();
    QVERIFY(sim.process().waitForFinished(10000));
    QCOMPARE(sim.exitCode(), 0);
}

void TestEndToEnd::plainOkAtTheEndRestartsThePass()
{
    Simulator sim({"--ok-at-eof"});
    QVERIFY(sim.port() != 0);
    Rig rig;
    QCOMPARE(rig.connectTo(sim.port()), std::nullopt);
    rig.load(testing::smallImage(2));
    // Lines 1, 2, 3 (end record), then line 1 of the same pass again.
    QVERIFY(rig.waitUntil(
        [&] { return rig.log.events.join(',').contains("value 3,reply,status DOWNLOAD,value 1"); },
        10000));
    QVERIFY(!rig.display.statusWords.contains("VERIFY"));
    QCOMPARE(rig.connectTo(sim.port()), std::nullopt); // disconnect ends it
    QVERIFY(!rig.link.isOpen());
}

void TestEndToEnd::severalDatagramsTogetherAreEachHandled()
{
    HandDevice device;
    QVERIFY(device.bound);
    Rig rig;
    QCOMPARE(rig.connectTo(device.port()), std::nullopt);
    const QList<QByteArray> image = testing::smallImage(5);
    rig.load(image);

    // Three replies land before the window looks: each is its own reply.
    device.sendTo(rig.link, "VER=BOARD");
    device.sendTo(rig.link, "OK");
    device.sendTo(rig.link, "OK");
    QTRY_VERIFY_WITH_TIMEOUT(device.has(3), 5000);
    QCOMPARE(device.received,
             (QList<QByteArray>{message(image[0]), message(image[1]), message(image[2])}));
    QCOMPARE(rig.display.barValue, 3);
    QCOMPARE(rig.display.receiveData, QByteArray("OK"));
    QCOMPARE(rig.log.events.count("reply"), 3);
}

void TestEndToEnd::strangerChangesNothing()
{
    HandDevice device;
    HandDevice stranger("127.0.0.2");
    QVERIFY(device.bound && stranger.bound);
    Rig rig;
    QCOMPARE(rig.connectTo(device.port()), std::nullopt);
    const QList<QByteArray> image = testing::smallImage(3);
    rig.load(image);
    const QStringList before = rig.log.events;

    stranger.sendTo(rig.link, "VER=EVIL");
    stranger.sendTo(rig.link, "OK");
    stranger.sendTo(rig.link, "ERROR");
    // The device's reply comes after the stranger's, and only it is taken.
    device.sendTo(rig.link, "VER=BOARD");
    QTRY_VERIFY_WITH_TIMEOUT(device.has(1), 5000);
    QCOMPARE(device.received, QList<QByteArray>{message(image[0])});
    QCOMPARE(rig.log.events.count("reply") - before.count("reply"), 1);
    QCOMPARE(rig.display.receiveData, QByteArray("VER=BOARD"));
    QVERIFY(!rig.display.statusWords.contains("ERROR"));
    QCOMPARE(rig.display.barValue, 1);
}

void TestEndToEnd::connectFailuresLeaveTheToolUsable()
{
    HandDevice device;
    Rig rig;
    const auto expectFailure = [&](std::optional<OperatorError> error, int number,
                                   const QString &named) {
        QVERIFY(error);
        QCOMPARE(error->number, number);
        QCOMPARE(error->title(), QStringLiteral("Error#%1").arg(number));
        QVERIFY2(error->text.contains(named), qPrintable(error->text));
        QVERIFY(!rig.connected());
        QVERIFY(!rig.link.isOpen());
        QVERIFY(!rig.link.inquiryTimer()->isActive());
        QCOMPARE(rig.display.linkCaption, QStringLiteral("Connect"));
        QVERIFY(!rig.display.openFileEnabled);
    };

    QUdpSocket holder;
    QVERIFY(holder.bind(QHostAddress::AnyIPv4, 0));
    const QString taken = QString::number(holder.localPort());
    expectFailure(rig.connectTo(device.port(), kLoopback, taken), errnum::kAddressInUse, taken);
    for (const char *port : {"abc", "0", "70000"}) {
        expectFailure(rig.controller.ToggleLink({kLoopback, QString::fromLatin1(port), "0"}),
                      errnum::kInvalidValue, QString::fromLatin1(port));
    }
    expectFailure(rig.connectTo(device.port(), QStringLiteral("nonexistent.invalid")),
                  errnum::kHostNotFound, QStringLiteral("nonexistent.invalid"));
    // Each attempt flushed the ARP cache at its step 2, and nothing was sent.
    QCOMPARE(rig.log.events.count("arp"), 5);
    QVERIFY(!device.has(1));

    // Corrected, the same window connects and polls.
    QCOMPARE(rig.connectTo(device.port()), std::nullopt);
    QVERIFY(rig.connected());
    QCOMPARE(rig.display.linkCaption, QStringLiteral("Disconnect"));
    QTRY_VERIFY_WITH_TIMEOUT(device.has(1), 3000);
    QCOMPARE(device.received.first(), QByteArray("BOOTi\r\n"));
}

void TestEndToEnd::simulatorCommandLine()
{
    const QString program = QStringLiteral(CORVANEL_DEVSIM_PATH);
    QProcess help;
    help.start(program, {"--help"});
    QVERIFY(help.waitForFinished(10000));
    QCOMPARE(help.exitCode(), 0);
    const QString text = QString::fromLatin1(help.readAllStandardOutput());
    for (const char *option :
         {"--address", "--port", "--drop-every", "--drop-rate", "--seed", "--error-at",
          "--delay-ms", "--ok-at-eof", "--duplicate", "--idle-timeout", "--summary-json"}) {
        QVERIFY2(text.contains(QLatin1String(option)), option);
    }

    // Only loopback is ever bound.
    QProcess wide;
    wide.start(program, {"--address", "0.0.0.0", "--port", "0"});
    QVERIFY(wide.waitForFinished(10000));
    QCOMPARE(wide.exitCode(), 2);
    QVERIFY(wide.readAllStandardOutput().isEmpty());

    // A taken port is a clear failure.
    QUdpSocket holder;
    QVERIFY(holder.bind(QHostAddress::LocalHost, 0));
    QProcess clash;
    clash.start(program, {"--port", QString::number(holder.localPort())});
    QVERIFY(clash.waitForFinished(10000));
    QCOMPARE(clash.exitCode(), 2);
    QVERIFY(clash.readAllStandardError().contains("cannot bind"));

    // Left alone, it goes away by itself; the JSON summary is written on install.
    Simulator idle({"--idle-timeout", "1"});
    QVERIFY(idle.port() != 0);
    QVERIFY(idle.process().waitForFinished(10000));
    QCOMPARE(idle.exitCode(), 3);

    const QString json = dir_.filePath(QStringLiteral("summary.json"));
    Simulator sim({"--summary-json", json});
    QUdpSocket client;
    QVERIFY(client.bind(QHostAddress::LocalHost, 0));
    client.writeDatagram(QByteArray("BOOTg\r\n"), QHostAddress::LocalHost, sim.port());
    QVERIFY(sim.process().waitForFinished(10000));
    QCOMPARE(sim.exitCode(), 1);
    QFile file(json);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(file.readAll().contains("\"verified\": false"));
}

QTEST_GUILESS_MAIN(TestEndToEnd)
#include "test_end_to_end.moc"
