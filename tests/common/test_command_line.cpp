// The command line's reader for people: words and short options, the
// options file (named, from the environment, or found in the user's or the
// system's folder), the modes and what means nothing in them, the hint for a
// misspelt option, and text from outside bounded and escaped.
#include "common/command_line.h"

#include <QFile>
#include <QHash>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

using namespace corvanel;

namespace {

// Two modes besides the plain one: --info (1) and --batch (2), which a file may choose.
cli::Definition definition()
{
    const auto option = [](QStringList names, const char *value,
                           cli::Modes modes = cli::kEveryMode) {
        cli::Option o{std::move(names), QString::fromLatin1(value), {}};
        o.modes = modes;
        return o;
    };
    cli::Definition d;
    d.program = QStringLiteral("prog");
    d.options = {option({"port"}, "PORT"),       option({"local-port"}, "PORT", 1),
                 option({"attempts"}, "N", 4),   option({"reply-timeout"}, "S"),
                 option({"install"}, "", 1 | 4), option({"info"}, "", 2),
                 option({"batch"}, "", 4),       option({"check"}, ""),
                 option({"no-check"}, ""),       option({"q", "quiet"}, ""),
                 option({"v", "verbose"}, ""),   option({"report"}, "FILE", 1 | 4),
                 option({"config"}, "FILE"),     option({"h", "help"}, "")};
    d.options[5].choosesMode = d.options[6].choosesMode = true;
    d.options[5].commandLineOnly = d.options[13].commandLineOnly = true;
    d.options[9].repeatable = d.options[10].repeatable = true;
    d.options[11].valueIsFile = d.options[12].valueIsFile = true;
    d.configOption = QStringLiteral("config");
    d.configVariable = QStringLiteral("PROG_CONFIG");
    d.configName = QStringLiteral("prog/prog.conf");
    return d;
}

// The settings as "name=value" words (FILE:LINE before those of a file), or the error.
QString described(const cli::CommandLine &line)
{
    if (!line.error.isEmpty())
        return line.error;
    QStringList words;
    for (const cli::Setting &s : line.settings) {
        words << s.origin.prefix() + definition().options[s.option].names.last() +
                     (s.value.isEmpty() ? QString() : u'=' + s.value);
    }
    return (words + line.operands).join(u' ');
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
        QTest::newRow("too long to be meant") << QString(65, u'i') << "";
    }
    void closestOption()
    {
        QFETCH(QString, typed);
        QFETCH(QString, meant);
        QCOMPARE(cli::closestOption(typed, definition()), meant);
    }

    void commandLine_data()
    {
        QTest::addColumn<QStringList>("words");
        QTest::addColumn<QString>("read"); // settings and operands, or the error
        QTest::newRow("short options combine, counted")
            << QStringList{"-qv", "-v", "a"} << "quiet verbose verbose a";
        QTest::newRow("values: =, next word, a dash")
            << QStringList{"--port=7", "--reply-timeout", "-1", "-"} << "port=7 reply-timeout=-1 -";
        QTest::newRow("-- ends the options") << QStringList{"--", "--port"} << "--port";
        QTest::newRow("one dash is short options only")
            << QStringList{"-install"} << "unknown option -i in -install; did you mean --install?";
        QTest::newRow("misspelt") << QStringList{"--instal"}
                                  << "unknown option --instal; did you mean --install?";
        QTest::newRow("given twice")
            << QStringList{"--port", "1", "--port=2"} << "--port given more than once";
        QTest::newRow("a flag takes no value")
            << QStringList{"--install=yes"} << "--install takes no value";
        QTest::newRow("a value missing") << QStringList{"--port"} << "--port needs a value (PORT)";
        QTest::newRow("twins") << QStringList{"--no-check", "--check"}
                               << "--no-check and --check exclude each other";
        QTest::newRow("an empty file name")
            << QStringList{"--report="} << "--report \"\": needs a file name";
        QTest::newRow("control bytes escaped, long names cut")
            << QStringList{"--\x1b[2J" + QString(200, u'x')}
            << "unknown option --\\x1b[2J" + QString(76, u'x') + "... (204 characters)";
    }
    void commandLine()
    {
        QFETCH(QStringList, words);
        QFETCH(QString, read);
        QCOMPARE(described(cli::readCommandLine(QStringList{"prog"} + words, definition())), read);
    }

    void longOptionRefusedShortly()
    {
        // Its time is bench_command_line's to measure.
        const auto line =
            cli::readCommandLine({"prog", "--" + QString(131000, u'a')}, definition());
        QVERIFY(!line.error.isEmpty() && line.error.size() < 200);
    }

    // "FILE" in a row stands for the options file's path, "DIR" for its folder.
    void optionsFile_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("where"); // --config, PROG_CONFIG, XDG, HOME, SYSTEM
        QTest::addColumn<QString>("commandLine");
        QTest::addColumn<QString>("read");

