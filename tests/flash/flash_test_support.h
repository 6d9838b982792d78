#pragma once

// Helpers for the flasher's tests: a scripted device on a plain loopback
// socket, a run of the flasher itself, and (from support/) the bootloader
// simulator and objcopy images. Loopback only.

#include "support/devsim_process.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkDatagram>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QUdpSocket>

#include <algorithm>
#include <functional>
#include <memory>

namespace corvanel::flashtest {

using namespace corvanel::testing;

// An objcopy image of `dataRecords` records of 16 bytes and the end record,
// written into `dir`; `lines` and `data` receive its lines and bytes.
inline QString objcopyImage(const QTemporaryDir &dir, int dataRecords, QList<QByteArray> *lines,
                            QByteArray *data = nullptr)
{
    const QString path = dir.filePath(QStringLiteral("image%1.hex").arg(dataRecords));
    const QByteArray bytes = payload(16 * dataRecords);
    if (!writeIntelHex(bytes, path))
        return {};
    *lines = readLines(path);
    if (data)
        *data = bytes;
    return path;
}

inline QString writeFile(const QTemporaryDir &dir, const QString &name, const QByteArray &text)
{
    const QString path = dir.filePath(name);
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(text) == text.size() ? path : QString();
}

// A device played by the test: a plain socket on 127.0.0.1 that records every
// datagram and answers what the script says (nothing for an empty answer).
class ScriptedDevice {
public:
    using Script = std::function<QByteArray(const QByteArray &datagram)>;

    explicit ScriptedDevice(Script script = {}) : script_(std::move(script))
    {
        socket_.bind(QHostAddress::LocalHost, 0);
        QObject::connect(&socket_, &QUdpSocket::readyRead, &socket_, [this] {
            while (socket_.hasPendingDatagrams()) {
                const QNetworkDatagram d = socket_.receiveDatagram();
                received.append(d.data());
                peerPort = quint16(d.senderPort());
                const QByteArray answer = script_ ? script_(d.data()) : QByteArray();
                if (!answer.isEmpty())
                    socket_.writeDatagram(answer, d.senderAddress(), quint16(d.senderPort()));
            }
        });
    }

    QString target() const { return QStringLiteral("127.0.0.1:%1").arg(socket_.localPort()); }
    // One more datagram to the sender of the last one (a script's extra answer).
    void reply(const QByteArray &datagram)
    {
        socket_.writeDatagram(datagram, QHostAddress::LocalHost, peerPort);
    }

    QList<QByteArray> received;
    quint16 peerPort = 0; // the sender of the last datagram

private:
    QUdpSocket socket_;
    Script script_;
};

// The bootloader's plain answers: "VER=" to the inquiry, "DOWNLOAD" to the
// end-of-file record in both passes, "OK" to other lines, nothing to "BOOTg".
inline QByteArray bootloaderAnswer(const QByteArray &datagram)
{
    if (datagram == "BOOTi\r\n")
        return "VER=SCRIPT\r\n";
    if (datagram == "BOOTg\r\n")
        return {};
    return datagram.mid(5).startsWith("00000001FF") ? "DOWNLOAD\r\n" : "OK\r\n";
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

// Starts the flasher, on a local port the system chooses unless the
// arguments name one or use no network (--info, --write-hex, --summary); the caller's
// event loop keeps scripted devices answering.
inline std::unique_ptr<QProcess> startFlasher(QStringList arguments)
{
    const bool network = std::none_of(arguments.cbegin(), arguments.cend(), [](const QString &a) {
        return a == QLatin1String("--info") || a == QLatin1String("--summary") ||
               a.startsWith(QLatin1String("--write-hex")) ||
               a.startsWith(QLatin1String("--local-port"));
    });
    if (network && !arguments.isEmpty())
        arguments.prepend(QStringLiteral("--local-port=0"));
    auto process = std::make_unique<QProcess>();
    process->start(QStringLiteral(CORVANEL_FLASH), arguments);
    return process;
}

inline FlashRun finishFlasher(QProcess &process, int timeoutMs = 15000)
{
    FlashRun run;
    QElapsedTimer clock;
    clock.start();
    QSignalSpy finished(&process, &QProcess::finished);
    if (process.state() != QProcess::NotRunning)
        finished.wait(timeoutMs);
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
    return finishFlasher(*startFlasher(arguments), timeoutMs);
}

// A simulator process that is ended with its handle.
struct EndProcess {
    void operator()(QProcess *process) const
    {
        process->kill();
        process->waitForFinished(5000);
        delete process;
    }
};
using DevsimHandle = std::unique_ptr<QProcess, EndProcess>;

// corvanel-devsim bound to ADDRESS:PORT (--scan needs several on one port);
// empty when it did not start listening.
inline DevsimHandle startDevsimAt(const QString &address, quint16 port)
{
    DevsimHandle process(new QProcess);
    process->start(QStringLiteral(CORVANEL_DEVSIM),
                   {QStringLiteral("--address"), address, QStringLiteral("--port"),
                    QString::number(port), QStringLiteral("--idle-timeout"), QStringLiteral("60")});
    QByteArray out;
    QElapsedTimer clock;
    clock.start();
    while (!out.contains("listening") && clock.elapsed() < 10000 &&
           process->state() != QProcess::NotRunning) {
        process->waitForReadyRead(100);
        out += process->readAllStandardOutput();
    }
    if (!out.contains("listening"))
        return nullptr;
    return process;
}

// A UDP port free on every address right now.
inline quint16 freePort()
{
    QUdpSocket probe;
    return probe.bind(QHostAddress::AnyIPv4, 0) ? probe.localPort() : 0;
}

} // namespace corvanel::flashtest
