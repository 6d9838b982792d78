// The flasher's pieces on their own: the Intel HEX check, the options, the
// exit-code rule, the reply watch around the link, and the summary.

#include "flash/flash_options.h"
#include "flash/flash_result.h"
#include "flash/hex_check.h"
#include "flash/progress_view.h"
#include "flash/reply_watch_link.h"
#include "support/recorders.h"

#include <QSignalSpy>
#include <QtTest>

using namespace corvanel;
using namespace corvanel::flash;
using namespace std::chrono_literals;

class TestFlashUnits : public QObject {
    Q_OBJECT

private slots:
    void soundImagePasses()
    {
        const QByteArray image =
            ":020000040800F2\r\n"
            ":10000000000102030405060708090a0b0c0d0e0f78\r\n" // lower case is fine
            ":0400000508000131BD\r\n"
            ":00000001FF\r\n";
        QCOMPARE(checkIntelHex(image), QList<HexProblem>{});
        QCOMPARE(checkIntelHex(QByteArray(image).replace("\r\n", "\n").chopped(1)),
                 QList<HexProblem>{});
    }

    void badRecordsAreNamedByLine_data()
    {
        QTest::addColumn<QByteArray>("record");
        QTest::addColumn<QString>("problem");
        QTest::newRow("empty") << QByteArray() << QStringLiteral("empty line");
        QTest::newRow("no colon") << QByteArray("10000000")
                                  << QStringLiteral("does not start with ':' (starts with '1')");
        QTest::newRow("not hex") << QByteArray(":0000000G01")
                                 << QStringLiteral("'G' at column 9 is not a hex digit");
        QTest::newRow("trailing space")
            << QByteArray(":00000001FF ")
            << QStringLiteral("a space at column 12 is not a hex digit");
        QTest::newRow("odd digits")
            << QByteArray(":00000001F") << QStringLiteral("odd number of hex digits (9)");
        QTest::newRow("too short") << QByteArray(":000000")
                                   << QStringLiteral("record too short: 3 bytes, a "
                                                     "record has at least 5 (count, "
                                                     "address, type, checksum)");
        QTest::newRow("long record")
            << QByteArray(":0100000000AAFF")
            << QStringLiteral("byte count 01 (1) but the record holds 2 data bytes");
        QTest::newRow("type 06") << QByteArray(":00000006FA")
                                 << QStringLiteral("unknown record type 06 (known: 00 to 05)");
        QTest::newRow("checksum") << QByteArray(":0100000041BF")
                                  << QStringLiteral("checksum BF is wrong, it should be BE");
        QTest::newRow("eof with data")
            << QByteArray(":01000001AA54")
            << QStringLiteral("a record of type 01 carries 0 data bytes, not 1");
        QTest::newRow("short address record")
            << QByteArray(":0100000408F3")
            << QStringLiteral("a record of type 04 carries 2 data bytes, not 1");
    }

    void badRecordsAreNamedByLine()
    {
        QFETCH(QByteArray, record);
        QFETCH(QString, problem);
        const QByteArray image = ":0100000041BE\n" + record + "\n:00000001FF\n";
        QCOMPARE(checkIntelHex(image), (QList<HexProblem>{{2, problem}}));
    }

    void endOfFileRecordMustComeOnceAndLast()
    {
        QCOMPARE(checkIntelHex(":0100000041BE\n:0100010042BC\n"),
                 (QList<HexProblem>{
                     {2, QStringLiteral("no end-of-file record: the file ends here without "
                                        "\":00000001FF\"")}}));
        QCOMPARE(checkIntelHex(":00000001FF\n:0100000041BE\n:00000001FF\n"),
                 (QList<HexProblem>{
                     {2, QStringLiteral("record after the end-of-file record of line 1")},
                     {3, QStringLiteral("record after the end-of-file record of line 1")}}));
        QCOMPARE(checkIntelHex(QByteArray()).size(), 1);
    }

