// bench_flash: how much longer twenty devices take than one, when flashed at
// once by one corvanel-flash on one thread. Each device is a corvanel-devsim
// on 127.0.0.1 whose replies come 1 ms late, standing for a real device's
// flash write. Usage: bench_flash [DEVICES [LINES [DELAY_MS]]]

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <cstdio>
#include <memory>
#include <vector>

namespace {

QByteArray record(int type, int address, const QByteArray &data)
{
    QByteArray bytes;
    bytes.append(char(data.size()));
    bytes.append(char((address >> 8) & 0xff));
    bytes.append(char(address & 0xff));
    bytes.append(char(type));
    bytes.append(data);
    int sum = 0;
    for (char b : bytes)
        sum += static_cast<unsigned char>(b);
    bytes.append(char((-sum) & 0xff));
    return ':' + bytes.toHex().toUpper();
}

bool writeImage(const QString &path, int lines)
{
    QByteArray text;
    for (int i = 0; i + 1 < lines; ++i) {
        QByteArray data;
        for (int j = 0; j < 16; ++j)
            data.append(char((i * 13 + j) & 0xff));
        text += record(0x00, (i * 16) & 0xffff, data) + "\r\n";
    }
    text += ":00000001FF\r\n";
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
}

struct Simulators {
    std::vector<std::unique_ptr<QProcess>> processes;
    QStringList targets;

    ~Simulators()
    {
        for (auto &p : processes) {
            p->kill();
            p->waitForFinished(3000);
        }
    }

    bool start(int count, int delayMs)
    {
        static const QRegularExpression listening(
            QStringLiteral("listening (127\\.0\\.0\\.1:\\d+)"));
        for (int i = 0; i < count; ++i) {
            auto p = std::make_unique<QProcess>();
            p->start(QStringLiteral(CORVANEL_DEVSIM_PATH),
                     {QStringLiteral("--address"), QStringLiteral("127.0.0.1"),
                      QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--delay-ms"),
                      QString::number(delayMs), QStringLiteral("--idle-timeout"),
                      QStringLiteral("60")});
            processes.push_back(std::move(p));
        }
        for (auto &p : processes) {
            QByteArray out;
            QElapsedTimer clock;
            clock.start();
            QRegularExpressionMatch match;
            while (!(match = listening.match(QString::fromLatin1(out))).hasMatch()) {
                if (clock.elapsed() > 10000 || !p->waitForReadyRead(1000))
                    return false;
                out += p->readAllStandardOutput();
            }
            targets << match.captured(1);
        }
        return true;
    }
};

struct Result {
    bool ok = false;
    double wallSeconds = 0;
    double slowestHost = 0;
};

Result flash(const QString &image, int devices, int delayMs)
{
    Result result;
    Simulators sims;
    if (!sims.start(devices, delayMs)) {
        std::fprintf(stderr, "bench_flash: the simulators did not start\n");
        return result;
    }
    QProcess flasher;
    QElapsedTimer clock;
    clock.start();
    flasher.start(QStringLiteral(CORVANEL_FLASH_PATH),
                  QStringList{QStringLiteral("--quiet"), QStringLiteral("--json"),
                              QStringLiteral("--local-port"), QStringLiteral("0"), image} +
                      sims.targets);
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
    const int devices = args.size() > 1 ? args[1].toInt() : 20;
    const int lines = args.size() > 2 ? args[2].toInt() : 1000;
    const int delayMs = args.size() > 3 ? args[3].toInt() : 1;
    if (devices < 1 || lines < 2 || delayMs < 0) {
        std::fprintf(stderr, "usage: bench_flash [DEVICES [LINES [DELAY_MS]]]\n");
        return 2;
    }

    QTemporaryDir dir;
    const QString image = dir.filePath(QStringLiteral("bench.hex"));
    if (!dir.isValid() || !writeImage(image, lines)) {
        std::fprintf(stderr, "bench_flash: cannot write the image\n");
        return 1;
    }

    std::printf("image: %d lines, device reply delay %d ms\n", lines, delayMs);
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
