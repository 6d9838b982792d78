// bench_command_line: how fast text from outside is refused. A 131,000-
// character option on the command line and a profile line of 1 MB, each read
// with the flasher's option table. Goal: each refused within 0.1 s (the
// did-you-mean search runs on names of at most 64 characters).

#include "flash/flash_options.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>

using namespace corvanel;

int main()
{
    const cli::Definition &definition = flash::commandLine();
    QElapsedTimer clock;
    clock.start();
    const cli::CommandLine option =
        cli::readCommandLine({"corvanel-flash", "--" + QString(131000, u'a')}, definition);
    const qint64 optionMs = clock.elapsed();

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("flash.conf"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(QByteArray(1000000, 'a') + " = 1\n") < 0)
        return 1;
    file.close();
    const cli::Environment environment{[](const char *) { return QString(); }, dir.path()};
    clock.restart();
    cli::CommandLine profile =
        cli::readCommandLine({"corvanel-flash", "--config", path, "x.hex"}, definition);
    cli::readOptionsFile(profile, definition, environment);
    const qint64 profileMs = clock.elapsed();

    std::printf("a 131,000-character option: refused in %lld ms (%s)\n", optionMs,
                option.error.isEmpty() ? "not refused!" : "refused");
    std::printf("a 1 MB profile line: refused in %lld ms (%s); goal: each within 100 ms\n",
                profileMs, profile.error.isEmpty() ? "not refused!" : "refused");
    return option.error.isEmpty() || profile.error.isEmpty() ? 1 : 0;
}
