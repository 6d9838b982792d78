#pragma once

// Shared pieces of the window tests: a window built with recording seams, its
// controls by name, its bar as grab() draws it, and the guard that no test
// ever aims the link off this host.

#include "support/devsim_process.h"
#include "support/prompts_recorder.h"
#include "window/control_names.h"
#include "window/main_window.h"
#include "window/reply_view.h"
#include "window/status_bar.h"

#include <QComboBox>
#include <QEventLoop>
#include <QFile>
#include <QHostAddress>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <chrono>
#include <functional>
#include <memory>

namespace corvanel::testing {

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

// Pixels of `image` inside `area` that pass `test`.
template <typename Test> int countPixels(const QImage &image, const QRect &area, Test test)
{
    int n = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            n += test(QColor(image.pixel(x, y))) ? 1 : 0;
    return n;
}

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
        QFile file(addressPath());
        if (file.open(QIODevice::WriteOnly))
            file.write(addressFile);
        WindowSeams seams;
        seams.prompts = &prompts;
        seams.flushArp = [this] { ++arpFlushes; };
        seams.sleep = [this](std::chrono::milliseconds d) { pauses.append(d); };
        seams.addressFile = addressPath();
        window = std::make_unique<MainWindow>(std::move(seams));
        // Everything that sends is started by a tick, a datagram or a click;
        // the first two are checked here, clicks by the tests after each.
        QObject::connect(window->inquiryTimer(), &QTimer::timeout, window.get(),
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
            link.close(); // nothing more may leave
        }
        return !offHost;
    }

    template <typename T = QWidget> T *control(const char *name) const
    {
        return window->findChild<T *>(QLatin1StringView(name));
    }
    QPushButton *button(const char *name) const { return control<QPushButton>(name); }
    QLineEdit *line(const char *name) const { return control<QLineEdit>(name); }
    ReplyView *view(const char *name) const { return control<ReplyView>(name); }
    QComboBox *combo() const { return control<QComboBox>(controls::kAddressBox); }
    TextProgressBar *bar() const { return control<TextProgressBar>(controls::kStatusBar); }
    QTimer *timer1() const
    {
        return window->findChild<QTimer *>(QLatin1StringView(controls::kLinkIndicatorTimer));
    }
    // The link indicator: the link-alive picture shown, the no-link one hidden.
    bool linkAliveShown() const
    {
        return !control<QLabel>(controls::kLinkAliveImage)->isHidden() &&
               control<QLabel>(controls::kNoLinkImage)->isHidden();
    }

    bool show()
    {
        window->show();
        return QTest::qWaitForWindowExposed(window.get());
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

    // Aims the window at a device on loopback exactly as an operator would
    // type it, with a local port the system chooses, and presses "Connect".
    bool connectTo(quint16 remotePort)
    {
        combo()->setEditText(QStringLiteral("127.0.0.1"));
        line(controls::kRemotePortBox)->setText(QString::number(remotePort));
        line(controls::kLocalPortBox)->setText(QStringLiteral("0"));
        return click(controls::kLinkButton) && window->link().isOpen() &&
               window->link().remoteAddress().isLoopback();
    }

    // Writes an objcopy image of `bytes` and has the file dialog answer it.
    bool prepareImage(const QByteArray &bytes)
    {
        const QString path = dir.filePath(QStringLiteral("firmware.hex"));
        QString why;
        if (!writeIntelHex(bytes, path, &why)) {
            qWarning("objcopy: %s", qPrintable(why));
            return false;
        }
        prompts.answers << path;
        return true;
    }

    // The share of the bar's inside that grab() draws in `colour`, and the
    // number of near-black pixels there (the status word).
    double barShare(const QColor &colour) const
    {
        const QRect inside = barInside();
        return double(
                   countPixels(grabbed(), inside, [&](const QColor &c) { return c == colour; })) /
               (inside.width() * inside.height());
    }
    int barTextPixels() const
    {
        return countPixels(grabbed(), barInside(), [](const QColor &c) {
            return c.red() < 80 && c.green() < 80 && c.blue() < 80;
        });
    }

private:
    QRect barInside() const { return bar()->geometry().adjusted(2, 2, -2, -2); }
    QImage grabbed() const
    {
        return window->grab().toImage().convertToFormat(QImage::Format_RGB32);
    }
};

} // namespace corvanel::testing