    void linesSplitAsTheTransferSendsThem()
    {
        QCOMPARE(splitHexLines("a\r\nb\nc"), (QList<QByteArrayView>{"a", "b", "c"}));
        QCOMPARE(splitHexLines("a\r\n\r\nb\r\n"), (QList<QByteArrayView>{"a", "", "b"}));
        QCOMPARE(splitHexLines(""), QList<QByteArrayView>{});
    }

    void secondsTakeFractions()
    {
        QCOMPARE(parseSeconds(QStringLiteral("0.3")), std::optional(300ms));
        QCOMPARE(parseSeconds(QStringLiteral("30")), std::optional(30000ms));
        QCOMPARE(parseSeconds(QStringLiteral("0.0001")), std::optional(1ms)); // never zero
        for (const char *bad : {"0", "-1", "abc", "", "nan", "inf", "86401"})
            QVERIFY2(!parseSeconds(QString::fromLatin1(bad)), bad);
    }

    void argumentsGiveEveryHostItsSettings()
    {
        const auto parsed = parseArguments(
            {QStringLiteral("corvanel-flash"), QStringLiteral("--port"), QStringLiteral("4000"),
             QStringLiteral("--local-port"), QStringLiteral("7000"), QStringLiteral("--retries"),
             QStringLiteral("2"), QStringLiteral("--reply-timeout"), QStringLiteral("0.5"),
             QStringLiteral("a.hex"), QStringLiteral("127.0.0.2"),
             QStringLiteral("127.0.0.3:4001")});
        QCOMPARE(parsed.action, ParsedArguments::Action::Run);
        const auto &hosts = parsed.options.hosts;
        QCOMPARE(hosts.size(), 2);
        QCOMPARE(hosts[0].host, QStringLiteral("127.0.0.2"));
        QCOMPARE(hosts[0].remotePort, 4000);
        QCOMPARE(hosts[1].remotePort, 4001);
        QCOMPARE(hosts[0].localPort, std::optional<quint16>(7000));
        QCOMPARE(hosts[1].localPort, std::optional<quint16>(7001));
        QCOMPARE(hosts[1].retries, 2);
        QCOMPARE(hosts[1].replyTimeout, 500ms);
        QCOMPARE(hosts[1].inquiryTimeout, 30000ms);

        const auto defaults =
            parseArguments({QStringLiteral("corvanel-flash"), QStringLiteral("a.hex"),
                            QStringLiteral("127.0.0.2")});
        QCOMPARE(defaults.options.hosts[0].remotePort, 111);
        QVERIFY(!defaults.options.hosts[0].localPort); // random, as the window
        QCOMPARE(defaults.options.hosts[0].retries, 0);
        QCOMPARE(defaults.options.hosts[0].replyTimeout, 3000ms);

        const auto overflow =
            parseArguments({QStringLiteral("corvanel-flash"), QStringLiteral("--local-port"),
                            QStringLiteral("65535"), QStringLiteral("a.hex"),
                            QStringLiteral("127.0.0.2"), QStringLiteral("127.0.0.3")});
        QCOMPARE(overflow.action, ParsedArguments::Action::UsageError);
    }

    void exitCodeOfAWholeRun()
    {
        using O = Outcome;
        QCOMPARE(combinedExitCode({O::Ok, O::Ok}), 0);
        QCOMPARE(combinedExitCode({O::Ok, O::DeviceError, O::Ok}), 1);
        QCOMPARE(combinedExitCode({O::TimedOut, O::TimedOut}), 3);
        QCOMPARE(combinedExitCode({O::NetworkError}), 5);
        QCOMPARE(combinedExitCode({O::DeviceError, O::Ok, O::TimedOut}), 6);
        QCOMPARE(combinedExitCode({O::DeviceError, O::Interrupted}), 130);
    }

