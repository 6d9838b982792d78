#pragma once

#include "engine/device_link.h"
#include "engine/status_display.h"
#include "engine/transfer_state.h"

#include <QByteArrayView>

#include <chrono>
#include <optional>

namespace corvanel {

// The transfer state machine: download pass, verify pass, end, error, install,
// inquiry polling and the link toggle. It does no I/O of its own; every effect
// goes through the display and the link it was given.
class TransferController {
public:
    static constexpr std::chrono::milliseconds kInstallPause{100};

    TransferController(StatusDisplay &display, DeviceLink &link);

    TransferState &state() { return state_; }
    const TransferState &state() const { return state_; }
    StatusDisplay &display() { return display_; }

    void SendNextLine();
    void HandleReply(QByteArrayView reply);
    void PollDevice();
    void InstallFirmware();
    void ResetTransfer();

    // Connects when not connected, disconnects otherwise. A connect that cannot
    // complete returns its error and leaves the link closed and the caption
    // "Connect", so the operator can correct the settings and try again.
    std::optional<OperatorError> ToggleLink(const LinkSettings &settings);

    // One tick of the link indicator.
    void TickLinkIndicator();

private:
    std::optional<OperatorError> connect(const LinkSettings &settings);
    void disconnect();

    TransferState state_;
    StatusDisplay &display_;
    DeviceLink &link_;
};

} // namespace corvanel
