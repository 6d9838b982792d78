#pragma once

// The window's real driver (WindowTransfer) on fake seams: the display and
// the link record into one log, the ARP flush and the install's pause are
// logged, and the test presses the window's operations by name.

#include "support/recorders.h"
#include "window/window_transfer.h"

#include <QTimer>

#include <functional>

namespace corvanel::testing {

struct WindowRig {
    EventLog log;
    RecordingDisplay display{log};
    RecordingLink link{log};
    WindowTransfer driver{
        display, [this] { log.add(QStringLiteral("arp")); },
        [this](std::chrono::milliseconds d) { log.add(QStringLiteral("pause %1").arg(d.count())); },
        nullptr, &link};

    TransferState state() const { return driver.state(); }
    bool polling() const { return driver.inquiryTimer()->isActive(); }

    std::optional<OperatorError> ToggleLink(const LinkSettings &settings)
    {
        return driver.ToggleLink(settings);
    }
    void PollDevice() { driver.PollDevice(); }
    void SendNextLine() { driver.SendNextLine(); }
    void HandleReply(const QByteArray &reply) { driver.HandleReply(reply); }
    void TickLinkIndicator() { driver.TickLinkIndicator(); }
    void InstallFirmware() { driver.InstallFirmware(); }
    // What a successful image load leaves behind.
    void load(const QList<QByteArray> &lines)
    {
        TextLines table;
        for (const QByteArray &line : lines)
            table.append(line);
        driver.board().beginImageLoad();
        driver.board().adoptImage(TextLines::share(std::move(table)));
        driver.apply();
    }
    std::function<void()> applier()
    {
        return [this] { driver.apply(); };
    }
};

} // namespace corvanel::testing
