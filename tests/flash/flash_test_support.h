#pragma once

// Helpers for the flasher's tests: HEX images written to a temporary folder,
// the bootloader simulator as a child process, a scripted device on a plain
// loopback socket, and a run of the flasher itself. Loopback only.

#include <QByteArray>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QNetworkDatagram>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>

#include <functional>
#include <memory>

namespace corvanel::flashtest {

inline const QHostAddress kLoopback{QStringLiteral("127.0.0.1")};

// One Intel HEX record with its checksum.
inline QByteArray hexRecord(int type, int address, const QByteArray &data)
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

// A contiguous image from address 0: `lines` - 1 data records of 16 bytes and
// the end-of-file record. `data` receives the programmed bytes in order.
inline QList<QByteArray> makeImage(int lines, QByteArray *data = nullptr)
{
    QList<QByteArray> records;
    for (int i = 0; i + 1 < lines; ++i) {
        QByteArray chunk;
        for (int j = 0; j < 16; ++j)
            chunk.append(char((i * 31 + j * 7 + 3) & 0xff));
        if (data)
            data->append(chunk);
        records.append(hexRecord(0x00, i * 16, chunk));
    }
    records.append(QByteArrayLiteral(":00000001FF"));
    return records;
}

inline QString writeFile(const QTemporaryDir &dir, const QString &name, const QByteArray &text)
{
    const QString path = dir.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return {};
    file.write(text);
    return path;
}

inline QString writeImage(const QTemporaryDir &dir, const QString &name,
                          const QList<QByteArray> &lines)
{
    return writeFile(dir, name, lines.join("\r\n") + "\r\n");
}

// CRC-32 as zlib computes it, written here from the definition.
inline quint32 crc32(const QByteArray &bytes)
{
    quint32 crc = 0xFFFFFFFFu;
    for (char c : bytes) {
        crc ^= static_cast<unsigned char>(c);
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

// corvanel-devsim on 127.0.0.1 with a system-chosen port.
class Devsim {
public:
    explicit Devsim(const QStringList &extra = {})
    {
        process_.setProgram(QStringLiteral(CORVANEL_DEVSIM_PATH));
        process_.setArguments(QStringList{QStringLiteral("--address"), QStringLiteral("127.0.0.1"),
                                          QStringLiteral("--port"), QStringLiteral("0"),
                                          QStringLiteral("--idle-timeout"), QStringLiteral("20")} +
                              extra);
        process_.start();
    }
    ~Devsim()
    {
        if (process_.state() != QProcess::NotRunning) {
            process_.kill();
            process_.waitForFinished(3000);
        }
    }

    // Waits for "listening 127.0.0.1:PORT"; 0 when it never comes.
    quint16 waitForPort()
    {
        static const QRegularExpression listening(
            QStringLiteral("listening 127\\.0\\.0\\.1:(\\d+)"));
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 5000) {
            output_ += process_.readAllStandardOutput();
            const auto match = listening.match(QString::fromLatin1(output_));
            if (match.hasMatch())
                return quint16(match.captured(1).toUInt());
            if (process_.state() == QProcess::NotRunning)
                return 0;
            process_.waitForReadyRead(100);
        }
        return 0;
    }

    // The summary line printed on "BOOTg"; empty when it does not come.
    QString waitForSummary(int ms = 3000)
    {
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < ms) {
            output_ += process_.readAllStandardOutput();
            const qsizetype at = output_.indexOf("summary ");
            if (at >= 0 && output_.indexOf('\n', at) > at)
                return QString::fromLatin1(output_.mid(at, output_.indexOf('\n', at) - at))
                    .trimmed();
            if (process_.state() == QProcess::NotRunning && !process_.bytesAvailable())
                return {};
            process_.waitForReadyRead(100);
        }
        return {};
    }

    QProcess &process() { return process_; }

private:
    QProcess process_;
    QByteArray output_;
};

// A device played by the test: a plain socket on 127.0.0.1 that records every
// datagram and answers what the script says (nothing for an empty answer).
class ScriptedDevice {
public:
    using Script = std::function<QByteArray(const QByteArray &datagram, int index)>;

    explicit ScriptedDevice(Script script = {}) : script_(std::move(script))
    {
        socket_.bind(kLoopback, 0);
        QObject::connect(&socket_, &QUdpSocket::readyRead, &socket_, [this] {
            while (socket_.hasPendingDatagrams()) {
                const QNetworkDatagram d = socket_.receiveDatagram();
                received.append(d.data());
                if (!script_)
                    continue;
                const QByteArray answer = script_(d.data(), int(received.size()) - 1);
                if (!answer.isEmpty())
                    socket_.writeDatagram(answer, d.senderAddress(), quint16(d.senderPort()));
            }
        });
    }

    quint16 port() const { return socket_.localPort(); }
    QString target() const { return QStringLiteral("127.0.0.1:%1").arg(port()); }

    QList<QByteArray> received;

private:
    QUdpSocket socket_;
    Script script_;
};

// The bootloader's plain answers, as a script: "VER=" to the inquiry,
// "DOWNLOAD" to the end-of-file record in both passes, "OK" to other lines.
inline QByteArray bootloaderAnswer(const QByteArray &datagram)
{
    if (datagram == "BOOTi\r\n")
        return "VER=SCRIPT\r\n";
    if (datagram == "BOOTg\r\n")
        return {};
    if (datagram.mid(5).startsWith("00000001FF"))
        return "DOWNLOAD\r\n";
    return "OK\r\n";
}

// One run of corvanel-flash, waited for with a bound.
struct FlashRun {
    int exitCode = -1;
    bool finished = false;
    qint64 ms = 0;
    QByteArray out;
    QByteArray err;

    QJsonObject json() const { return QJsonDocument::fromJson(out).object(); }
    QJsonObject host(int index) const
    {
        return json().value(QStringLiteral("hosts")).toArray().at(index).toObject();
    }
};

// The options every test run uses: a system-chosen local port.
inline QStringList flashArguments(const QStringList &extra)
{
    return QStringList{QStringLiteral("--local-port"), QStringLiteral("0")} + extra;
}

// Starts the flasher; the caller's event loop keeps scripted devices answering.
inline std::unique_ptr<QProcess> startFlasher(const QStringList &arguments)
{
    auto process = std::make_unique<QProcess>();
    process->setProgram(QStringLiteral(CORVANEL_FLASH_PATH));
    process->setArguments(flashArguments(arguments));
    process->start();
    return process;
}

inline FlashRun finishFlasher(QProcess &process, int timeoutMs = 15000)
{
    FlashRun run;
    QElapsedTimer clock;
    clock.start();
    if (process.state() != QProcess::NotRunning) {
        QSignalSpy done(&process, &QProcess::finished);
        done.wait(timeoutMs);
    }
    run.ms = clock.elapsed();
    run.finished = process.state() == QProcess::NotRunning;
    if (!run.finished) {
        process.kill();
        process.waitForFinished(3000);
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    return run;
}

inline FlashRun runFlasher(const QStringList &arguments, int timeoutMs = 15000)
{
    QElapsedTimer clock;
    clock.start();
    auto process = startFlasher(arguments);
    FlashRun run = finishFlasher(*process, timeoutMs);
    run.ms = clock.elapsed();
    return run;
}

} // namespace corvanel::flashtest
