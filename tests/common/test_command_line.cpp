// The command line's helpers for people: the option a misspelt one was meant
// to be, and options read from a file ("--config FILE", or the file an
// environment variable names), with the command line winning and every error
// naming FILE:LINE.
#include "common/command_line.h"

#include <QCommandLineParser>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace corvanel;

namespace {

constexpr const char *kVariable = "CORVANEL_TEST_CONFIG";

cli::Definition definition()
{
    const auto flag = [](QStringList names) { return cli::Option{std::move(names), {}, {}}; };
    const auto valued = [](QStringList names, const char *value) {
        return cli::Option{std::move(names), QString::fromLatin1(value), {}};
    };
    cli::Definition d;
    d.program = QStringLiteral("prog");
    d.options = {
        valued({QStringLiteral("port")}, "PORT"),
        valued({QStringLiteral("local-port")}, "PORT"),
        valued({QStringLiteral("attempts")}, "N"),
        valued({QStringLiteral("reply-timeout")}, "S"),
        valued({QStringLiteral("record-bytes")}, "N"),
        flag({QStringLiteral("install")}),
        flag({QStringLiteral("info")}),
        flag({QStringLiteral("check")}),
        flag({QStringLiteral("no-check")}),
        flag({QStringLiteral("q"), QStringLiteral("quiet")}),
        {{QStringLiteral("format")},
         QStringLiteral("F"),
         {},
         {QStringLiteral("hex"), QStringLiteral("bin")}},
        {{QStringLiteral("report")}, QStringLiteral("FILE"), {}, {}, true},
        valued({QStringLiteral("station")}, "NAME"),
        {{QStringLiteral("config")}, QStringLiteral("FILE"), {}, {}, true},
        flag({QStringLiteral("h"), QStringLiteral("help")}),
        flag({QStringLiteral("version")}),
    };
    d.configOption = QStringLiteral("config");
    d.configVariable = QString::fromLatin1(kVariable);
    return d;
}

} // namespace

