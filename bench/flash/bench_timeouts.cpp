// bench_timeouts: how well corvanel-flash keeps its time-outs with many
// silent hosts at once. HOSTS loopback addresses (127.1.x.y) on one port
// where a socket is bound that never answers; corvanel-flash asks them all
// with --inquiry-timeout S and --json. Each host's own seconds, from its
// start to its time-out, are read from the summary: goal, every one within
// 10% of S.
//
// Usage: bench_timeouts [HOSTS [SECONDS [FLASHER]]] (default 10000 0.3; FLASHER
// another corvanel-flash to compare, such as an older build)

#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QUdpSocket>

#include <algorithm>
#include <cstdio>
#include <vector>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int hosts = args.size() > 1 ? args[1].toInt() : 10000;
    const double seconds = args.size() > 2 ? args[2].toDouble() : 0.3;
    const QString flasher = args.size() > 3 ? args[3] : QStringLiteral(CORVANEL_FLASH);

    // The silent devices: one socket on every loopback address, never read.
    QUdpSocket silent;
    if (!silent.bind(QHostAddress::AnyIPv4, 0)) {
        std::fprintf(stderr, "bench_timeouts: no socket: %s\n", qPrintable(silent.errorString()));
        return 1;
    }
    QTemporaryDir dir;
    QFile list(dir.filePath(QStringLiteral("hosts.txt")));
    QFile image(dir.filePath(QStringLiteral("image.hex")));
    if (!list.open(QIODevice::WriteOnly) || !image.open(QIODevice::WriteOnly))
        return 1;
    for (int i = 0; i < hosts; ++i)
        list.write(QStringLiteral("127.1.%1.%2:%3\n")
                       .arg(i / 250)
                       .arg(1 + i % 250)
                       .arg(silent.localPort())
                       .toLatin1());
    list.close();
    image.write(":0100000055AA\r\n:00000001FF\r\n");
    image.close();

    QProcess run;
    run.start(flasher, {QStringLiteral("--config"), QStringLiteral("/dev/null"),
                        QStringLiteral("--json"), QStringLiteral("-q"),
                        QStringLiteral("--inquiry-timeout"), QString::number(seconds),
                        QStringLiteral("--hosts"), list.fileName(), image.fileName()});
    if (!run.waitForFinished(600000)) {
        std::fprintf(stderr, "bench_timeouts: the flasher did not end\n");
        return 1;
    }
    const QJsonArray rows =
        QJsonDocument::fromJson(run.readAllStandardOutput()).object().value("hosts").toArray();
    std::vector<double> times;
    for (const QJsonValue &row : rows)
        times.push_back(row.toObject().value("seconds").toDouble());
    if (times.size() != size_t(hosts)) {
        std::fprintf(stderr, "bench_timeouts: %zu rows for %d hosts (exit %d)\n%s\n",
                     times.size(), hosts, run.exitCode(),
                     run.readAllStandardError().left(2000).constData());
        return 1;
    }
    std::sort(times.begin(), times.end());
    const double worst = times.back();
    std::printf("%d silent hosts, --inquiry-timeout %.3g s (%s):\n", hosts, seconds,
                qPrintable(flasher));
    std::printf("  each host's time-out: median %.3f s, 99%% %.3f s, worst %.3f s; worst / "
                "time-out %.3f (goal <= 1.10)\n",
                times[times.size() / 2], times[times.size() * 99 / 100], worst, worst / seconds);
    return 0;
}
