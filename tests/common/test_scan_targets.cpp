// The scan's targets as typed: addresses, ranges and broadcast addresses,
// each with its port, expanded into the destinations asked; or refused with
// the target named.

#include "common/ipv4_address.h"
#include "common/scan_targets.h"

#include <QTest>

using namespace corvanel;

class TestScanTargets : public QObject {
    Q_OBJECT

private slots:
    void scanTargets_data()
    {
        QTest::addColumn<QString>("targets");
        QTest::addColumn<QStringList>("expected"); // "A.B.C.D:PORT"; or the error's words
        QTest::addColumn<bool>("refused");
        const auto range = [](int first, int last, int port) {
            QStringList list;
            for (int i = first; i <= last; ++i)
                list << QStringLiteral("127.0.0.%1:%2").arg(i).arg(port);
            return list;
        };
        QTest::newRow("a /29 asks its six host addresses")
            << "127.0.0.0/29" << range(1, 6, 111) << false;
        QTest::newRow("host bits of a range are masked")
            << "127.0.0.7/30:5000" << range(5, 6, 5000) << false;
        QTest::newRow("/31 and /32 have no network or broadcast address")
            << "127.0.0.4/31 127.0.0.9/32" << range(4, 5, 111) + range(9, 9, 111) << false;
        QTest::newRow("each destination once, in order; ports apart")
            << "127.0.0.2 127.0.0.0/30 127.0.0.2:112"
            << QStringList{"127.0.0.2:111", "127.0.0.1:111", "127.0.0.2:112"} << false;
        QTest::newRow("broadcast address")
            << "255.255.255.255:9" << QStringList{"255.255.255.255:9"} << false;
        QTest::newRow("wider than /16")
            << "127.0.0.0/15" << QStringList{"/15", "at the widest"} << true;
        QTest::newRow("two /16 are too many")
            << "127.0.0.0/16 127.1.0.0/16" << QStringList{"more than 65536"} << true;
        QTest::newRow("IPv6") << "[::1]:111" << QStringList{"IPv6"} << true;
        QTest::newRow("host name") << "localhost" << QStringList{"not an IPv4 address"} << true;
        QTest::newRow("short form") << "127.1" << QStringList{"not an IPv4 address"} << true;
        QTest::newRow("octet too big") << "127.0.0.256" << QStringList{"not an IPv4"} << true;
        QTest::newRow("leading zero, as hosts refuse it")
            << "127.0.0.010" << QStringList{"not an IPv4"} << true;
        QTest::newRow("port 0") << "127.0.0.1:0" << QStringList{"port after ':'"} << true;
        QTest::newRow("prefix 33") << "127.0.0.0/33" << QStringList{"prefix after '/'"} << true;
        QTest::newRow("any address") << "0.0.0.0" << QStringList{"not a device address"} << true;
    }

    void scanTargets()
    {
        QFETCH(QString, targets);
        QFETCH(QStringList, expected);
        QFETCH(bool, refused);
        const auto result = scanDestinations(targets.split(' '), 111);
        if (refused) {
            const auto *error = std::get_if<QString>(&result);
            QVERIFY(error);
            for (const QString &word : expected)
                QVERIFY2(error->contains(word), qPrintable(*error));
            QVERIFY2(error->contains(targets.split(' ').last()) || error->contains("more than"),
                     qPrintable(*error)); // names the target
            return;
        }
        QStringList got;
        for (const ScanDestination &d : std::get<QList<ScanDestination>>(result))
            got << QStringLiteral("%1:%2").arg(ipv4Text(d.address)).arg(d.port);
        QCOMPARE(got, expected);
    }

    void widestScanRangeIsAccepted()
    {
        const auto result = scanDestinations({QStringLiteral("127.0.0.0/16")}, 111);
        QCOMPARE(std::get<QList<ScanDestination>>(result).size(), 65534);
    }
};

QTEST_GUILESS_MAIN(TestScanTargets)
#include "test_scan_targets.moc"
