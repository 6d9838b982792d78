#pragma once

#include "common/operator_error.h"
#include "engine/status_display.h"
#include "engine/transfer.h"
#include "link/link_settings.h"
#include "link/udp_link.h"

#include <QElapsedTimer>
#include <QObject>

#include <chrono>
#include <deque>
#include <functional>
#include <optional>

class QTimer;

namespace corvanel {

// The window's driver of the transfer. It turns the window's events (the
// buttons, the inquiry timer, the socket's datagrams) into the transfer's
// inputs, and carries out the transfer's effects on the status display, the
// socket and the inquiry timer. Its operations are the ones the window is
// known by. While an operation shows a dialog, datagrams and inquiry ticks
// wait in a bounded queue and are handed on afterwards, in the order they came.
class WindowTransfer : public QObject {
    Q_OBJECT
public:
    using ArpFlush = std::function<void()>;
    using Sleeper = std::function<void(std::chrono::milliseconds)>;

    // Inputs kept while held; a flood beyond this is dropped.
    static constexpr qsizetype kMaxHeldInputs = 4096;

    // `flushArp` defaults to the platform's ARP flush and `sleep` to a real
    // blocking sleep; tests pass recorders.
    WindowTransfer(StatusDisplay &display, ArpFlush flushArp, Sleeper sleep,
                   QObject *parent = nullptr);

    Transfer &transfer() { return transfer_; }
    const TransferState &state() const { return transfer_.state(); }
    UdpLink &link() { return *link_; }
    QTimer *inquiryTimer() const { return inquiryTimer_; } // object name "Timer2"

    // Connects when not connected, disconnects otherwise. A connect that
    // cannot complete returns its error and leaves the link closed and the
    // caption "Connect", so the operator can correct and try again.
    std::optional<OperatorError> ToggleLink(const LinkSettings &settings);
    void SendNextLine();
    void HandleReply(const QByteArray &reply);
    void PollDevice();
    // "BOOTg", then the pause the datagram needs to leave (the window's
    // thread waits it out), then the close and the reset.
    void InstallFirmware();
    void ResetTransfer();
    void TickLinkIndicator();
    void resetForStart();

    // Carries out what the transfer asked for, in order; a failed connect's error.
    std::optional<OperatorError> apply();

    // While held (a dialog is open), datagrams and ticks wait.
    void hold();
    void release();
    bool isHolding() const { return holding_; }
    // Inputs dropped because the held queue was full.
    int droppedInputs() const { return dropped_; }

private:
    struct Input {
        bool tick = false;
        QByteArray datagram;
    };
    Millis now() const { return Millis(clock_.elapsed()); }
    void arrive(Input input);
    void deliverHeld();

    Transfer transfer_;
    StatusDisplay &display_;
    UdpLink *link_ = nullptr;
    QTimer *inquiryTimer_ = nullptr;
    ArpFlush flushArp_;
    Sleeper sleep_;
    QElapsedTimer clock_;
    LinkSettings settings_;

    bool holding_ = false;
    bool tickHeld_ = false;
    int dropped_ = 0;
    std::deque<Input> held_;
};

} // namespace corvanel
