// The UDP link on its own, against plain sockets on loopback: connect and its
// failures, datagrams out and in (whole, in order, in bounded batches), the
// source filter and the seams. The inquiry timing is checked end to end.

#include "engine/udp_link.h"

#include <QElapsedTimer>
#include <QMetaObject>
#include <QNetworkDatagram>
#include <QSet>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QUdpSocket>

using namespace corvanel;
using namespace std::chrono_literals;

namespace {

// A plain socket on a loopback address that keeps what it receives.
class Peer {
public:
    explicit Peer(const char *address = "127.0.0.1")
    {
        bound = socket.bind(QHostAddress(QString::fromLatin1(address)), 0);
    }
    quint16 port() const { return socket.localPort(); }
    void sendTo(const UdpLink &link, const QByteArray &data)
    {
        socket.writeDatagram(data, QHostAddress::LocalHost, link.localPort());
    }
    // Drains the socket; true once `count` datagrams have come.
    bool has(int count)
    {
        while (socket.hasPendingDatagrams()) {
            const QNetworkDatagram datagram = socket.receiveDatagram();
            received.append(datagram.data());
            senderPorts.append(static_cast<quint16>(datagram.senderPort()));
        }
        return received.size() >= count;
    }

    QUdpSocket socket;
    bool bound = false;
    QList<QByteArray> received;
    QList<quint16> senderPorts;
};

LinkSettings towards(quint16 remotePort, const QString &host = QStringLiteral("127.0.0.1"))
{
    return {host, QString::number(remotePort), QStringLiteral("0")};
}

QList<QByteArray> arrivals(const QSignalSpy &spy)
{
    QList<QByteArray> data;
    for (const QList<QVariant> &call : spy)
        data.append(call.first().toByteArray());
    return data;
}

} // namespace

class TestUdpLink : public QObject {
    Q_OBJECT
private slots:
    void startValuesOfThePorts();
    void namedChildrenAndSeams();
    void datagramsGoOutAndComeInWhole();
    void burstArrivesInOrderInBoundedBatches_data();
    void burstArrivesInOrderInBoundedBatches();
    void closingInsideTheHandlerIsSafe();
    void strangersAreIgnored();
    void broadcastAndMulticastAcceptEverySender();
    void badPortTexts_data();
    void badPortTexts();
    void unresolvableHostAndOtherBadHosts();
    void portInUseThenRetry();
    void sendFailsCleanly();
};

void TestUdpLink::startValuesOfThePorts()
{
    QSet<QString> seen;
    for (int i = 0; i < 40; ++i) {
        const QString text = initialLocalPort();
        bool ok = false;
        const int port = text.toInt(&ok);
        QVERIFY(ok);
        QCOMPARE(text, QString::number(port)); // plain decimal: no sign, space or point
        QVERIFY(port >= 5500 && port <= 6499);
        seen.insert(text);
    }
    QVERIFY(seen.size() > 1);
    QCOMPARE(initialRemotePort(), QStringLiteral("111"));
}

void TestUdpLink::namedChildrenAndSeams()
{
    int flushes = 0;
    QList<std::chrono::milliseconds> pauses;
    UdpLink link(
        nullptr, [&] { ++flushes; }, [&](std::chrono::milliseconds d) { pauses.append(d); });
    QCOMPARE(link.socket()->objectName(), QStringLiteral("Winsock1"));
    QCOMPARE(link.inquiryTimer()->objectName(), QStringLiteral("Timer2"));
    QCOMPARE(link.socket()->parent(), &link);
    QCOMPARE(link.inquiryTimer()->parent(), &link);
    QCOMPARE(link.inquiryTimer()->interval(), 500);
    QVERIFY(!link.isOpen());
    QCOMPARE(link.localPort(), quint16(0));

    link.FlushArpCache();
    link.Pause(100ms);
    QCOMPARE(flushes, 1);
    QCOMPARE(pauses, QList<std::chrono::milliseconds>{100ms});

    // The default pause really blocks.
    UdpLink plain;
    QElapsedTimer clock;
    clock.start();
    plain.Pause(100ms);
    QVERIFY(clock.elapsed() >= 95);
}

void TestUdpLink::datagramsGoOutAndComeInWhole()
{
    Peer device;
    QVERIFY(device.bound);
    UdpLink link;
    QCOMPARE(link.Open(towards(device.port())), std::nullopt);
    QVERIFY(link.isOpen());
    QVERIFY(link.localPort() != 0);
    QCOMPARE(link.remoteAddress(), QHostAddress(QStringLiteral("127.0.0.1")));
    QCOMPARE(link.remotePort(), device.port());
    QVERIFY(!link.acceptsAnySender());

    QVERIFY(link.Send("BOOTi\r\n"));
    QTRY_VERIFY_WITH_TIMEOUT(device.has(1), 5000);
    QCOMPARE(device.received.first(), QByteArray("BOOTi\r\n"));
    QCOMPARE(device.senderPorts.first(), link.localPort());

    // Replies are handed on byte for byte: binary, empty, the largest size.
    QSignalSpy arrived(&link, &UdpLink::datagramArrived);
    const QList<QByteArray> replies{QByteArray("OK  \r\n"), QByteArray("\0\xff\x80 VER=\0", 9),
                                    QByteArray(), QByteArray(65507, 'x')};
    for (const QByteArray &r : replies)
        device.sendTo(link, r);
    QTRY_COMPARE_WITH_TIMEOUT(arrived.size(), replies.size(), 5000);
    QCOMPARE(arrivals(arrived), replies);
}

