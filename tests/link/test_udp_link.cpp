// The UDP link on its own, against plain sockets on loopback: connect and its
// failures, datagrams out and in (whole, in order, in bounded batches) and the
// source filter.

#include "devsim/devsim_test_support.h"
#include "link/udp_link.h"

#include <QElapsedTimer>
#include <QMetaObject>
#include <QSet>
#include <QSignalSpy>
#include <QTest>

using namespace Qt::StringLiterals;
using namespace corvanel;
using namespace corvanel::testing;
using namespace std::chrono_literals;

namespace {

LinkSettings towards(quint16 remotePort, const QString &host = u"127.0.0.1"_s)
{
    return {host, QString::number(remotePort), u"0"_s};
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
    void initTestCase() { QVERIFY(other_.bind(QHostAddress::AnyIPv4, 0)); }

    void startValuesOfThePorts()
    {
        QSet<QString> seen;
        for (int i = 0; i < 40; ++i) {
            const QString text = initialLocalPort();
            const int port = text.toInt();
            QCOMPARE(text, QString::number(port)); // plain decimal: no sign, space or point
            QVERIFY(port >= 5500 && port <= 6499);
            seen.insert(text);
        }
        QVERIFY(seen.size() > 1);
        QCOMPARE(initialRemotePort(), u"111"_s);
    }

    void datagramsGoOutAndComeInWhole()
    {
        UdpLink link;
        QVERIFY(!link.send("BOOTi\r\n")); // never opened
        LoopbackPeer device;
        QVERIFY(device.bound);
        // An IPv4-mapped address is the IPv4 address.
        QCOMPARE(link.open(towards(device.port(), u"::ffff:127.0.0.1"_s)), std::nullopt);
        QVERIFY(link.isOpen() && link.localPort() != 0 && !link.acceptsAnySender());
        QCOMPARE(link.remoteAddress(), QHostAddress(u"127.0.0.1"_s));
        QCOMPARE(link.remotePort(), device.port());
        QUdpSocket late; // the port the link holds is not shared
        QVERIFY(!late.bind(QHostAddress::AnyIPv4, link.localPort()));

        QVERIFY(!link.send(QByteArray(70000, 'x'))); // larger than any datagram
        QVERIFY(link.send("BOOTi\r\n"));
        QTRY_VERIFY_WITH_TIMEOUT(device.has(1), 5000);
        QCOMPARE(device.received, QList<QByteArray>{"BOOTi\r\n"});
        QCOMPARE(device.senderPorts.first(), link.localPort());

        // Replies are handed on byte for byte: binary, empty, the largest size.
        QSignalSpy arrived(&link, &UdpLink::datagramArrived);
        const QList<QByteArray> replies{QByteArray("OK  \r\n"), QByteArray("\0\xff\x80 VER=\0", 9),
                                        QByteArray(), QByteArray(65507, 'x')};
        for (const QByteArray &r : replies)
            device.sendTo(link.localPort(), r);
        QTRY_COMPARE_WITH_TIMEOUT(arrived.size(), replies.size(), 5000);
        QCOMPARE(arrivals(arrived), replies);

        link.close();
        QVERIFY(!link.send("BOOTi\r\n"));
        link.close(); // twice is harmless
    }

    void burstArrivesInOrderInBoundedBatches_data()
    {
        QTest::addColumn<int>("batch");
        QTest::newRow("default") << UdpLink::kDefaultReadBatch;
        QTest::newRow("4") << 4;
        QTest::newRow("64") << 64;
    }

    void burstArrivesInOrderInBoundedBatches()
    {
        // What is left after a batch must be announced again by the socket
        // itself: nothing else reads on.
        QFETCH(int, batch);
        LoopbackPeer device;
        UdpLink link;
        link.setReadBatch(batch);
        QCOMPARE(link.open(towards(device.port())), std::nullopt);

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
        QList<QByteArray> sent;
        for (int i = 0; i < 200; ++i) {
            sent.append("OK " + QByteArray::number(i));
            device.sendTo(link.localPort(), sent.last());
        }
        QTRY_COMPARE_WITH_TIMEOUT(got.size(), sent.size(), 5000);
        QCOMPARE(got, sent);
        QVERIFY2(handledWhenEventRan >= 1 && handledWhenEventRan <= 2 * batch,
                 qPrintable(QString::number(handledWhenEventRan)));
    }

    void closingInsideTheHandlerIsSafe()
    {
        LoopbackPeer device;
        UdpLink link;
        QCOMPARE(link.open(towards(device.port())), std::nullopt);
        int handled = 0;
        const auto closer =
            QObject::connect(&link, &UdpLink::datagramArrived, &link, [&](const QByteArray &) {
                ++handled;
                link.close(); // as Install does
            });
        for (int i = 0; i < 10; ++i)
            device.sendTo(link.localPort(), "OK");
        // The rest of the batch is not read once the link is closed.
        QTRY_VERIFY_WITH_TIMEOUT(handled >= 1, 5000);
        QCOMPARE(handled, 1);
        QVERIFY(!link.isOpen());
        QVERIFY(!link.send("BOOTi\r\n"));

        // And it opens again.
        QObject::disconnect(closer);
        QSignalSpy arrived(&link, &UdpLink::datagramArrived);
        QCOMPARE(link.open(towards(device.port())), std::nullopt);
        device.sendTo(link.localPort(), "VER=1");
        QVERIFY(arrived.wait(5000));
        QCOMPARE(arrivals(arrived), QList<QByteArray>{"VER=1"});
    }

    void onlyTheDeviceIsHeard()
    {
        LoopbackPeer device;
        LoopbackPeer stranger("127.0.0.2");
        QVERIFY(stranger.bound);
        UdpLink link;
        QCOMPARE(link.open(towards(device.port())), std::nullopt);
        QSignalSpy arrived(&link, &UdpLink::datagramArrived);
        stranger.sendTo(link.localPort(), "VER=evil");
        stranger.sendTo(link.localPort(), "OK");
        // The device's own datagram comes after the stranger's; only it counts.
        // The filter compares addresses only: another port of the device's
        // host is still the device.
        device.sendTo(link.localPort(), "OK from device");
        LoopbackPeer("127.0.0.1").sendTo(link.localPort(), "DOWNLOAD");
        QTRY_COMPARE_WITH_TIMEOUT(arrived.size(), 2, 5000);
        QCOMPARE(arrivals(arrived), QList<QByteArray>({"OK from device", "DOWNLOAD"}));

        // Towards a broadcast or multicast address every sender is heard.
        // Nothing is sent there: these links only listen.
        for (const char *host : {"255.255.255.255", "239.255.0.1"}) {
            QCOMPARE(link.open(towards(device.port(), QString::fromLatin1(host))), std::nullopt);
            QVERIFY(link.acceptsAnySender());
            stranger.sendTo(link.localPort(), "VER=board");
            QVERIFY2(arrived.wait(5000), host);
            link.close();
            QVERIFY(!link.acceptsAnySender());
            // Unattended, one device is flashed at a time.
            link.setSenderCheck(SenderCheck::OneDevice);
            const auto refused = link.open(towards(device.port(), QString::fromLatin1(host)));
            QVERIFY(refused && refused->what == OperatorError::What::ManyHosts);
            QVERIFY(!link.isOpen());
            link.setSenderCheck(SenderCheck::Address);
        }
    }

    void connectFailures_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("remotePort");
        QTest::addColumn<QString>("localPort");
        QTest::addColumn<int>("number");
        QTest::addColumn<QString>("named"); // what the message must name
        const auto row = [](const QString &host, const QString &remote, const QString &local,
                            int number, const QString &named) {
            QTest::addRow("%s %s %s", qPrintable(host), qPrintable(remote), qPrintable(local))
                << host << remote << local << number << named;
        };
        for (const char *bad : {"abc", "0", "70000", "", "-1", "1e3"})
            row("127.0.0.1", bad, "0", errnum::kInvalidValue, bad);
        for (const char *bad : {"abc", "65536", "6000.0"})
            row("127.0.0.1", "9", bad, errnum::kInvalidValue, bad);
        row("", "9", "0", errnum::kHostNotFound, "");
        row("::1", "9", "0", errnum::kAddressNotAvailable, "");
        row("0.0.0.0", "9", "0", errnum::kAddressNotAvailable, "");
        // The other program binds the usual way (address reuse allowed); the
        // link must still refuse to share the port with it.
        const QString taken = QString::number(other_.localPort());
        row("127.0.0.1", "9", taken, errnum::kAddressInUse, taken);
    }

    void connectFailures()
    {
        QFETCH(QString, host);
        QFETCH(QString, remotePort);
        QFETCH(QString, localPort);
        QFETCH(int, number);
        QFETCH(QString, named);
        UdpLink link;
        const auto error = link.open({host, remotePort, localPort});
        QVERIFY(error);
        QCOMPARE(error->number, number);
        QVERIFY2(error->subject.contains(named), qPrintable(error->subject));
        QVERIFY(!link.isOpen());
        QVERIFY(!link.send("BOOTi\r\n"));
        // Retried with good values, here a name that resolves, it opens.
        QCOMPARE(link.open(towards(9, u"localhost"_s)), std::nullopt);
        QVERIFY(link.remoteAddress().isLoopback());
    }

private:
    QUdpSocket other_;
};

QTEST_GUILESS_MAIN(TestUdpLink)
#include "test_udp_link.moc"
