#pragma once

// Shared pieces of the window tests: a window built with recording seams, the
// bootloader simulator as a real process on loopback, HEX images made by
// objcopy, and the guard that no test ever aims the link off this host.

#include "support/prompts_recorder.h"
#include "window/main_window.h"
#include "window/reply_view.h"
#include "window/status_bar.h"

#include <QComboBox>
#include <QEventLoop>
#include <QFile>
#include <QHostAddress>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <chrono>
#include <functional>
#include <memory>

namespace corvanel::testing {

// CRC-32 as zlib computes it, for checking what the simulator stored.
inline quint32 crc32Of(const QByteArray &bytes)
{
    quint32 crc = 0xFFFFFFFFu;
    for (const char c : bytes) {
        crc ^= quint8(c);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

// `bytes` as an Intel HEX file made by objcopy (16 data bytes a record).
// Returns false and leaves a message when objcopy cannot run.
inline bool writeIntelHex(const QByteArray &bytes, const QString &binPath, const QString &hexPath,
                          QString *why = nullptr)
{
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
    if (!objcopy.waitForFinished(30000) || objcopy.exitCode() != 0) {
        if (why)
            *why = QString::fromLocal8Bit(objcopy.readAllStandardError()) + objcopy.errorString();
        return false;
    }
    return true;
}

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

inline int countLines(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    return int(file.readAll().count('\n'));
}

// Runs the event loop as the application does, blocking in the loop's wait
// (QTest::qWait sleeps between rounds, which would starve a fast exchange),
// until `condition` holds or `timeoutMs` passes.
inline bool runLoopUntil(const std::function<bool()> &condition, int timeoutMs)
{
    if (condition())
        return true;
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (condition())
            loop.quit();
    });
    check.start(5);
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    loop.exec();
    return condition();
}

// corvanel-devsim on 127.0.0.1 with a port the system chooses.
class Devsim {
public:
    explicit Devsim(const QStringList &extraArguments = {})
    {
        process_.setProgram(QStringLiteral(CORVANEL_DEVSIM));
        // The idle time-out ends a simulator that a crashed test left behind.
        process_.setArguments(QStringList{QStringLiteral("--address"), QStringLiteral("127.0.0.1"),
                                          QStringLiteral("--port"), QStringLiteral("0"),
                                          QStringLiteral("--idle-timeout"), QStringLiteral("120")} +
                              extraArguments);
        process_.start();
    }
    ~Devsim()
    {
        if (process_.state() != QProcess::NotRunning) {
            process_.kill();
            process_.waitForFinished(5000);
        }
    }

    // Waits for "listening 127.0.0.1:PORT"; 0 when it did not come.
    quint16 waitForPort()
    {
        static const QRegularExpression listening(QStringLiteral("listening 127\\.0\\.0\\.1:(\\d+)"));
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 10000) {
            output_ += process_.readAllStandardOutput();
            const auto match = listening.match(QString::fromLatin1(output_));
            if (match.hasMatch())
                return quint16(match.captured(1).toUInt());
            if (process_.state() == QProcess::NotRunning)
                return 0;
            process_.waitForReadyRead(200);
        }
        return 0;
    }

    // Everything printed so far.
    QString output()
    {
        output_ += process_.readAllStandardOutput();
        return QString::fromLatin1(output_);
    }
    QString errors() { return QString::fromLatin1(process_.readAllStandardError()); }
    QProcess &process() { return process_; }

private:
    QProcess process_;
    QByteArray output_;
};

// A window whose dialogs, ARP flush, pause and address file are the test's.
// The address file holds only 127.0.0.1, so even a slip could not aim the
// link off this host.
struct WindowFixture {
    QTemporaryDir dir;
    RecordingPrompts prompts;
    int arpFlushes = 0;
    QList<std::chrono::milliseconds> pauses;
    std::unique_ptr<MainWindow> window;
    bool offHost = false; // the guard saw the link aimed off loopback

    explicit WindowFixture(const QByteArray &addressFile = "127.0.0.1\r\n")
    {
        if (!addressFile.isNull()) {
            QFile file(addressPath());
            if (file.open(QIODevice::WriteOnly))
                file.write(addressFile);
        }
        WindowSeams seams;
        seams.prompts = &prompts;
        seams.flushArp = [this] { ++arpFlushes; };
        seams.sleep = [this](std::chrono::milliseconds d) { pauses.append(d); };
        seams.addressFile = addressPath();
        window = std::make_unique<MainWindow>(std::move(seams));
        // Everything that sends is started by a tick, a datagram or a click;
        // the first two are checked here, clicks by the tests after each.
        QObject::connect(&window->link(), &UdpLink::inquiryTick, window.get(),
                         [this] { checkLoopback(); });
        QObject::connect(&window->link(), &UdpLink::datagramArrived, window.get(),
                         [this] { checkLoopback(); });
    }

    QString addressPath() const { return dir.filePath(QStringLiteral("BOOTLOADER.ini")); }

    bool checkLoopback()
    {
        UdpLink &link = window->link();
        if (link.isOpen() && !link.remoteAddress().isLoopback()) {
            offHost = true;
            link.Close(); // nothing more may leave
        }
        return !offHost;
    }

    template <typename T>
    T *control(const char *name) const
    {
        return window->findChild<T *>(QLatin1StringView(name));
    }
    QPushButton *button(const char *name) const { return control<QPushButton>(name); }
    QLineEdit *line(const char *name) const { return control<QLineEdit>(name); }
    ReplyView *view(const char *name) const { return control<ReplyView>(name); }
    QComboBox *combo() const { return control<QComboBox>("ComboRemoteIP"); }
    TextProgressBar *bar() const { return control<TextProgressBar>("vbalProgressBar1"); }

    // Aims the window at a simulator on loopback, exactly as an operator
    // would type it, with a local port the system chooses.
    void aimAt(quint16 remotePort) const
    {
        combo()->setEditText(QStringLiteral("127.0.0.1"));
        line("tbRemotePort")->setText(QString::number(remotePort));
        line("tbLocalPort")->setText(QStringLiteral("0"));
    }

    // Clicks a button and checks the guard at once.
    bool click(const char *name)
    {
        QPushButton *b = button(name);
        if (!b)
            return false;
        QTest::mouseClick(b, Qt::LeftButton);
        return checkLoopback();
    }
};

} // namespace corvanel::testing
