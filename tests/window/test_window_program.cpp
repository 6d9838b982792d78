// The built `corvanel` run as a person runs it, in an environment stripped of
// every display: it must answer its command line and say plainly that it has
// nowhere to open the window, never abort.

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

const QString kNoDisplay = u"no display: set DISPLAY or WAYLAND_DISPLAY, or use corvanel-flash\n"_s;
const QString kUsage = u"Usage: corvanel [--help | --version]\n"_s;

} // namespace

class TestWindowProgram : public QObject {
    Q_OBJECT

private slots:
    void withoutDisplay_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QStringList>("environment"); // NAME=value, on top of the stripped one
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("out");     // standard output starts with this; "" for none
        QTest::addColumn<QString>("err");     // standard error ends with this
        QTest::addColumn<bool>("errIsWhole"); // and holds nothing else

        const QStringList none;
        QTest::newRow("nothing") << none << none << 2 << u""_s << kNoDisplay << true;
        // Qt's own options wait for a display; they are no usage error.
        QTest::newRow("a Qt option")
            << QStringList{u"-style"_s, u"fusion"_s} << none << 2 << u""_s << kNoDisplay << true;
        QTest::newRow("X11 asked for")
            << none << QStringList{u"QT_QPA_PLATFORM=xcb"_s} << 2 << u""_s << kNoDisplay << true;
        // Set, but no server there: Qt gives up, and its abort is replaced.
        QTest::newRow("a display that cannot be opened")
            << none << QStringList{u"DISPLAY=:9999"_s} << 2 << u""_s << kNoDisplay << false;
        QTest::newRow("unknown option")
            << QStringList{u"--bogus"_s} << none << 2 << u""_s
            << u"corvanel: Unknown option 'bogus'.\n"_s + kUsage + u"Try 'corvanel --help'.\n"_s
            << true;
        QTest::newRow("unknown option after a Qt one")
            << QStringList{u"-style=fusion"_s, u"--bogus"_s} << none << 2 << u""_s
            << u"corvanel: Unknown option 'bogus'.\n"_s + kUsage + u"Try 'corvanel --help'.\n"_s
            << true;
        // A platform that needs no display is Qt's to start; the option is
        // then refused once the application has taken out its own.
        QTest::newRow("offscreen, unknown option")
            << QStringList{u"--bogus"_s} << QStringList{u"QT_QPA_PLATFORM=offscreen"_s} << 2
            << u""_s << kUsage + u"Try 'corvanel --help'.\n"_s << false;
        QTest::newRow("-platform offscreen, unknown option")
            << QStringList{u"-platform"_s, u"offscreen"_s, u"--bogus"_s} << none << 2 << u""_s
            << kUsage + u"Try 'corvanel --help'.\n"_s << false;
        QTest::newRow("--version") << QStringList{u"--version"_s} << none << 0
                                   << u"corvanel " CORVANEL_VERSION "\n"_s << u""_s << true;
        QTest::newRow("--help") << QStringList{u"--help"_s} << none << 0 << kUsage << u""_s << true;
    }

    void withoutDisplay()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QStringList, environment);
        QFETCH(int, exitCode);
        QFETCH(QString, out);
        QFETCH(QString, err);
        QFETCH(bool, errIsWhole);

        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            env.remove(QString::fromLatin1(name));
        for (const QString &setting : std::as_const(environment))
            env.insert(setting.section(u'=', 0, 0), setting.section(u'=', 1));
        // The window, should it start, finds no address list of ours here.
        QTemporaryDir folder;
        QProcess program;
        program.setProcessEnvironment(env);
        program.setWorkingDirectory(folder.path());
        program.start(QStringLiteral(CORVANEL_WINDOW), arguments);
        QVERIFY(program.waitForFinished(20000));
        const QString stdOut = QString::fromLocal8Bit(program.readAllStandardOutput());
        const QString stdErr = QString::fromLocal8Bit(program.readAllStandardError());
        const QString both = stdOut + u"\n---\n"_s + stdErr;
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QVERIFY2(program.exitCode() == exitCode, qPrintable(both));
        QVERIFY2(out.isEmpty() ? stdOut.isEmpty() : stdOut.startsWith(out), qPrintable(both));
        QVERIFY2(errIsWhole ? stdErr == err : stdErr.endsWith(err), qPrintable(both));
    }
};

QTEST_GUILESS_MAIN(TestWindowProgram)
#include "test_window_program.moc"
