// The flasher's pieces on their own: the options, the hosts file, the
// exit-code rule, the summary and the report record.

#include "engine/run_report.h"
#include "flash/flash_options.h"
#include "flash/progress_view.h"
#include "link/trace.h"
#include "records/run_records.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

using namespace corvanel;
using namespace corvanel::flash;
using namespace corvanel::records;
using namespace std::chrono_literals;

class TestFlashUnits : public QObject {
    Q_OBJECT

private slots:
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

        // Past the 1000 random local ports, every host takes a port the system chooses.
        for (const int count : {1000, 1001}) {
            QByteArray file;
            for (int i = 0; i < count; ++i)
                file += "127.0.0.1:" + QByteArray::number(20000 + i) + '\n';
            const auto many = parseArguments(
                {"corvanel-flash", "--hosts", "boards.txt", "a.hex"},
                [&](const QString &, QString *) { return std::optional<QByteArray>(file); });
            QCOMPARE(many.options.hosts.size(), count);
            QCOMPARE(many.options.systemChosenPorts, count > 1000);
            QCOMPARE(many.options.hosts.back().localPort,
                     count > 1000 ? std::optional<quint16>(0) : std::nullopt);
        }
    }

    void refusedNumbersNameTheirOption_data()
    {
        QTest::addColumn<QStringList>("options"); // before "a.hex 127.0.0.2"
        QTest::addColumn<QString>("error");
        QTest::newRow("base address past 32 bits")
            << QStringList{"--base-address", "0x10000000008000000"}
            << "--base-address \"0x10000000008000000\": must be an address";
        QTest::newRow("port in hex") << QStringList{"--port", "0x6f"} << "--port \"0x6f\"";
        QTest::newRow("signed retries") << QStringList{"--retries", "-0"} << "--retries \"-0\"";
        QTest::newRow("blank before record bytes")
            << QStringList{"--record-bytes", " 16"} << "--record-bytes \" 16\"";
        QTest::newRow("empty attempts") << QStringList{"--attempts="} << "--attempts \"\"";
        QTest::newRow("local port past 16 bits")
            << QStringList{"--local-port", "65536"} << "--local-port \"65536\"";
        QTest::newRow("empty report path: an unset variable")
            << QStringList{"--report", ""} << "--report \"\"";
        QTest::newRow("empty trace path") << QStringList{"--trace="} << "--trace \"\"";
        QTest::newRow("colour of another kind")
            << QStringList{"--color", "yes"} << "--color \"yes\": must be auto, always or never";
        QTest::newRow("the scan is not traced")
            << QStringList{"--scan", "--trace", "t"} << "--trace has no meaning with --scan";
    }

    void refusedNumbersNameTheirOption()
    {
        QFETCH(QStringList, options);
        QFETCH(QString, error);
        const auto parsed = parseArguments(QStringList{"corvanel-flash"} + options +
                                           QStringList{"a.hex", "127.0.0.2"});
        QCOMPARE(parsed.action, ParsedArguments::Action::UsageError);
        QVERIFY2(parsed.error.startsWith(error), qPrintable(parsed.error));
    }

    void hostsFile_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("command"); // after "corvanel-flash --hosts boards.txt"
        // "HOST:PORT" in order, "HOST=ADDRESS:PORT" for a name; empty: refused
        QTest::addColumn<QStringList>("hosts");
        QTest::addColumn<QString>("error"); // the refusal's start
        QTest::newRow("comments, blanks, CR LF; after the command line's hosts")
            << QByteArray("# line 3\r\n127.0.0.2  # board A\r\n\r\n 127.0.0.3:4000\r\n#\n")
            << "a.hex 127.0.0.9" << QStringList{"127.0.0.9:111", "127.0.0.2:111", "127.0.0.3:4000"}
            << "";
        QTest::newRow("the file alone")
            << QByteArray("127.0.0.2") << "a.hex" << QStringList{"127.0.0.2:111"} << "";
        QTest::newRow("bad port names file and line")
            << QByteArray("127.0.0.2\n\n127.0.0.3:0\n") << "a.hex" << QStringList{}
            << "boards.txt:3: \"127.0.0.3:0\": the port";
        QTest::newRow("IPv6 in brackets refused")
            << QByteArray("# v6\n[::1]:111\n") << "a.hex" << QStringList{}
            << "boards.txt:2: \"[::1]:111\": IPv6 addresses are not supported";
        QTest::newRow("a host on the command line and in the file")
            << QByteArray("127.0.0.2:111\n") << "a.hex 127.0.0.2" << QStringList{}
            << "boards.txt:1: \"127.0.0.2:111\" is 127.0.0.2:111, already given as "
               "\"127.0.0.2\" on the command line";
        QTest::newRow("one board by name and by address")
            << QByteArray("# A\n127.0.0.1\nlocalhost\n") << "a.hex" << QStringList{}
            << "boards.txt:3: \"localhost\" is 127.0.0.1:111, already given as \"127.0.0.1\" "
               "at boards.txt:2";
        QTest::newRow("a name is resolved once; the link takes its address")
            << QByteArray("localhost:4000\nLOCALHOST:4001\n") << "a.hex"
            << QStringList{"localhost=127.0.0.1:4000", "LOCALHOST=127.0.0.1:4001"} << "";
        QTest::newRow("octal form refused, not looked up")
            << QByteArray("127.0.0.010\n") << "a.hex" << QStringList{}
            << "boards.txt:1: \"127.0.0.010\": not an IPv4 address";
        QTest::newRow("a name not found")
            << QByteArray("127.0.0.2\nboard-9\n") << "a.hex" << QStringList{}
            << "boards.txt:2: \"board-9\": host not found";
        QTest::newRow("only comments")
            << QByteArray("# none yet\n") << "a.hex" << QStringList{} << "no host given";
    }

    void hostsFile()
    {
        QFETCH(QByteArray, file);
        QFETCH(QString, command);
        QFETCH(QStringList, hosts);
        QFETCH(QString, error);
        QString pathRead;
        const auto reader = [&](const QString &path, QString *) {
            pathRead = path;
            return std::optional<QByteArray>(file);
        };
        // No test asks the machine's resolver: "localhost" is 127.0.0.1 here.
        QStringList asked;
        const auto resolver = [&](const QString &name) -> std::variant<quint32, QString> {
            asked << name;
            if (name.compare(QStringLiteral("localhost"), Qt::CaseInsensitive) == 0)
                return quint32(0x7f000001);
            return QStringLiteral("host not found: unknown");
        };
        const auto parsed = parseArguments(
            QStringLiteral("corvanel-flash --hosts boards.txt %1").arg(command).split(' '), reader,
            resolver);
        QCOMPARE(pathRead, QStringLiteral("boards.txt"));
        // Each name asked once, whatever its case; address forms never.
        QSet<QString> distinct;
        for (const QString &name : std::as_const(asked))
            distinct.insert(name.toLower());
        QVERIFY2(distinct.size() == asked.size() && !asked.contains(QStringLiteral("127.0.0.010")),
                 qPrintable(asked.join(' ')));
        if (!error.isEmpty()) {
            QCOMPARE(parsed.action, ParsedArguments::Action::UsageError);
            QVERIFY2(parsed.error.startsWith(error), qPrintable(parsed.error));
            return;
        }
        QCOMPARE(parsed.action, ParsedArguments::Action::Run);
        QStringList got;
        for (const HostSettings &h : parsed.options.hosts) {
            got << (h.address == h.host ? h.host : h.host + QLatin1Char('=') + h.address) +
                       QStringLiteral(":%1").arg(h.remotePort);
        }
        QCOMPARE(got, hosts);
    }

    void versionText_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QString>("text"); // null: no "VER="
        QTest::newRow("plain") << QByteArray("VER=DEVSIM 1.0\r\n") << "DEVSIM 1.0";
        QTest::newRow("spaces and line ends around") << QByteArray(" VER=  2.1 \r\n\r\n") << "2.1";
        QTest::newRow("empty text is not none") << QByteArray("VER=\r\n") << "";
        QTest::newRow("not a version") << QByteArray("OK\r\n") << QString();
    }

    void versionText()
    {
        QFETCH(QByteArray, reply);
        QFETCH(QString, text);
        const auto version = corvanel::versionText(reply);
        QCOMPARE(version.has_value(), !text.isNull());
        if (version)
            QCOMPARE(*version, text);
    }

    void attemptRecordIsOneLine()
    {
        RunFacts run{.toolVersion = QStringLiteral("4.0"),
                     .station = QStringLiteral("line 3"),
                     .imagePath = QStringLiteral("a.hex"),
                     .lineCount = 10};
        run.origin = QDateTime(QDate(2025, 3, 1), QTime(8, 15, 0, 0), Qt::UTC);
        HostReport attempt{.host = QStringLiteral("127.0.0.2"),
                           .port = 111,
                           .outcome = Outcome::TimedOut,
                           .exitCode = exitCodeFor(Outcome::TimedOut),
                           .phase = Phase::Verify,
                           .line = 4,
                           .lineCount = 10,
                           .reason = QStringLiteral("two\nlines\r")};
        attempt.startedAt = Millis{2125};
        attempt.endedAt = Millis{3625};
        attempt.attempt = 2;
        attempt.maxAttempts = 3;
        const QByteArray line = attemptRecord(run, attempt);
        QVERIFY(line.endsWith('\n'));
        QCOMPARE(line.count('\n'), 1);
        const QJsonObject record = QJsonDocument::fromJson(line).object();
        QCOMPARE(record.value("start").toString(), QStringLiteral("2025-03-01T08:15:02.125Z"));
        QCOMPARE(record.value("end").toString(), QStringLiteral("2025-03-01T08:15:03.625Z"));
        QCOMPARE(record.value("reason").toString(), attempt.reason);
        // Unknown is null, not an empty text that could pass for a value.
        for (const char *field : {"imageSha256", "imageCrc32", "deviceVersion"})
            QVERIFY2(record.value(field).isNull(), field);
        QCOMPARE(record.value("line").toInt(), 4);
        QCOMPARE(record.value("attempt").toInt(), 2);
        QCOMPARE(record.value("maxAttempts").toInt(), 3);
        QCOMPARE(record.value("exitCode").toInt(), 3);
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
        // In colour: each host's row painted whole once laid out, the rest plain.
        const QStringList painted =
            summaryTable({ok, bad}, 1, true).split('\n', Qt::SkipEmptyParts);
        QCOMPARE(painted[0], rows[0]);
        QCOMPARE(painted[1], QStringLiteral("\x1b[32m") + rows[1] + QStringLiteral("\x1b[0m"));
        QCOMPARE(painted[2], QStringLiteral("\x1b[31m") + rows[2] + QStringLiteral("\x1b[0m"));
        QCOMPARE(painted[3], rows[3]);

        HostSnapshot host;
        host.phase = Phase::Verify;
        host.line = 5;
        host.lineCount = 10;
        host.linesDone = 15;
        host.elapsed = Millis{2000};
        host.transferElapsed = Millis{1500};
        const QString bar = barLine(QStringLiteral("127.0.0.2:111"), 14, host);
        QVERIFY2(bar.contains(QStringLiteral("[#########...] VERIFY 5/10 (15/20)")) &&
                     bar.contains(QStringLiteral("10 lines/s")) &&
                     bar.contains(QStringLiteral("0:01 left")),
                 qPrintable(bar));
    }

    void passText_data()
    {
        QTest::addColumn<int>("phase"); // Phase
        QTest::addColumn<int>("line");
        QTest::addColumn<int>("linesDone");
        QTest::addColumn<int>("outcome"); // -1: under way, else the Outcome it ended with
        QTest::addColumn<QString>("text");
        QTest::newRow("download") << int(Phase::Download) << 83 << 83 << -1
                                  << "DOWNLOAD 83/9000 (83/18000)";
        QTest::newRow("verify: the pass and the whole")
            << int(Phase::Verify) << 83 << 9083 << -1 << "VERIFY 83/9000 (9083/18000)";
        QTest::newRow("ended: the result in place of the pass")
            << int(Phase::Ended) << 9000 << 18000 << int(Outcome::Ok)
            << "END 9000/9000 (18000/18000)";
        QTest::newRow("failed in the verify pass")
            << int(Phase::Verify) << 4 << 9004 << int(Outcome::DeviceError)
            << "ERROR 4/9000 (9004/18000)";
    }

    void passText()
    {
        QFETCH(int, phase);
        QFETCH(int, line);
        QFETCH(int, linesDone);
        QFETCH(int, outcome);
        QFETCH(QString, text);
        HostSnapshot host;
        host.phase = Phase(phase);
        host.line = line;
        host.lineCount = 9000;
        host.linesDone = linesDone;
        host.finished = outcome >= 0;
        host.report.outcome = Outcome(qMax(outcome, 0));
        QCOMPARE(records::passText(host), text);
        // The live bar shows the same, and keeps its columns whatever the numbers.
        HostSnapshot widest = host;
        widest.phase = Phase::Download;
        widest.line = 9000;
        widest.linesDone = 18000;
        widest.finished = false;
        const auto nextColumn = [](const HostSnapshot &h) {
            const QString bar = barLine(QStringLiteral("h"), 1, h);
            const QString pass = records::passText(h);
            qsizetype at = bar.indexOf(pass);
            for (at = at < 0 ? 0 : at + pass.size(); at < bar.size() && bar[at] == u' ';)
                ++at;
            return bar.contains(pass) ? at : -1;
        };
        QVERIFY(nextColumn(host) > 0);
        QCOMPARE(nextColumn(host), nextColumn(widest));
    }

    void traceHeaderQuotesTheCommandLine()
    {
        QCOMPARE(Trace::header(QStringLiteral("corvanel-flash"), QStringLiteral("4.0"),
                               QStringLiteral("2025-03-01T08:15:02.125Z"),
                               {QStringLiteral("corvanel-flash"), QStringLiteral("-v"),
                                QStringLiteral("my image.hex"), QStringLiteral("it's"),
                                QStringLiteral("127.0.0.7:111")}),
                 QStringLiteral("# corvanel-flash 4.0 2025-03-01T08:15:02.125Z: corvanel-flash -v "
                                "'my image.hex' 'it'\\''s' 127.0.0.7:111"));
    }
};

QTEST_GUILESS_MAIN(TestFlashUnits)
#include "test_flash_units.moc"