class TestCommandLine : public QObject {
    Q_OBJECT

private slots:
    void closestOption_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("meant");
        QTest::newRow("letter left out") << "instal"
                                         << "install";
        QTest::newRow("letters swapped") << "isntall"
                                         << "install";
        QTest::newRow("two edits, long name") << "reply-timout"
                                              << "reply-timeout";
        QTest::newRow("short name, swap") << "prot"
                                          << "port";
        QTest::newRow("short name, two edits too many") << "pt"
                                                        << "";
        QTest::newRow("unique start") << "inst"
                                      << "install";
        QTest::newRow("start of several") << "re"
                                          << "";
        QTest::newRow("as close to two") << "rport"
                                         << "";
    }
    void closestOption()
    {
        QFETCH(QString, typed);
        QFETCH(QString, meant);
        QCOMPARE(cli::closestOption(typed, definition()), meant);
    }

    void parseErrorHints_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("error");
        QTest::newRow("one unknown, close") << QStringList{"prog", "--instal"}
                                            << "Unknown option 'instal'; did you mean --install?";
        QTest::newRow("not close") << QStringList{"prog", "--fast"} << "Unknown option 'fast'.";
        QTest::newRow("two unknown")
            << QStringList{"prog", "--instal", "--prot"} << "Unknown options: instal, prot.";
    }
    void parseErrorHints()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, error);
        QCommandLineParser parser;
        parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
        cli::addOptions(parser, definition());
        QVERIFY(!parser.parse(arguments));
        QCOMPARE(cli::parseError(parser, definition()), error);
    }

    // "FILE" in a row stands for the options file's path, "DIR" for its folder.
    void configFile_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("commandLine");
        QTest::addColumn<bool>("fromVariable"); // else --config FILE
        QTest::addColumn<QString>("expected");  // the arguments, or the error

        QTest::newRow("values, quotes, comments, blanks")
            << QByteArray("\xEF\xBB\xBF# station B\r\n\nattempts = 2   # two\r\n"
                          "station = \"line 3 # B\"\n  reply-timeout=0.5\n")
            << "x.hex 127.0.0.1" << false
            << "prog --attempts=2 --station=line 3 # B --reply-timeout=0.5 --config FILE x.hex "
               "127.0.0.1";
        QTest::newRow("switches") << QByteArray("install = yes\nquiet = off\ninfo = 1\n") << "x.hex"
                                  << false << "prog --install --info --config FILE x.hex";
        QTest::newRow("the command line wins")
            << QByteArray("attempts = 2\ninstall = true\nno-check = true\nstation = a\n")
            << "--attempts 5 -install --check x.hex" << false
            << "prog --station=a --config FILE --attempts 5 -install --check x.hex";
        QTest::newRow("a relative file name is the file's neighbour")
            << QByteArray("report = logs/r.jsonl\n") << "x.hex" << false
            << "prog --report=DIR/logs/r.jsonl --config FILE x.hex";
        QTest::newRow("from the environment")
            << QByteArray("format = HEX\n") << "x.hex" << true << "prog --format=HEX x.hex";

        QTest::newRow("no equals sign") << QByteArray("\nattempts 2\n") << "" << false
                                        << "FILE:2: \"attempts 2\" is no \"name = value\" line";
        QTest::newRow("unknown name") << QByteArray("instal = true\n") << "" << true
                                      << "FILE:1: unknown option \"instal\"; did you mean "
                                         "\"install\"?";
        QTest::newRow("not a switch value") << QByteArray("install = maybe\n") << "" << false
                                            << "FILE:1: install takes true or false, not "
                                               "\"maybe\"";
        QTest::newRow("not one of the values") << QByteArray("format = exe\n") << "" << false
                                               << "FILE:1: format takes hex, bin, not \"exe\"";
        QTest::newRow("set twice") << QByteArray("station = a\nstation = b\n") << "" << false
                                   << "FILE:2: station is set twice (first at FILE:1)";
        QTest::newRow("help") << QByteArray("help = true\n") << "" << false
                              << "FILE:1: --help is for the command line only";
        QTest::newRow("not text") << QByteArray("a\0b", 3) << "" << false
                                  << "the options file \"FILE\" is not plain text (UTF-16?); "
                                     "save it as ASCII or UTF-8";
    }
    void configFile()
    {
        QFETCH(QByteArray, file);
        QFETCH(QString, commandLine);
        QFETCH(bool, fromVariable);
        QFETCH(QString, expected);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString path = dir.filePath(QStringLiteral("line-3.conf"));
        QFile out(path);
        QVERIFY(out.open(QIODevice::WriteOnly) && out.write(file) == file.size());
        out.close();

        QStringList arguments{QStringLiteral("prog")};
        if (fromVariable)
            qputenv(kVariable, path.toLocal8Bit());
        else
            arguments << QStringLiteral("--config") << path;
        arguments << commandLine.split(u' ', Qt::SkipEmptyParts);
        const cli::ConfiguredArguments got = cli::withConfigFile(arguments, definition());
        qunsetenv(kVariable);

        expected.replace(QStringLiteral("FILE"), path).replace(QStringLiteral("DIR"), dir.path());
        if (!got.error.isEmpty())
            QCOMPARE(got.error, expected);
        else
            QCOMPARE(got.arguments.join(u' '), expected);
    }

    void fileNamedOnlyWhenThere()
    {
        // No --config and no variable: the arguments as they are; --config
        // outranks the variable, even naming a file that is not there.
        const QStringList plain{QStringLiteral("prog"), QStringLiteral("x.hex")};
        QCOMPARE(cli::withConfigFile(plain, definition()).arguments, plain);
        qputenv(kVariable, "/nonexistent/env.conf");
        const auto got = cli::withConfigFile({QStringLiteral("prog"), QStringLiteral("--config"),
                                              QStringLiteral("/nonexistent/line.conf")},
                                             definition());
        qunsetenv(kVariable);
        QVERIFY2(got.error.startsWith(
                     QStringLiteral("cannot read the options file \"/nonexistent/line.conf\"")),
                 qPrintable(got.error));
        // A bad command line is reported before any file is read, with its hint.
        QCOMPARE(
            cli::withConfigFile({QStringLiteral("prog"), QStringLiteral("--atempts")}, definition())
                .error,
            QStringLiteral("Unknown option 'atempts'; did you mean --attempts?"));
    }

    void locateNamesTheLine_data()
    {
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("located");
        QTest::newRow("the file's option") << "--port must be a number"
                                           << "F:1: --port must be a number";
        QTest::newRow("first one named") << "--info or --port"
                                         << "F:2: --info or --port";
        QTest::newRow("part of another name") << "--ports 7 is unknown"
                                              << "--ports 7 is unknown";
        QTest::newRow("none named") << "no host given"
                                    << "no host given";
    }
    void locateNamesTheLine()
    {
        QFETCH(QString, message);
        QFETCH(QString, located);
        cli::ConfiguredArguments configured;
        configured.origins = {{{QStringLiteral("--port")}, QStringLiteral("F:1")},
                              {{QStringLiteral("--info")}, QStringLiteral("F:2")}};
        QCOMPARE(configured.locate(message), located);
    }

    void documented()
    {
        const cli::Definition d = definition();
        QVERIFY(cli::helpText(d).contains(QStringLiteral("Options file: --config FILE")));
        QVERIFY(
            cli::manPage(d, QStringLiteral("1"))
                .contains(QStringLiteral(".SH ENVIRONMENT\n.TP\n\\fBCORVANEL_TEST_CONFIG\\fR\n")));
    }
};

QTEST_GUILESS_MAIN(TestCommandLine)
#include "test_command_line.moc"
