// corvanel-flash's command line as the flasher takes it, in-process: the
// station profile (named, or found in the user's or the system's folder),
// every file checked before anything is opened, contradictions refused with
// where each side came from, the levels of -v and -q, and the help's size.
// The generic rules are test_command_line's.

#include "flash/flash_options.h"

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

using namespace corvanel;
using namespace corvanel::flash;
using namespace std::chrono_literals;
using Action = ParsedArguments::Action;

class TestFlashConfig : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;
    QHash<QString, QString> variables_; // the environment the parser sees
    QString image_;

    void write(const QString &path, const QByteArray &text)
    {
        QDir().mkpath(QFileInfo(path).path());
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(text) == text.size());
    }

    // The words with IMG (a HEX file), PIPE (a FIFO), DIR, LINK (to IMG) and OUT (not
    // there yet) put in; PROFILE, when given, is the --config file FILE.
    ParsedArguments parse(QString words, const QByteArray &profile = {})
    {
        const QString file = dir_.filePath("line-3.conf");
        QStringList arguments{"corvanel-flash"};
        if (!profile.isNull()) {
            write(file, profile);
            arguments << "--config" << file;
        }
        words.replace("IMG", image_).replace("PIPE", dir_.filePath("fifo"));
        words.replace("DIR", dir_.path())
            .replace("LINK", dir_.filePath("link"))
            .replace("OUT", dir_.filePath("out"));
        const cli::Environment environment{
            [this](const char *name) { return variables_.value(name); }, dir_.filePath("etc")};
        const auto noLookup = [](const QString &) -> std::variant<quint32, QString> {
            return QStringLiteral("no lookups here");
        };
        return parseArguments(arguments + words.split(u' ', Qt::SkipEmptyParts), readHostsFile,
                              noLookup, environment);
    }

    // A row's expectation: the error as it stands, or (exit code 0) a text
    // among what -v or the terminal is told.
    void check(const QByteArray &profile, const QString &words, int code, QString expected)
    {
        const ParsedArguments parsed = parse(words, profile);
        expected.replace("FILE", dir_.filePath("line-3.conf")).replace("IMG", image_);
        expected.replace("PIPE", dir_.filePath("fifo")).replace("DIR", dir_.path());
        expected.replace("LINK", dir_.filePath("link")).replace("OUT", dir_.filePath("out"));
        QCOMPARE(parsed.action, code == 0   ? Action::Run
                                : code == 2 ? Action::UsageError
                                            : Action::FileError);
        if (code != 0)
            QCOMPARE(parsed.error, expected);
        else
            QVERIFY2((parsed.notes + parsed.said).join(u'\n').contains(expected),
                     qPrintable((parsed.notes + parsed.said).join(u'\n')));
    }

