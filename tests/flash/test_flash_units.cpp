// The flasher's pieces on their own: the options, the exit-code rule and the
// summary.

#include "flash/flash_options.h"
#include "flash/flash_result.h"
#include "flash/progress_view.h"
#include "flash/report_writers.h"

#include <QtTest>

using namespace corvanel;
using namespace corvanel::flash;
using namespace std::chrono_literals;

class TestFlashUnits : public QObject {
    Q_OBJECT

private slots:
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
        const auto parse = [](const char *line) {
            return parseArguments(QString::fromLatin1(line).split(QLatin1Char(' ')));
        };
        const auto parsed = parse("corvanel-flash --port 4000 --local-port 7000 --retries 2 "
                                  "--reply-timeout 0.5 a.hex 127.0.0.2 127.0.0.3:4001");
        QCOMPARE(parsed.action, ParsedArguments::Action::Run);
        const auto &hosts = parsed.options.hosts;
        QCOMPARE(hosts.size(), 2);
        QCOMPARE(hosts[0].host, QStringLiteral("127.0.0.2"));
        QCOMPARE(hosts[0].remotePort, 4000);
        QCOMPARE(hosts[1].remotePort, 4001);
        QCOMPARE(hosts[0].localPort, std::optional<quint16>(7000));
        QCOMPARE(hosts[1].localPort, std::optional<quint16>(7001));
        QCOMPARE(hosts[1].limits.retries, 2);
        QCOMPARE(hosts[1].limits.replyTimeout, 500ms);
        QCOMPARE(hosts[1].limits.inquiryTimeout, 30000ms);

        const auto defaults = parse("corvanel-flash a.hex 127.0.0.2").options.hosts[0];
        QCOMPARE(defaults.remotePort, 111);
        QVERIFY(!defaults.localPort); // random, as the window
        QCOMPARE(defaults.limits.retries, 0);
        QCOMPARE(defaults.limits.replyTimeout, 3000ms);
        // The second host would need local port 65536.
        QCOMPARE(parse("corvanel-flash --local-port 65535 a.hex 127.0.0.2 127.0.0.3").action,
                 ParsedArguments::Action::UsageError);
    }

    void exitCodeOfAWholeRun()
    {
        // The end-to-end tests cover the other cases.
        QCOMPARE(combinedExitCode({Outcome::TimedOut, Outcome::TimedOut}), 3);
        QCOMPARE(combinedExitCode({Outcome::DeviceError, Outcome::Interrupted}), 130);
    }

    void summaryAndProgressBar()
    {
        const HostReport ok{.host = QStringLiteral("127.0.0.2"),
                            .port = 111,
                            .line = 10,
                            .lineCount = 10,
                            .reason = {}};
        const HostReport bad{.host = QStringLiteral("127.0.0.3"),
                             .port = 111,
                             .outcome = Outcome::DeviceError,
                             .phase = Phase::Verify,
                             .line = 4,
                             .lineCount = 10,
                             .reason = QStringLiteral("the device answered \"ERROR\" to line 4")};
        const QStringList rows = summaryTable({ok, bad}, 1).split('\n', Qt::SkipEmptyParts);
        QCOMPARE(rows.size(), 4);
        QVERIFY(rows[1].startsWith(QStringLiteral("127.0.0.2:111")) &&
                rows[1].contains(QStringLiteral("10/10")));
        QVERIFY(rows[2].contains(QStringLiteral("4/10")) && rows[2].endsWith(bad.reason));
        QCOMPARE(rows[3], QStringLiteral("2 hosts: 1 ended with END, 1 failed; exit code 1"));

        const QString bar = ProgressView::barLine(QStringLiteral("127.0.0.2:111"), 14,
                                                  Phase::Verify, 5, 10, 15, 2000, 500, nullptr);
        QVERIFY2(bar.contains(QStringLiteral("VERIFY   [###############.....]    5/10")) &&
                     bar.contains(QStringLiteral("10 lines/s")) &&
                     bar.contains(QStringLiteral("0:01 left")),
                 qPrintable(bar));
    }
};

QTEST_GUILESS_MAIN(TestFlashUnits)
#include "test_flash_units.moc"