        QTest::newRow("values, quotes, comments, blanks")
            << QByteArray("\xEF\xBB\xBF# B\r\n\nattempts = 2   # two\r\nport = \"1 # 2\"\n  "
                          "reply-timeout=0.5\n")
            << "--config"
            << "x"
            << "FILE:3: attempts=2 FILE:4: port=1 # 2 FILE:5: reply-timeout=0.5 config=FILE x";
        QTest::newRow("switches; the command line wins, its twin too")
            << QByteArray("install = yes\nquiet = off\nattempts = 2\nno-check = 1\n")
            << "PROG_CONFIG"
            << "--attempts 5 --check"
            << "FILE:1: install attempts=5 check";
        QTest::newRow("a relative file name is the file's neighbour")
            << QByteArray("report = logs/r.jsonl\n") << "XDG"
            << ""
            << "FILE:1: report=DIR/logs/r.jsonl";
        QTest::newRow("~/.config without XDG_CONFIG_HOME") << QByteArray("port = 9\n") << "HOME"
                                                           << ""
                                                           << "FILE:1: port=9";
        QTest::newRow("the system's when the user has none") << QByteArray("port = 9\n") << "SYSTEM"
                                                             << ""
                                                             << "FILE:1: port=9";
        QTest::newRow("a repeatable option, twice")
            << QByteArray("verbose = 1\nverbose = 1\n") << "--config"
            << ""
            << "FILE:1: verbose FILE:2: verbose config=FILE";