private slots:
    void initTestCase()
    {
        image_ = dir_.filePath("a.hex");
        write(image_, ":0100000000FF\r\n:00000001FF\r\n");
        QVERIFY(QFile::link(image_, dir_.filePath("link")));
#ifdef Q_OS_UNIX
        QVERIFY(::mkfifo(QFile::encodeName(dir_.filePath("fifo")).constData(), 0600) == 0);
#endif
        variables_["HOME"] = dir_.filePath("home");
    }

    void profileSetsTheRun()
    {
        const ParsedArguments parsed =
            parse("--attempts 5 IMG 127.0.0.2", "station = line-3\nreport = line-3.jsonl\nattempts "
                                                "= 2\ninstall = true\nreply-timeout = 0.5\n");
        QCOMPARE(parsed.action, Action::Run);
        QCOMPARE(parsed.options.station, QStringLiteral("line-3"));
        QCOMPARE(parsed.options.reportPath, dir_.filePath("line-3.jsonl"));
        QCOMPARE(parsed.options.hosts.size(), 1);
        QCOMPARE(parsed.options.hosts[0].attempts, 5); // the command line wins
        QVERIFY(parsed.options.hosts[0].install);
        QCOMPARE(parsed.options.hosts[0].limits.replyTimeout, 500ms);
    }

    void contradictions_data()
    {
        QTest::addColumn<QByteArray>("profile"); // null: none
        QTest::addColumn<QString>("words");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("expected");
        QTest::newRow("dry run, install") << QByteArray() << "--dry-run --install IMG 127.0.0.1"
                                          << 2 << "--install has no meaning with --dry-run";
        QTest::newRow("scan, install") << QByteArray() << "--scan --install 127.0.0.1" << 2
                                       << "--install has no meaning with --scan";
        QTest::newRow("info, report") << QByteArray() << "--info --report OUT IMG" << 2
                                      << "--report has no meaning with --info";
        QTest::newRow("write-hex, attempts") << QByteArray() << "--write-hex OUT --attempts 3 IMG"
                                             << 2 << "--attempts has no meaning with --write-hex";
        QTest::newRow("continuous, scan time")
            << QByteArray() << "--continuous --scan-time 1 IMG 127.0.0.1" << 2
            << "--scan-time has no meaning with --continuous";
        QTest::newRow("two modes")
            << QByteArray() << "--info --scan IMG" << 2 << "--info and --scan exclude each other";
        QTest::newRow("count without continuous")
            << QByteArray() << "--count 3 IMG 127.0.0.1" << 2 << "--count goes with --continuous";
        QTest::newRow("gone time under its floor")
            << QByteArray() << "--continuous --gone-time 0.05 IMG 127.0.0.1" << 2
            << "--gone-time \"0.05\": must be a number of seconds from 0.1, the shortest allowed, "
               "to a day";
        QTest::newRow("one dash, a long name")
            << QByteArray() << "-install IMG 127.0.0.1" << 2
            << "unknown option -i in -install; did you mean --install?";
        QTest::newRow("profile: a one-run mode")
            << QByteArray("dry-run = true\n") << "--install IMG 127.0.0.1" << 2
            << "FILE:1: --dry-run is for the command line only";
        QTest::newRow("profile's mode, command line's option")
            << QByteArray("continuous = on\n") << "--scan-time 1 IMG 127.0.0.1" << 2
            << "--scan-time has no meaning with --continuous, which FILE:1 sets";
        QTest::newRow("profile's value under the floor")
            << QByteArray("\ngone-time = 0.099\n") << "--continuous IMG 127.0.0.1" << 2
            << "FILE:2: --gone-time \"0.099\": must be a number of seconds from 0.1, the shortest "
               "allowed, to a day";
        QTest::newRow("profile's control bytes escaped")
            << QByteArray("format = \x1b[2J\x07\n") << "IMG 127.0.0.1" << 2
            << "FILE:1: --format \"\\x1b[2J\\x07\": must be hex, bin, srec or elf";
        QTest::newRow("profile's install, left aside in a dry run")
            << QByteArray("install = true\n") << "--dry-run IMG 127.0.0.1" << 0
            << "FILE:1: --install has no meaning with --dry-run: left aside";
        QTest::newRow("profile's continuous, said")
            << QByteArray("continuous = true\n") << "IMG 127.0.0.1" << 0
            << "FILE:1 sets --continuous";
    }
    void contradictions()
    {
        QFETCH(QByteArray, profile);
        QFETCH(QString, words);
        QFETCH(int, code);
        QFETCH(QString, expected);
        check(profile, words, code, expected);
    }

    // Every file option: what it may name, and one file in two roles.
    void files_data()
    {
        QTest::addColumn<QString>("environment"); // CORVANEL_FLASH_CONFIG
        QTest::addColumn<QByteArray>("profile");
        QTest::addColumn<QString>("words");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("expected");
        QTest::newRow("IMAGE: a FIFO")
            << "" << QByteArray() << "PIPE 127.0.0.1" << 4
            << "the image \"PIPE\" is a FIFO, not a regular file (\"-\" reads standard input)";
        QTest::newRow("IMAGE: a folder")
            << "" << QByteArray() << "DIR 127.0.0.1" << 4
            << "the image \"DIR\" is a folder, not a regular file (\"-\" reads standard input)";
        QTest::newRow("IMAGE: standard input") << "" << QByteArray() << "- 127.0.0.1" << 0 << "";
        QTest::newRow("--hosts: a FIFO")
            << "" << QByteArray() << "--hosts PIPE IMG" << 2
            << "--hosts \"PIPE\" is a FIFO, not a regular file (\"-\" reads standard input)";
        QTest::newRow("--hosts and IMAGE: both standard input")
            << "" << QByteArray() << "--hosts - -" << 2
            << "standard input is both the image and --hosts";
        QTest::newRow("--config: a FIFO")
            << "" << QByteArray() << "--config PIPE IMG 127.0.0.1" << 2
            << "the options file \"PIPE\" is a FIFO, not a regular file";
        QTest::newRow("--config /dev/null: none")
            << "" << QByteArray() << "--config /dev/null IMG 127.0.0.1" << 0
            << "no options file (/dev/null)";
        QTest::newRow("CORVANEL_FLASH_CONFIG: a FIFO")
            << "PIPE" << QByteArray() << "IMG 127.0.0.1" << 2
            << "the options file \"PIPE\" is a FIFO, not a regular file";
        QTest::newRow("--report: a device")
            << "" << QByteArray() << "--report /dev/null IMG 127.0.0.1" << 4
            << "--report \"/dev/null\" is a device, not a regular file";
        QTest::newRow("--report: a folder")
            << "" << QByteArray() << "--report DIR IMG 127.0.0.1" << 4
            << "--report \"DIR\" is a folder, not a regular file";
        QTest::newRow("--report: not standard output")
            << "" << QByteArray() << "--report - IMG 127.0.0.1" << 2
            << "--report \"-\": give a file name (\"./-\" for a file called \"-\")";
        QTest::newRow("--trace: a FIFO") << "" << QByteArray() << "--trace PIPE IMG 127.0.0.1" << 4
                                         << "--trace \"PIPE\" is a FIFO, not a regular file";
        QTest::newRow("--write-hex: a device")
            << "" << QByteArray() << "--write-hex /dev/null IMG" << 4
            << "--write-hex \"/dev/null\" is a device, not a regular file (\"-\" writes "
               "standard output)";
        QTest::newRow("--write-hex: standard output")
            << "" << QByteArray() << "--write-hex - IMG" << 0 << "";
        QTest::newRow("--write-hex over IMAGE") << "" << QByteArray() << "--write-hex IMG IMG" << 2
                                                << "\"IMG\" is both the image and --write-hex";
        QTest::newRow("--write-hex over IMAGE, by a link")
            << "" << QByteArray() << "--write-hex LINK IMG" << 2
            << "\"IMG\" (the image) and \"LINK\" (--write-hex) are the same file";
        QTest::newRow("--report and --trace, not there yet")
            << "" << QByteArray() << "--report OUT --trace DIR/./out IMG 127.0.0.1" << 2
            << "\"OUT\" (--report) and \"DIR/./out\" (--trace) are the same file";
        QTest::newRow("the profile as its own report")
            << "" << QByteArray("report = line-3.conf\n") << "IMG 127.0.0.1" << 2
            << "\"FILE\" is both the options file and --report (FILE:1)";
    }
    void files()
    {
        QFETCH(QString, environment);
        QFETCH(QByteArray, profile);
        QFETCH(QString, words);
        QFETCH(int, code);
        QFETCH(QString, expected);
#ifndef Q_OS_UNIX
        if (words.contains("PIPE") || environment == u"PIPE")
            QSKIP("FIFOs are POSIX");
#endif
        variables_["CORVANEL_FLASH_CONFIG"] = environment.replace("PIPE", dir_.filePath("fifo"));
        check(profile, words, code, expected);
        variables_.remove("CORVANEL_FLASH_CONFIG");
    }

    void levels_data()
    {
        QTest::addColumn<QString>("words");
        QTest::addColumn<int>("verbosity");
        QTest::addColumn<int>("quiet");
        QTest::newRow("-vv -q") << "-vv -q" << 2 << 1;
        QTest::newRow("-qq -v") << "-qq -v" << 1 << 2;
        QTest::newRow("-qv --verbose -v: at most 2") << "-qv --verbose -v" << 2 << 1;
    }
    void levels()
    {
        QFETCH(QString, words);
        QFETCH(int, verbosity);
        QFETCH(int, quiet);
        const ParsedArguments parsed = parse(words + " IMG 127.0.0.1");
        QCOMPARE(parsed.options.verbosity, verbosity);
        QCOMPARE(parsed.options.quiet, quiet);
    }

    void helpFitsATerminal()
    {
        QCOMPARE(parse("-V").action, Action::Version);
        QCOMPARE(parse("-qh").action, Action::Help);
        const QString brief = cli::helpText(commandLine(), cli::Detail::Brief);
        const QString all = cli::helpText(commandLine(), cli::Detail::Full);
        const QString page = cli::manPage(commandLine(), "1");
        QVERIFY2(brief.count(u'\n') <= 60, qPrintable(brief));
        for (const QString &line : (brief + all).split(u'\n'))
            QVERIFY2(line.size() <= 80, qPrintable(line));
        for (const cli::Option &option : commandLine().options) {
            for (const QString &form : cli::optionForms(option)) {
                QVERIFY2(QRegularExpression("^  (-\\w, )?" + form + "\\b",
                                            QRegularExpression::MultilineOption)
                             .match(all)
                             .hasMatch(),
                         qPrintable(form));
                QVERIFY2(page.contains("\\fB" + QString(form).replace("-", "\\-") + "\\fR"),
                         qPrintable(form));
            }
        }
    }

    void profileFound_data()
    {
        QTest::addColumn<QStringList>("present"); // XDG, HOME, SYSTEM
        QTest::addColumn<QString>("read");        // the folder whose profile is read; empty: none
        QTest::newRow("XDG_CONFIG_HOME first")
            << QStringList{"xdg", "home/.config", "etc"} << "xdg";
        QTest::newRow("XDG_CONFIG_HOME's none, the system's")
            << QStringList{"home/.config", "etc"} << "etc";
        QTest::newRow("~/.config without XDG_CONFIG_HOME")
            << QStringList{"home/.config", "etc"} << "home/.config";
        QTest::newRow("the system's") << QStringList{"etc"} << "etc";
        QTest::newRow("none") << QStringList{} << "";
    }
    void profileFound()
    {
        QFETCH(QStringList, present);
        QFETCH(QString, read);
        for (const char *folder : {"xdg", "home", "etc"})
            QDir(dir_.filePath(folder)).removeRecursively();
        for (const QString &folder : std::as_const(present))
            write(dir_.filePath(folder + "/corvanel/flash.conf"),
                  "station = " + folder.toLatin1() + '\n');
        if (!QString(QTest::currentDataTag()).contains("without"))
            variables_["XDG_CONFIG_HOME"] = dir_.filePath("xdg");
        const ParsedArguments parsed = parse("-v IMG 127.0.0.1");
        variables_.remove("XDG_CONFIG_HOME");
        QCOMPARE(parsed.options.station, read);
        QCOMPARE(parsed.notes.value(0),
                 read.isEmpty()
                     ? QStringLiteral("no options file: none of %1/xdg/corvanel/flash.conf, "
                                      "%1/etc/corvanel/flash.conf is there")
                           .arg(dir_.path())
                     : "options file: " + dir_.filePath(read + "/corvanel/flash.conf"));
    }
};

QTEST_GUILESS_MAIN(TestFlashConfig)
#include "test_flash_config.moc"
