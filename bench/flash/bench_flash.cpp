// bench_flash: how much longer twenty devices take than one, when flashed at
// once by one corvanel-flash on one thread. Each device is a corvanel-devsim
// on 127.0.0.1 whose replies come 1 ms late, standing for a real device's
// flash write. Usage: bench_flash [DEVICES [LINES [DELAY_MS]]]

#include "support/devsim_process.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>
#include <memory>
#include <vector>

using corvanel::testing::Devsim;

namespace {

struct Result {
    bool ok = false;
    double wallSeconds = 0;
    double slowestHost = 0;
};

Result flash(const QString &image, int devices, int delayMs)
{
    Result result;
    std::vector<std::unique_ptr<Devsim>> sims;
    QStringList targets;
    for (int i = 0; i < devices; ++i) {
        sims.push_back(std::make_unique<Devsim>(
            QStringList{QStringLiteral("--delay-ms"), QString::number(delayMs)}));
    }
    for (auto &sim : sims) {
        if (sim->waitForPort() == 0) {
            std::fprintf(stderr, "bench_flash: the simulators did not start\n");
            return result;
        }
        targets << sim->target();
    }
    QProcess flasher;
    QElapsedTimer clock;
    clock.start();
    flasher.start(QStringLiteral(CORVANEL_FLASH),
                  QStringList{QStringLiteral("--quiet"), QStringLiteral("--json"),
                              QStringLiteral("--local-port"), QStringLiteral("0"), image} +
                      targets);
    if (!flasher.waitForFinished(300000)) {
        std::fprintf(stderr, "bench_flash: the flasher did not finish\n");
        flasher.kill();
        return result;
    }
    result.wallSeconds = double(clock.nsecsElapsed()) / 1e9;
    const QJsonObject json = QJsonDocument::fromJson(flasher.readAllStandardOutput()).object();
    for (const QJsonValue &host : json.value(QStringLiteral("hosts")).toArray())
        result.slowestHost =
            qMax(result.slowestHost, host.toObject().value(QStringLiteral("seconds")).toDouble());
    result.ok = flasher.exitCode() == 0;
    if (!result.ok)
        std::fprintf(stderr, "bench_flash: the flasher ended with %d\n", flasher.exitCode());
    return result;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.contains(QStringLiteral("--help"))) {
        std::printf("usage: bench_flash [DEVICES [LINES [DELAY_MS]]]   (default 20 1000 1; "
                    "a quick look: bench_flash 3 100)\n");
        return 0;
    }
    const int devices = args.size() > 1 ? args[1].toInt() : 20;
    const int lines = args.size() > 2 ? args[2].toInt() : 1000;
    const int delayMs = args.size() > 3 ? args[3].toInt() : 1;
    if (devices < 1 || lines < 2 || delayMs < 0) {
        std::fprintf(stderr, "usage: bench_flash [DEVICES [LINES [DELAY_MS]]]\n");
        return 2;
    }

    // An objcopy image: 16 data bytes a record (and an extended address
    // record at each 64 KiB, so a large image has a few lines more).
    QTemporaryDir dir;
    const QString image = dir.filePath(QStringLiteral("bench.hex"));
    QString why;
    if (!dir.isValid() || !corvanel::testing::writeIntelHex(
                              corvanel::testing::payload(16 * (lines - 1)), image, &why)) {
        std::fprintf(stderr, "bench_flash: cannot write the image: %s\n", qPrintable(why));
        return 1;
    }

    std::printf("image: %d lines, device reply delay %d ms\n",
                int(corvanel::testing::readLines(image).size()), delayMs);
    const Result one = flash(image, 1, delayMs);
    if (!one.ok)
        return 1;
    std::printf("one device:      %7.3f s  (host's own time %.3f s)\n", one.wallSeconds,
                one.slowestHost);
    const Result many = flash(image, devices, delayMs);
    if (!many.ok)
        return 1;
    std::printf("%2d devices:      %7.3f s  (slowest host %.3f s)\n", devices, many.wallSeconds,
                many.slowestHost);
    std::printf("ratio:           %7.2f  (goal: at most 1.50)\n",
                many.wallSeconds / one.wallSeconds);
    return 0;
}