        QTest::newRow("no equals sign") << QByteArray("\nattempts 2\n") << "--config"
                                        << ""
                                        << "FILE:2: \"attempts 2\" is no \"name = value\" line";
        QTest::newRow("unknown name")
            << QByteArray("instal = true\n") << "PROG_CONFIG"
            << ""
            << "FILE:1: unknown option \"instal\"; did you mean \"install\"?";
        QTest::newRow("not a switch value") << QByteArray("install = maybe\n") << "--config"
                                            << ""
                                            << "FILE:1: install takes true or false, not \"maybe\"";
        QTest::newRow("set twice") << QByteArray("port = 1\nport = 2\n") << "--config"
                                   << ""
                                   << "FILE:2: port is set twice (first at FILE:1)";
        QTest::newRow("twins") << QByteArray("check = 1\nno-check = 1\n") << "--config"
                               << ""
                               << "FILE:2: no-check and check (at FILE:1) exclude each other";
        QTest::newRow("for the command line only") << QByteArray("help = true\n") << "--config"
                                                   << ""
                                                   << "FILE:1: --help is for the command line only";
        QTest::newRow("not text")
            << QByteArray("a\0b", 3) << "--config"
            << ""
            << "the options file \"FILE\" is not plain text (UTF-16?); save it as ASCII or UTF-8";
        QTest::newRow("control bytes escaped") << QByteArray("\x1b]0;x\x07 = 1\n") << "--config"
                                               << ""
                                               << "FILE:1: unknown option \"\\x1b]0;x\\x07\"";
        QTest::newRow("a megabyte line") << QByteArray(1000000, 'a') + " = 1\n"
                                         << "--config"
                                         << ""
                                         << "FILE:1: a line longer than 8192 bytes";
    }
    void optionsFile()
    {
        QFETCH(QByteArray, file);
        QFETCH(QString, where);
        QFETCH(QString, commandLine);
        QFETCH(QString, read);
        QTemporaryDir dir;
        const QString folder = dir.filePath(where == u"XDG"      ? "xdg/prog"
                                            : where == u"HOME"   ? "home/.config/prog"
                                            : where == u"SYSTEM" ? "etc/prog"
                                                                 : "station");
        QVERIFY(QDir().mkpath(folder));
        const QString path =
            folder +
            (where.startsWith(u'-') || where == u"PROG_CONFIG" ? "/line-3.conf" : "/prog.conf");
        QFile out(path);
        QVERIFY(out.open(QIODevice::WriteOnly) && out.write(file) == file.size());
        out.close();

        QHash<QString, QString> variables{{"HOME", dir.filePath("home")},
                                          {"XDG_CONFIG_HOME", "relative/is/none"}};
        if (where == u"XDG")
            variables["XDG_CONFIG_HOME"] = dir.filePath("xdg");
        if (where == u"PROG_CONFIG")
            variables["PROG_CONFIG"] = path;
        const cli::Environment environment{
            [&](const char *name) { return variables.value(QString::fromLatin1(name)); },
            dir.filePath("etc")};
        QStringList arguments{"prog"};
        if (where == u"--config")
            arguments << "--config" << path;
        cli::CommandLine line = cli::readCommandLine(
            arguments + commandLine.split(u' ', Qt::SkipEmptyParts), definition());
        cli::readOptionsFile(line, definition(), environment);
        QCOMPARE(described(line), read.replace("FILE", path).replace("DIR", folder));
        QVERIFY(line.error.isEmpty() == line.notes.contains("options file: " + path));
    }

    void optionsFileLookedFor()
    {
        QTemporaryDir dir;
        const cli::Environment environment{
            [&](const char *name) { return qstrcmp(name, "HOME") ? QString() : dir.path(); },
            dir.filePath("etc")};
        const auto read = [&](const QStringList &arguments) {
            cli::CommandLine line = cli::readCommandLine(arguments, definition());
            cli::readOptionsFile(line, definition(), environment);
            return line.error.isEmpty() ? line.notes.join(u'\n') : line.error;
        };
        QCOMPARE(read({"prog"}),
                 QStringLiteral("no options file: none of %1/.config/prog/prog.conf, "
                                "%1/etc/prog/prog.conf is there")
                     .arg(dir.path()));
        QCOMPARE(read({"prog", "--config", "/dev/null"}),
                 QStringLiteral("no options file (/dev/null)"));
        QVERIFY(read({"prog", "--config", "/nonexistent/p.conf"})
                    .startsWith("cannot read the options file \"/nonexistent/p.conf\""));
        QCOMPARE(read({"prog", "--config", dir.path()}),
                 QStringLiteral("the options file \"%1\" is a folder, not a regular file")
                     .arg(dir.path()));
#ifdef Q_OS_UNIX
        // Refused at once: a FIFO opened for reading would wait for a writer.
        const QString fifo = dir.filePath("fifo");
        QVERIFY(::mkfifo(QFile::encodeName(fifo).constData(), 0600) == 0);
        QCOMPARE(read({"prog", "--config", fifo}),
                 QStringLiteral("the options file \"%1\" is a FIFO, not a regular file").arg(fifo));
#endif
    }

    void modes_data()
    {
        QTest::addColumn<QByteArray>("file"); // empty: none
        QTest::addColumn<QString>("commandLine");
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("read"); // settings, or the error; then the notes
        QTest::newRow("plain") << QByteArray() << "--install" << 0 << "install";
        QTest::newRow("two modes")
            << QByteArray() << "--info --batch" << 0 << "--info and --batch exclude each other";
        QTest::newRow("meaningless on the command line")
            << QByteArray() << "--info --install" << 0 << "--install has no meaning with --info";
        QTest::newRow("only with a mode")
            << QByteArray() << "--attempts 2" << 0 << "--attempts goes with --batch";
        QTest::newRow("the file's, left aside")
            << QByteArray("install = 1\nport = 7\n") << "--info" << 1
            << "FILE:2: port=7 info | FILE:1: --install has no meaning with --info: left aside";
        QTest::newRow("the file's mode")
            << QByteArray("batch = 1\n") << "--install" << 2 << "FILE:1: batch install";
        QTest::newRow("the file's mode, the command line's meaningless option")
            << QByteArray("batch = 1\n") << "--port 1 --info" << 1
            << "port=1 info | FILE:1: --batch has no meaning with --info: left aside";
        QTest::newRow("the command line's option, the file's mode")
            << QByteArray("batch = 1\n") << "--local-port 5" << 2
            << "--local-port has no meaning with --batch, which FILE:1 sets";
    }
    void modes()
    {
        QFETCH(QByteArray, file);
        QFETCH(QString, commandLine);
        QFETCH(int, mode);
        QFETCH(QString, read);
        QTemporaryDir dir;
        const QString path = dir.filePath("p.conf");
        QFile out(path);
        QVERIFY(out.open(QIODevice::WriteOnly) && out.write(file) == file.size());
        out.close();
        cli::CommandLine line = cli::readCommandLine(
            QStringList{"prog", "--config", file.isEmpty() ? "/dev/null" : path} +
                commandLine.split(u' '),
            definition());
        cli::readOptionsFile(line, definition(), {});
        line.notes.removeFirst(); // the file read
        cli::chooseMode(line, definition());
        QString got = described(line).remove(QRegularExpression("config=\\S+ ?"));
        if (line.error.isEmpty() && !line.notes.isEmpty())
            got += " | " + line.notes.join(u' ');
        QCOMPARE(got, read.replace("FILE", path));
        if (line.error.isEmpty())
            QCOMPARE(line.mode, mode);
    }

    void terminalSafe()
    {
        QCOMPARE(cli::terminalSafe(u"a\x1b[31m\tb\nc\x7f\u009b\u00fc"),
                 QStringLiteral("a\\x1b[31m\tb\nc\\x7f\\x9b\u00fc"));
        QCOMPARE(cli::shown(u"\u00fc\"", 80), QStringLiteral("\\xc3\\xbc\\x22"));
    }

    void documented()
    {
        cli::Definition d = definition();
        d.options[0].brief = true;
        d.environment = {{"NO_COLOR", "no colour"}};
        d.files = {{"/etc/prog/prog.conf", "the system's"}};
        const QString brief = cli::helpText(d, cli::Detail::Brief);
        QVERIFY(brief.contains("--port PORT") && !brief.contains("--local-port") &&
                brief.contains("--help-all"));
        const QString page = cli::manPage(d, QStringLiteral("1"));
        QVERIFY(page.contains(".SH ENVIRONMENT\n.TP\n\\fBPROG_CONFIG\\fR\n"));
        QVERIFY(page.contains("\\fBNO_COLOR\\fR") &&
                page.contains(".SH FILES\n.TP\n\\fB/etc/prog/prog.conf\\fR"));
    }
};

QTEST_GUILESS_MAIN(TestCommandLine)
#include "test_command_line.moc"
