// corvanel-flash's station profile: the file's options reach the flasher's
// settings, the command line wins, and an error about a value from the file
// names the file's line. The file's own rules are test_command_line's.

#include "flash/flash_options.h"

#include <QTemporaryDir>
#include <QtTest>

using namespace corvanel::flash;
using namespace std::chrono_literals;

class TestFlashConfig : public QObject {
    Q_OBJECT

private slots:
    void profileSetsTheRun_data()
    {
        QTest::addColumn<QByteArray>("lastLine"); // line 7 of the profile
        QTest::addColumn<QString>("commandLine");
        QTest::addColumn<bool>("fromVariable");
        QTest::addColumn<int>("attempts");
        QTest::addColumn<QString>("error"); // "FILE" for the profile's path
        QTest::newRow("--config") << QByteArray() << "a.hex 127.0.0.2" << false << 2 << "";
        QTest::newRow("CORVANEL_FLASH_CONFIG")
            << QByteArray() << "a.hex 127.0.0.2" << true << 2 << "";
        QTest::newRow("the command line wins")
            << QByteArray() << "--attempts 5 a.hex 127.0.0.2" << false << 5 << "";
        QTest::newRow("the profile's bad value names its line")
            << QByteArray("port = 0") << "a.hex 127.0.0.2" << true << 0
            << "FILE:7: --port \"0\": must be a number from 1 to 65535";
        QTest::newRow("the command line's bad value is its own")
            << QByteArray() << "--reply-timeout soon a.hex 127.0.0.2" << false << 0
            << "--reply-timeout \"soon\": must be a number of seconds above 0 (fractions allowed, "
               "at most a day)";
    }
    void profileSetsTheRun()
    {
        QFETCH(QByteArray, lastLine);
        QFETCH(QString, commandLine);
        QFETCH(bool, fromVariable);
        QFETCH(int, attempts);
        QFETCH(QString, error);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("line-3.conf"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("# line 3\nstation = line-3\nreport = line-3.jsonl\nattempts = 2\n"
                   "install = true\nreply-timeout = 0.5\n" +
                   lastLine);
        file.close();

        QStringList arguments{QStringLiteral("corvanel-flash")};
        if (fromVariable)
            qputenv("CORVANEL_FLASH_CONFIG", path.toLocal8Bit());
        else
            arguments << QStringLiteral("--config") << path;
        const ParsedArguments parsed =
            parseArguments(arguments + commandLine.split(u' '),
                           [](const QString &, QString *) { return std::optional<QByteArray>(); });
        qunsetenv("CORVANEL_FLASH_CONFIG");

        if (!error.isEmpty()) {
            QCOMPARE(parsed.action, ParsedArguments::Action::UsageError);
            QCOMPARE(parsed.error, error.replace(QStringLiteral("FILE"), path));
            return;
        }
        QCOMPARE(parsed.action, ParsedArguments::Action::Run);
        QCOMPARE(parsed.options.station, QStringLiteral("line-3"));
        QCOMPARE(parsed.options.reportPath, dir.filePath(QStringLiteral("line-3.jsonl")));
        QCOMPARE(parsed.options.hosts.size(), 1);
        QCOMPARE(parsed.options.hosts[0].attempts, attempts);
        QVERIFY(parsed.options.hosts[0].install);
        QCOMPARE(parsed.options.hosts[0].limits.replyTimeout, 500ms);
    }
};

QTEST_GUILESS_MAIN(TestFlashConfig)
#include "test_flash_config.moc"
