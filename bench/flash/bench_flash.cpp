// bench_flash: corvanel-flash as a whole process (start-up, image check and
// inquiry included) against the plainest client that sends the same
// datagrams, and many devices at once against one.
//
// 1. One corvanel-devsim on 127.0.0.1, a 9,000-line image: corvanel-flash
//    and bench_flash_raw_client (C, BSD sockets) in turn, each waiting for
//    every reply. Goals: the flasher takes at most 1.15 times the client's
//    time, and at most 1.3 times its CPU time.
// 2. 1,000 lines with replies 1 ms late (a device's flash write), 200
//    simulators: one corvanel-flash flashing them all at once, against 200
//    raw C clients run at the same time, one per simulator. Goal: at most
//    1.05 times as long. The CPU time of each side and of the simulators is
//    printed too: on a small machine they bound the run.
//
// Usage: bench_flash [LINES [DEVICES [MANY_LINES [DELAY_MS [REPEATS]]]]]
//        (default 9000 200 1000 1 5; a quick look: bench_flash 2000 10 200)

#include "support/devsim_process.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

using corvanel::testing::Devsim;

namespace {

constexpr int kRunTimeoutMs = 600000;

double cpuSecondsOfChildren()
{
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// User and system time of a running process, from /proc.
double cpuSecondsOf(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray text = stat.readAll();
    // Fields after the command name, which is in parentheses.
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return 0;
    return double(fields[11].toLongLong() + fields[12].toLongLong()) / double(sysconf(_SC_CLK_TCK));
}

struct Run {
    bool ok = false;
    double seconds = 0;
    double cpu = 0; // the process's own CPU time
};

// One program as a whole process, from start to exit.
Run runProcess(const QString &program, const QStringList &arguments)
{
    Run run;
    QProcess process;
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    const double cpuBefore = cpuSecondsOfChildren();
    QElapsedTimer clock;
    clock.start();
    process.start(program, arguments);
    if (!process.waitForFinished(kRunTimeoutMs)) {
        std::fprintf(stderr, "bench_flash: %s did not finish\n", qPrintable(program));
        process.kill();
        process.waitForFinished();
        return run;
    }
    run.seconds = double(clock.nsecsElapsed()) / 1e9;
    run.cpu = cpuSecondsOfChildren() - cpuBefore;
    run.ok = process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    if (!run.ok)
        std::fprintf(stderr, "bench_flash: %s ended with %d\n", qPrintable(program),
                     process.exitCode());
    return run;
}

Run flasher(const QString &image, const QStringList &targets)
{
    return runProcess(QStringLiteral(CORVANEL_FLASH),
                      QStringList{QStringLiteral("--quiet"), QStringLiteral("--local-port"),
                                  QStringLiteral("0"), image} +
                          targets);
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

// An objcopy image of exactly `lines` lines: data records of 16 bytes, an
// extended address record at each 64 KiB, the end record.
QString writeImage(const QTemporaryDir &dir, int lines)
{
    int records = lines - 1;
    while (records > 0 && records + 1 + ((16 * records - 1) >> 16) > lines)
        --records;
    const QString path = dir.filePath(QStringLiteral("bench%1.hex").arg(lines));
    QString why;
    if (!corvanel::testing::writeIntelHex(corvanel::testing::payload(16 * records), path, &why)) {
        std::fprintf(stderr, "bench_flash: cannot write the image: %s\n", qPrintable(why));
        return {};
    }
    return path;
}

std::vector<std::unique_ptr<Devsim>> startSimulators(int count, int delayMs)
{
    std::vector<std::unique_ptr<Devsim>> sims;
    for (int i = 0; i < count; ++i) {
        sims.push_back(std::make_unique<Devsim>(
            QStringList{QStringLiteral("--delay-ms"), QString::number(delayMs)}));
    }
    for (auto &sim : sims) {
        if (sim->waitForPort() == 0) {
            std::fprintf(stderr, "bench_flash: a simulator did not start: %s\n",
                         qPrintable(sim->errors()));
            return {};
        }
    }
    return sims;
}

double lowest(const std::vector<double> &values)
{
    return values.empty() ? 0 : *std::min_element(values.begin(), values.end());
}

bool againstTheRawClient(const QTemporaryDir &dir, int lines, int repeats)
{
    const QString image = writeImage(dir, lines);
    if (image.isEmpty())
        return false;
    auto sims = startSimulators(1, 0);
    if (sims.empty())
        return false;
    Devsim &sim = *sims.front();
    const QString port = sim.target().section(QLatin1Char(':'), 1);
    // In turn, so that a busy moment of the machine falls on both alike.
    std::vector<double> flash, raw, info, flashCpu, rawCpu;
    for (int i = 0; i < repeats; ++i) {
        const Run f = flasher(image, {sim.target()});
        const Run r = runProcess(QStringLiteral(CORVANEL_RAW_CLIENT),
                                 {QStringLiteral("127.0.0.1"), port, image});
        const Run n = runProcess(QStringLiteral(CORVANEL_FLASH), {QStringLiteral("--info"), image});
        if (!f.ok || !r.ok || !n.ok)
            return false;
        flash.push_back(f.seconds);
        flashCpu.push_back(f.cpu);
        raw.push_back(r.seconds);
        rawCpu.push_back(r.cpu);
        info.push_back(n.seconds);
    }
    const qsizetype imageLines = corvanel::testing::readLines(image).size();
    const double exchanges = 2.0 * double(imageLines) + 1;
    std::printf("1. one simulator, %lld lines, %d runs each (median, fastest):\n",
                qlonglong(imageLines), repeats);
    std::printf("   corvanel-flash          %7.3f s  %7.3f s  (%5.1f us a datagram; CPU %.3f s)\n",
                median(flash), lowest(flash), median(flash) / exchanges * 1e6, median(flashCpu));
    std::printf("   raw C client            %7.3f s  %7.3f s  (%5.1f us a datagram; CPU %.3f s)\n",
                median(raw), lowest(raw), median(raw) / exchanges * 1e6, median(rawCpu));
    std::printf("   corvanel-flash --info   %7.3f s  %7.3f s  (start-up, image read and check)\n",
                median(info), lowest(info));
    std::printf("   ratio                   %7.2f    %7.2f    (goal: at most 1.15)\n",
                median(flash) / median(raw), lowest(flash) / lowest(raw));
    std::printf("   CPU ratio               %7.2f               (goal: at most 1.30)\n",
                median(flashCpu) / std::max(median(rawCpu), 1e-9));
    return true;
}

// One raw C client per simulator, all at once: from the first start to the
// last exit, and the CPU time of them all.
Run rawClients(const QString &image, const std::vector<std::unique_ptr<Devsim>> &sims)
{
    Run run;
    std::vector<std::unique_ptr<QProcess>> clients;
    const double cpuBefore = cpuSecondsOfChildren();
    QElapsedTimer clock;
    clock.start();
    for (const auto &sim : sims) {
        auto client = std::make_unique<QProcess>();
        client->setStandardOutputFile(QProcess::nullDevice());
        client->setStandardErrorFile(QProcess::nullDevice());
        client->start(QStringLiteral(CORVANEL_RAW_CLIENT),
                      {QStringLiteral("127.0.0.1"), sim->target().section(QLatin1Char(':'), 1),
                       image});
        clients.push_back(std::move(client));
    }
    run.ok = true;
    for (auto &client : clients) {
        if (!client->waitForFinished(kRunTimeoutMs)) {
            client->kill();
            client->waitForFinished();
        }
        run.ok = run.ok && client->exitStatus() == QProcess::NormalExit && client->exitCode() == 0;
    }
    run.seconds = double(clock.nsecsElapsed()) / 1e9;
    run.cpu = cpuSecondsOfChildren() - cpuBefore;
    if (!run.ok)
        std::fprintf(stderr, "bench_flash: a raw client failed\n");
    return run;
}

bool manyAtOnce(const QTemporaryDir &dir, const QList<int> &deviceCounts, int lines, int delayMs,
                int repeats)
{
    const QString image = writeImage(dir, lines);
    if (image.isEmpty())
        return false;
    const double exchanges = 2.0 * double(corvanel::testing::readLines(image).size()) + 1;
    const int cores = QThread::idealThreadCount();
    std::printf("2. %d lines, replies %d ms late, one simulator per device; %d cores "
                "(median of %d):\n",
                lines, delayMs, cores, repeats);
    for (int devices : deviceCounts) {
        auto sims = startSimulators(devices, delayMs);
        if (sims.empty())
            return false;
        QStringList targets;
        for (auto &sim : sims)
            targets << sim->target();
        // In turn, against the same simulators: each takes a new image on the
        // next download record.
        std::vector<double> flash, raw, flashCpu, rawCpu, simCpu;
        for (int i = 0; i < repeats; ++i) {
            double before = 0;
            for (auto &sim : sims)
                before += cpuSecondsOf(sim->process().processId());
            const Run many = flasher(image, targets);
            double after = 0;
            for (auto &sim : sims)
                after += cpuSecondsOf(sim->process().processId());
            const Run clients = rawClients(image, sims);
            if (!many.ok || !clients.ok)
                return false;
            flash.push_back(many.seconds);
            flashCpu.push_back(many.cpu);
            raw.push_back(clients.seconds);
            rawCpu.push_back(clients.cpu);
            simCpu.push_back(after - before);
        }
        std::printf("   %3d devices: corvanel-flash %7.3f s, %d raw C clients %7.3f s, ratio %.2f "
                    "(goal: at most 1.05)\n",
                    devices, median(flash), devices, median(raw), median(flash) / median(raw));
        std::printf("       CPU: corvanel-flash %.2f s (%.1f us a datagram), the clients %.2f s, "
                    "the simulators %.2f s\n",
                    median(flashCpu), median(flashCpu) / (exchanges * devices) * 1e6,
                    median(rawCpu), median(simCpu));
    }
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.contains(QStringLiteral("--help"))) {
        std::printf("usage: bench_flash [LINES [DEVICES [MANY_LINES [DELAY_MS [REPEATS]]]]]\n"
                    "       (default 9000 200 1000 1 5; a quick look: bench_flash 2000 10 200)\n");
        return 0;
    }
    const auto arg = [&args](int index, int fallback) {
        return args.size() > index ? args[index].toInt() : fallback;
    };
    const int lines = arg(1, 9000);
    const int devices = arg(2, 200);
    const int manyLines = arg(3, 1000);
    const int delayMs = arg(4, 1);
    const int repeats = arg(5, 5);
    if (lines < 2 || devices < 1 || manyLines < 2 || delayMs < 0 || repeats < 1) {
        std::fprintf(stderr, "usage: bench_flash [LINES [DEVICES [MANY_LINES [DELAY_MS "
                             "[REPEATS]]]]]\n");
        return 2;
    }
    // Each simulator holds a few descriptors here.
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }

    QTemporaryDir dir;
    if (!dir.isValid())
        return 1;
    if (!againstTheRawClient(dir, lines, repeats))
        return 1;
    // Twenty at once shows the flasher where the machine has room; the
    // number asked for shows where it has not.
    QList<int> deviceCounts{devices};
    if (devices > 20)
        deviceCounts.prepend(20);
    if (!manyAtOnce(dir, deviceCounts, manyLines, delayMs, std::max(1, repeats / 2)))
        return 1;
    return 0;
}
