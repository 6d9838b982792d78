#pragma once

#include "common/operator_error.h"
#include "engine/board.h"
#include "link/link_settings.h"
#include "link/udp_link.h"
#include "window/status_display.h"

#include <QElapsedTimer>
#include <QObject>

#include <chrono>
#include <deque>
#include <functional>
#include <optional>

class QTimer;

namespace corvanel {

// The window's driver of its board. It turns the window's events (the
// buttons, the inquiry timer, the socket's datagrams) into the board's
// inputs, carries out its link effects on the socket, and turns its events
// into the window's words: the status display, the inquiry timer and the link
// indicator. Its operations are the ones the window is known by. While an
// operation shows a dialog, datagrams and inquiry ticks wait in a bounded
// queue and are handed on afterwards, in the order they came.
class WindowTransfer : public QObject {
    Q_OBJECT
public:
    using ArpFlush = std::function<void()>;
    using Sleeper = std::function<void(std::chrono::milliseconds)>;

    // Inputs kept while held; a flood beyond this is dropped.
    static constexpr qsizetype kMaxHeldInputs = 4096;

    // `flushArp` defaults to the platform's ARP flush, `sleep` to a real
    // blocking sleep and `io` to the window's own socket; tests pass recorders.
    WindowTransfer(StatusDisplay &display, ArpFlush flushArp, Sleeper sleep,
                   QObject *parent = nullptr, DatagramLink *io = nullptr);

    Board &board() { return board_; }
    // The window's state record: the board's transfer and the indicator.
    TransferState state() const;
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

    // Carries out what the board asked for and shows what it told, in order;
    // a failed connect's error.
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
    void show(const BoardEvent &event);

    Board board_;
    int linkActivity_ = TransferState::kLinkIdle;
    StatusDisplay &display_;
    UdpLink *link_ = nullptr;    // the socket, its arrivals and its object name
    DatagramLink *io_ = nullptr; // what opens, sends and closes: the socket, or a test's
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