void TestUdpLink::burstArrivesInOrderInBoundedBatches_data()
{
    QTest::addColumn<int>("batch");
    QTest::newRow("default") << UdpLink::kDefaultReadBatch;
    QTest::newRow("4") << 4;
    QTest::newRow("64") << 64;
}

void TestUdpLink::burstArrivesInOrderInBoundedBatches()
{
    // What is left after a batch must be announced again by the socket
    // itself: nothing else reads on.
    QFETCH(int, batch);
    Peer device;
    UdpLink link;
    link.setReadBatch(batch);
    QCOMPARE(link.Open(towards(device.port())), std::nullopt);

    // When the first datagram is handled, queue an event; it must run long
    // before the burst is through, or a flood would freeze the window.
    QList<QByteArray> got;
    int handledWhenEventRan = -1;
    QObject::connect(&link, &UdpLink::datagramArrived, &link, [&](const QByteArray &data) {
        got.append(data);
        if (got.size() == 1) {
            QMetaObject::invokeMethod(
                &link, [&] { handledWhenEventRan = int(got.size()); }, Qt::QueuedConnection);
        }
    });

    constexpr int kBurst = 200;
    QList<QByteArray> sent;
    for (int i = 0; i < kBurst; ++i) {
        sent.append("OK " + QByteArray::number(i));
        device.sendTo(link, sent.last());
    }
    QTRY_COMPARE_WITH_TIMEOUT(got.size(), kBurst, 5000);
    QCOMPARE(got, sent);
    QVERIFY2(handledWhenEventRan >= 1 && handledWhenEventRan <= 2 * batch,
             qPrintable(QString::number(handledWhenEventRan)));
}

void TestUdpLink::closingInsideTheHandlerIsSafe()
{
    Peer device;
    UdpLink link;
    QCOMPARE(link.Open(towards(device.port())), std::nullopt);
    int handled = 0;
    const auto closer =
        QObject::connect(&link, &UdpLink::datagramArrived, &link, [&](const QByteArray &) {
            ++handled;
            link.Close(); // as Install does
        });
    for (int i = 0; i < 10; ++i)
        device.sendTo(link, "OK");
    // The rest of the batch is not read once the link is closed.
    QTRY_VERIFY_WITH_TIMEOUT(handled >= 1, 5000);
    QCOMPARE(handled, 1);
    QVERIFY(!link.isOpen());
    QVERIFY(!link.Send("BOOTi\r\n"));

    // And it opens again.
    QObject::disconnect(closer);
    QSignalSpy arrived(&link, &UdpLink::datagramArrived);
    QCOMPARE(link.Open(towards(device.port())), std::nullopt);
    device.sendTo(link, "VER=1");
    QVERIFY(arrived.wait(5000));
    QCOMPARE(arrived.first().first().toByteArray(), QByteArray("VER=1"));
}

void TestUdpLink::strangersAreIgnored()
{
    Peer device;
    Peer stranger("127.0.0.2");
    QVERIFY(stranger.bound);
    UdpLink link;
    QCOMPARE(link.Open(towards(device.port())), std::nullopt);
    QSignalSpy arrived(&link, &UdpLink::datagramArrived);

    stranger.sendTo(link, "VER=evil");
    stranger.sendTo(link, "OK");
    // The device's own datagram comes after the stranger's; only it counts.
    device.sendTo(link, "OK from device");
    QTRY_COMPARE_WITH_TIMEOUT(arrived.size(), 1, 5000);
    QCOMPARE(arrived.first().first().toByteArray(), QByteArray("OK from device"));

    // The filter compares addresses only: another port of the device's host
    // is still the device.
    Peer sameHost("127.0.0.1");
    sameHost.sendTo(link, "DOWNLOAD");
    QTRY_COMPARE_WITH_TIMEOUT(arrived.size(), 2, 5000);
    QCOMPARE(arrived.last().first().toByteArray(), QByteArray("DOWNLOAD"));
}

void TestUdpLink::broadcastAndMulticastAcceptEverySender()
{
    // Nothing is sent here: these links only listen.
    Peer unused;
    for (const char *host : {"255.255.255.255", "239.255.0.1"}) {
        UdpLink link;
        QCOMPARE(link.Open(towards(unused.port(), QString::fromLatin1(host))), std::nullopt);
        QVERIFY(link.acceptsAnySender());
        Peer stranger("127.0.0.2");
        QSignalSpy arrived(&link, &UdpLink::datagramArrived);
        stranger.sendTo(link, "VER=board");
        QVERIFY2(arrived.wait(5000), host);
        link.Close();
        QVERIFY(!link.acceptsAnySender());
    }
}

