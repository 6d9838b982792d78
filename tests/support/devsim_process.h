#pragma once

// The bootloader simulator as a child process on loopback, and HEX images made
// by objcopy: what the window and flasher tests and their benchmarks share.
// Needs CORVANEL_DEVSIM and CORVANEL_OBJCOPY (program paths) and a link to
// corvanel_devsim_core for the simulator's CRC-32.

#include "image/image_figures.h"
#include "tools/devsim/bootloader_model.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QList>
#include <QProcess>
#include <QRegularExpression>
#include <QString>
#include <QStringList>

namespace corvanel::testing {

// A deterministic payload that is not all one byte.
inline QByteArray payload(int size, quint32 seed = 12345)
{
    QByteArray bytes(size, Qt::Uninitialized);
    quint32 x = seed;
    for (int i = 0; i < size; ++i) {
        x = x * 1664525u + 1013904223u;
        bytes[i] = char(x >> 24);
    }
    return bytes;
}

// `bytes` as an Intel HEX file made by objcopy: 16 data bytes a record from
// address 0, CR LF line ends. Returns false and says why when objcopy fails.
inline bool writeIntelHex(const QByteArray &bytes, const QString &hexPath, QString *why = nullptr)
{
    const QString binPath = hexPath + QStringLiteral(".bin");
    QFile bin(binPath);
    if (!bin.open(QIODevice::WriteOnly) || bin.write(bytes) != bytes.size()) {
        if (why)
            *why = bin.errorString();
        return false;
    }
    bin.close();
    QProcess objcopy;
    objcopy.start(QStringLiteral(CORVANEL_OBJCOPY),
                  {QStringLiteral("-I"), QStringLiteral("binary"), QStringLiteral("-O"),
                   QStringLiteral("ihex"), binPath, hexPath});
    const bool ok = objcopy.waitForFinished(30000) && objcopy.exitCode() == 0;
    if (!ok && why)
        *why = QString::fromLocal8Bit(objcopy.readAllStandardError()) + objcopy.errorString();
    QFile::remove(binPath);
    return ok;
}

// The text lines of a file without their line ends; empty when unreadable.
inline QList<QByteArray> readLines(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QList<QByteArray> lines = file.readAll().split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    for (QByteArray &line : lines) {
        if (line.endsWith('\r'))
            line.chop(1);
    }
    return lines;
}

// The simulator's report on "BOOTg" after a fault-free download and verify of
// `data` from address 0 in `records` records, the end record included.
inline QString cleanImageReport(const QByteArray &data, int records)
{
    return QStringLiteral("summary records=%1 data-records=%2 bytes=%3 low=0x00000000 high=%4 "
                          "crc32=%5 download=complete verify=passed download-errors=0 "
                          "verify-errors=0")
        .arg(records)
        .arg(records - 1)
        .arg(data.size())
        .arg(image::hexAddress(quint32(data.size() - 1)), image::hexAddress(image::crc32(data)));
}

// corvanel-devsim on 127.0.0.1 with a port the system chooses.
class Devsim {
public:
    explicit Devsim(const QStringList &extraArguments = {})
    {
        // The idle time-out ends a simulator that a crashed test left behind.
        process_.start(QStringLiteral(CORVANEL_DEVSIM),
                       QStringList{QStringLiteral("--address"), QStringLiteral("127.0.0.1"),
                                   QStringLiteral("--port"), QStringLiteral("0"),
                                   QStringLiteral("--idle-timeout"), QStringLiteral("60")} +
                           extraArguments);
    }
    ~Devsim()
    {
        if (process_.state() != QProcess::NotRunning) {
            process_.kill();
            process_.waitForFinished(5000);
        }
    }
    Devsim(const Devsim &) = delete;
    Devsim &operator=(const Devsim &) = delete;

    // Waits for "listening 127.0.0.1:PORT"; 0 when it did not come.
    quint16 waitForPort()
    {
        static const QRegularExpression listening(
            QStringLiteral("listening 127\\.0\\.0\\.1:(\\d+)"));
        const QString text = waitFor([](const QByteArray &out) {
            const auto match = listening.match(QString::fromLatin1(out));
            return match.hasMatch() ? match.captured(1) : QString();
        });
        port_ = quint16(text.toUInt());
        return port_;
    }
    // "127.0.0.1:PORT", for the flasher's command line.
    QString target() const { return QStringLiteral("127.0.0.1:%1").arg(port_); }

    // The whole summary line printed on "BOOTg"; empty when it did not come.
    QString waitForSummary(int timeoutMs = 10000)
    {
        return waitFor(
            [](const QByteArray &out) {
                const qsizetype at = out.indexOf("summary ");
                const qsizetype end = at < 0 ? -1 : out.indexOf('\n', at);
                return end < 0 ? QString() : QString::fromLatin1(out.mid(at, end - at)).trimmed();
            },
            timeoutMs);
    }

    QString errors() { return QString::fromLocal8Bit(process_.readAllStandardError()); }
    QProcess &process() { return process_; }
    // Everything printed on standard output so far.
    QByteArray output()
    {
        output_ += process_.readAllStandardOutput();
        return output_;
    }

private:
    // Reads the simulator's output until `find` makes something of it.
    template <typename Find> QString waitFor(Find find, int timeoutMs = 10000)
    {
        QElapsedTimer clock;
        clock.start();
        for (;;) {
            output_ += process_.readAllStandardOutput();
            const QString found = find(output_);
            if (!found.isEmpty() || clock.elapsed() > timeoutMs ||
                (process_.state() == QProcess::NotRunning && !process_.bytesAvailable()))
                return found;
            process_.waitForReadyRead(100);
        }
    }

    QProcess process_;
    QByteArray output_;
    quint16 port_ = 0;
};

} // namespace corvanel::testing