    void replyWatchBoundsEveryWaitAndResendsTheSameBytes()
    {
        testing::EventLog log;
        testing::RecordingLink inner(log);
        ReplyWatchLink link(inner);
        link.setReplyTimeout(50ms);
        link.setRetries(2);
        QSignalSpy timedOut(&link, &ReplyWatchLink::replyTimedOut);
        QSignalSpy resent(&link, &ReplyWatchLink::resent);
        QVERIFY(
            !link.Open({QStringLiteral("127.0.0.1"), QStringLiteral("111"), QStringLiteral("0")}));

        link.StartInquiryTimer();
        link.Send("BOOTi\r\n");
        QVERIFY(!link.isWaitingForReply()); // inquiries have their own bound
        link.StopInquiryTimer();

        link.Send("BOOT:00000001FF\r\n");
        QVERIFY(link.isWaitingForReply());
        link.replyArrived();
        QVERIFY(!link.isWaitingForReply());

        link.Send("BOOT:0100000041BE\r\n");
        QVERIFY(timedOut.wait(2000));
        QCOMPARE(resent.size(), 2);
        QCOMPARE(link.sendCount(), 3);
        QCOMPARE(inner.sent.mid(2), (QList<QByteArray>(3, "BOOT:0100000041BE\r\n")));
    }

    void installPauseDelaysTheCloseWithoutBlocking()
    {
        testing::EventLog log;
        testing::RecordingLink inner(log);
        ReplyWatchLink link(inner);
        QSignalSpy closed(&link, &ReplyWatchLink::closed);
        QVERIFY(
            !link.Open({QStringLiteral("127.0.0.1"), QStringLiteral("111"), QStringLiteral("0")}));
        link.Send("BOOTg\r\n");
        link.Pause(100ms);
        QElapsedTimer clock;
        clock.start();
        link.Close();
        QVERIFY(clock.elapsed() < 50);
        QVERIFY(inner.open); // "BOOTg" gets its 100 ms before the socket closes
        QVERIFY(!link.isWaitingForReply());
        QVERIFY(closed.wait(2000));
        QVERIFY(clock.elapsed() >= 90);
        QVERIFY(!inner.open);
        QCOMPARE(inner.sent, QList<QByteArray>{"BOOTg\r\n"});
    }

    void summaryNamesEveryHost()
    {
        HostReport ok{QStringLiteral("127.0.0.2"),
                      111,
                      6000,
                      Outcome::Ok,
                      Phase::Done,
                      10,
                      10,
                      true,
                      1.5,
                      0,
                      0,
                      {}};
        HostReport bad{
            QStringLiteral("127.0.0.3"),
            111,
            6001,
            Outcome::DeviceError,
            Phase::Verify,
            4,
            10,
            false,
            0.7,
            0,
            0,
            QStringLiteral("the device answered \"ERROR\" to line 4 of 10 (verify pass)")};
        const QString table = summaryTable({ok, bad}, 1);
        const QStringList rows = table.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(rows.size(), 4);
        QVERIFY(rows[0].startsWith(QStringLiteral("HOST")));
        QVERIFY(rows[1].contains(QStringLiteral("127.0.0.2:111")) &&
                rows[1].contains(QStringLiteral("10/10")));
        QVERIFY(rows[2].contains(QStringLiteral("ERROR")) &&
                rows[2].contains(QStringLiteral("4/10")) && rows[2].endsWith(bad.reason));
        QCOMPARE(rows[3], QStringLiteral("2 hosts: 1 ended with END, 1 failed; exit code 1"));

        const QString bar = ProgressView::barLine(QStringLiteral("127.0.0.2:111"), 14,
                                                  Phase::Verify, 5, 10, 15, 2000, 500, nullptr);
        QVERIFY2(bar.contains(QStringLiteral("VERIFY   [###############.....]    5/10")),
                 qPrintable(bar));
        QVERIFY2(bar.contains(QStringLiteral("10 lines/s")) &&
                     bar.contains(QStringLiteral("0:01 left")),
                 qPrintable(bar));
    }
};

QTEST_GUILESS_MAIN(TestFlashUnits)
#include "test_flash_units.moc"