void TestUdpLink::badPortTexts_data()
{
    QTest::addColumn<QString>("remotePort");
    QTest::addColumn<QString>("localPort");
    QTest::addColumn<QString>("named");
    QTest::newRow("remote abc") << "abc"
                                << "0"
                                << "\"abc\"";
    QTest::newRow("remote 0") << "0"
                              << "0"
                              << "\"0\"";
    QTest::newRow("remote 70000") << "70000"
                                  << "0"
                                  << "\"70000\"";
    QTest::newRow("remote empty") << ""
                                  << "0"
                                  << "\"\"";
    QTest::newRow("remote negative") << "-1"
                                     << "0"
                                     << "\"-1\"";
    QTest::newRow("remote exponent") << "1e3"
                                     << "0"
                                     << "\"1e3\"";
    QTest::newRow("local abc") << "9"
                               << "abc"
                               << "\"abc\"";
    QTest::newRow("local 65536") << "9"
                                 << "65536"
                                 << "\"65536\"";
    QTest::newRow("local decimal point") << "9"
                                         << "6000.0"
                                         << "\"6000.0\"";
}

void TestUdpLink::badPortTexts()
{
    QFETCH(QString, remotePort);
    QFETCH(QString, localPort);
    QFETCH(QString, named);
    UdpLink link;
    const auto error = link.Open({QStringLiteral("127.0.0.1"), remotePort, localPort});
    QVERIFY(error);
    QCOMPARE(error->number, errnum::kInvalidValue);
    QVERIFY2(error->text.contains(named), qPrintable(error->text));
    QVERIFY(!link.isOpen());
}

void TestUdpLink::unresolvableHostAndOtherBadHosts()
{
    // Nothing is sent to the peer; it only provides a port nobody else uses.
    Peer device;
    const quint16 port = device.port();
    UdpLink link;
    auto error = link.Open(towards(port, QStringLiteral("nonexistent.invalid")));
    QVERIFY(error);
    QCOMPARE(error->number, errnum::kHostNotFound);
    QCOMPARE(error->title(), QStringLiteral("Error#11001"));
    QVERIFY2(error->text.contains(QLatin1String("nonexistent.invalid")), qPrintable(error->text));
    QVERIFY(!link.isOpen());
    QVERIFY(!link.Send("BOOTi\r\n"));

    error = link.Open(towards(port, QString()));
    QVERIFY(error && error->number == errnum::kHostNotFound);
    error = link.Open(towards(port, QStringLiteral("::1")));
    QVERIFY(error && error->number == errnum::kAddressNotAvailable);
    error = link.Open(towards(port, QStringLiteral("0.0.0.0")));
    QVERIFY(error && error->number == errnum::kAddressNotAvailable);
    QVERIFY(!link.isOpen());

    // A name that resolves is fine, and so is an IPv4-mapped address.
    QCOMPARE(link.Open(towards(port, QStringLiteral("localhost"))), std::nullopt);
    QVERIFY(link.remoteAddress().isLoopback());
    QCOMPARE(link.Open(towards(port, QStringLiteral("::ffff:127.0.0.1"))), std::nullopt);
    QCOMPARE(link.remoteAddress(), QHostAddress(QStringLiteral("127.0.0.1")));
}

void TestUdpLink::portInUseThenRetry()
{
    // The other program binds the usual way (address reuse allowed); the link
    // must still refuse to share the port with it.
    QUdpSocket other;
    QVERIFY(other.bind(QHostAddress::AnyIPv4, 0));
    const QString taken = QString::number(other.localPort());

    Peer device;
    UdpLink link;
    const auto error =
        link.Open({QStringLiteral("127.0.0.1"), QString::number(device.port()), taken});
    QVERIFY(error);
    QCOMPARE(error->number, errnum::kAddressInUse);
    QVERIFY2(error->text.contains(taken), qPrintable(error->text));
    QVERIFY(!link.isOpen());

    QCOMPARE(link.Open(towards(device.port())), std::nullopt);
    QVERIFY(link.isOpen());

    // And the other way round: a port the link holds is not shared.
    QUdpSocket late;
    QVERIFY(!late.bind(QHostAddress::AnyIPv4, link.localPort()));
}

void TestUdpLink::sendFailsCleanly()
{
    UdpLink link;
    QVERIFY(!link.Send("BOOTi\r\n")); // never opened
    Peer device;
    QCOMPARE(link.Open(towards(device.port())), std::nullopt);
    QVERIFY(!link.Send(QByteArray(70000, 'x'))); // larger than any datagram
    QVERIFY(link.Send("BOOTi\r\n"));
    QTRY_VERIFY_WITH_TIMEOUT(device.has(1), 5000);
    QCOMPARE(device.received, QList<QByteArray>{"BOOTi\r\n"});
    link.Close();
    QVERIFY(!link.Send("BOOTi\r\n"));
    link.Close(); // twice is harmless
}

QTEST_GUILESS_MAIN(TestUdpLink)
#include "test_udp_link.moc"
