// The neighbour-table reader on tables as Linux's /proc/net/arp shows them.
// Only the reader: nothing here flushes or changes the system's table.

#include "link/platform_arp.h"

#include <QTest>

using namespace Qt::StringLiterals;
using namespace corvanel;

namespace {

constexpr const char *kHeader =
    "IP address       HW type     Flags       HW address            Mask     Device\n";

QByteArray table(const char *rows)
{
    return QByteArray(kHeader) + rows;
}

} // namespace

class TestNeighbourTable : public QObject {
    Q_OBJECT
private slots:
    // The table is text given to the reader: nothing is sent or looked up.
    // Its addresses are LAN ones, for loopback never has an entry.
    void reader_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("mac"); // empty: unknown
        const QByteArray lan =
            table("192.168.1.1      0x1         0x2         00:1a:2b:3c:4d:5e     *        eth0\n"
                  "192.168.1.25     0x1         0x2         02:AB:cd:00:00:19     *        eth0\n");
        QTest::newRow("complete, upper case folded")
            << lan << u"192.168.1.25"_s << u"02:ab:cd:00:00:19"_s;
        QTest::newRow("other entry") << lan << u"192.168.1.1"_s << u"00:1a:2b:3c:4d:5e"_s;
        QTest::newRow("IPv4-mapped") << lan << u"::ffff:192.168.1.25"_s << u"02:ab:cd:00:00:19"_s;
        QTest::newRow("prefix of another address") << lan << u"192.168.1.2"_s << QString();
        QTest::newRow("incomplete")
            << table(
                   "192.168.1.25     0x1         0x0         00:00:00:00:00:00     *        eth0\n")
            << u"192.168.1.25"_s << QString();
        QTest::newRow("flags 0x0 with an address")
            << table(
                   "192.168.1.25     0x1         0x0         02:ab:cd:00:00:19     *        eth0\n")
            << u"192.168.1.25"_s << QString();
        QTest::newRow("permanent")
            << table(
                   "192.168.1.25     0x1         0x6         02:ab:cd:00:00:19     *        eth0\n")
            << u"192.168.1.25"_s << u"02:ab:cd:00:00:19"_s;
        QTest::newRow("incomplete on one interface, complete on another")
            << table(
                   "10.0.0.7         0x1         0x0         00:00:00:00:00:00     *        wlan0\n"
                   "10.0.0.7         0x1         0x2         3c:22:fb:01:02:03     *        eth1\n")
            << u"10.0.0.7"_s << u"3c:22:fb:01:02:03"_s;
        QTest::newRow("two interfaces disagree")
            << table(
                   "10.0.0.7         0x1         0x2         3c:22:fb:01:02:03     *        wlan0\n"
                   "10.0.0.7         0x1         0x2         3c:22:fb:01:02:04     *        eth1\n")
            << u"10.0.0.7"_s << QString();
        QTest::newRow("garbage lines around, tabs, CR LF")
            << ("garbage\n\n\x01\xff\n10.0.0\n10.0.0.7 0x1\n"
                "10.0.0.7\t0x1\t0x2\t3c:22:fb:01:02:03\t*\teth1\r\n"
                "10.0.0.7 0x1 0x2 3c:22:fb:01:02 * eth1\n"_ba)
            << u"10.0.0.7"_s << u"3c:22:fb:01:02:03"_s;
        QTest::newRow("malformed hardware address")
            << table(
                   "10.0.0.7         0x1         0x2         3c-22-fb-01-02-03     *        eth0\n"
                   "10.0.0.7         0x1         0x2         3c:22:fb:01:02:0g     *        eth0\n")
            << u"10.0.0.7"_s << QString();
        QTest::newRow("flags not hex")
            << table(
                   "10.0.0.7         0x1         2           3c:22:fb:01:02:03     *        eth0\n")
            << u"10.0.0.7"_s << QString();
        QTest::newRow("loopback never")
            << table("127.0.0.1        0x1         0x2         3c:22:fb:01:02:03     *        lo\n")
            << u"127.0.0.1"_s << QString();
        QTest::newRow("IPv6 never") << lan << u"fe80::1"_s << QString();
        QTest::newRow("empty table") << QByteArray() << u"192.168.1.25"_s << QString();
    }

    void reader()
    {
        QFETCH(QByteArray, text);
        QFETCH(QString, address);
        QFETCH(QString, mac);
        const auto found = platform::neighbourMacInTable(text, QHostAddress(address));
        QCOMPARE(found.value_or(QString()), mac);
    }
};

QTEST_GUILESS_MAIN(TestNeighbourTable)
#include "test_neighbour_table.moc"
