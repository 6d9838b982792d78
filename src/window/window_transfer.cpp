#include "window/window_transfer.h"

#include "link/platform_arp.h"
#include "window/error_box.h"

#include <QPointer>
#include <QThread>
#include <QTimer>
#include <QUdpSocket>

namespace corvanel {

WindowTransfer::WindowTransfer(StatusDisplay &display, ArpFlush flushArp, Sleeper sleep,
                               QObject *parent, DatagramLink *io)
    : QObject(parent), display_(display), link_(new UdpLink(this)), io_(io ? io : link_),
      inquiryTimer_(new QTimer(this)), flushArp_(std::move(flushArp)), sleep_(std::move(sleep))
{
    clock_.start();
    inquiryTimer_->setInterval(Policy::kInquiryInterval);
    connect(inquiryTimer_, &QTimer::timeout, this, [this] { arrive({true, {}}); });
    connect(link_, &UdpLink::datagramArrived, this, [this](const QByteArray &datagram) {
        arrive({false, datagram});
    });
}

TransferState WindowTransfer::state() const
{
    TransferState s;
    static_cast<TransferView &>(s) = board_.view();
    s.linkActivity = linkActivity_;
    return s;
}

std::optional<OperatorError> WindowTransfer::apply()
{
    std::optional<OperatorError> error;
    while (const BoardOutput *output = board_.poll()) {
        if (const auto *event = std::get_if<BoardEvent>(output)) {
            show(*event);
            continue;
        }
        const LinkEffect &effect = std::get<LinkEffect>(*output);
        switch (effect.kind) {
        case LinkEffect::Kind::Send:
            // The board's policy decides what a failed send does (the window
            // has no handler for it and stays usable).
            if (!io_->send(effect.bytes))
                board_.handleSendFailure(now(), io_->errorString());
            break;
        case LinkEffect::Kind::FlushArpCache:
            if (flushArp_)
                flushArp_();
            else
                platform::flushArpCache();
            break;
        case LinkEffect::Kind::OpenLink:
            error = io_->open(settings_);
            if (error)
                board_.linkFailed(now(), errorBoxText(*error));
            else
                board_.linkOpened(now(), io_->localPort());
            break;
        case LinkEffect::Kind::CloseLink:
            io_->close();
            held_.clear();
            tickHeld_ = false;
            break;
        case LinkEffect::Kind::FlushNeighbour:
        case LinkEffect::Kind::ReadNeighbour:
            break; // the window's board never asks: only a production lane does
        }
    }
    return error;
}

// The window's words for what the board told, in the order it told them.
void WindowTransfer::show(const BoardEvent &event)
{
    using K = BoardEvent::Kind;
    switch (event.kind) {
    case K::Connecting:
        display_.SetBarValue(0);
        display_.SetBarColour(colour::kNavy);
        break;
    case K::Connected:
        linkActivity_ = 0;
        display_.allowOpenFile(true);
        inquiryTimer_->start();
        display_.showLinkAction(kCaptionDisconnect);
        break;
    case K::PollingStopped:
        inquiryTimer_->stop();
        break;
    case K::Inquired:
        display_.ClearReplyView();
        break;
    case K::ReplyArrived:
        linkActivity_ = 1;
        display_.ShowReply(event.bytes);
        break;
    case K::ImageLoading:
        display_.ShowStatus(status::kNoFile);
        break;
    case K::ImageLoaded:
        display_.SetBarMaximum(event.line);
        display_.ShowStatus(status::kReady);
        break;
    case K::LineSent:
        if (event.pass == Pass::Download)
            display_.ShowStatus(status::kDownload);
        display_.SetBarValue(event.line);
        break;
    case K::VerifyStarted:
        display_.ShowStatus(status::kVerify);
        break;
    case K::Ended:
        display_.ShowStatus(status::kEnd);
        display_.SetBarColour(colour::kGreen);
        display_.allowOpenFile(true);
        display_.clearReceivedReply();
        break;
    case K::Refused:
        display_.ShowStatus(status::kError);
        display_.SetBarColour(colour::kRed);
        break;
    case K::Installing:
        linkActivity_ = TransferState::kLinkIdle;
        break;
    case K::Reset:
        display_.clearReceivedReply();
        display_.showLinkAlive(false);
        linkActivity_ = TransferState::kLinkIdle;
        display_.allowOpenFile(false);
        display_.SetBarValue(0);
        display_.SetBarColour(colour::kNavy);
        display_.ShowStatus(status::kNoFile);
        display_.showLinkAction(kCaptionConnect);
        display_.ClearReplyView();
        break;
    case K::Progress:
    case K::AttemptEnded:
    case K::BoardDone:
    case K::BoardBack:
    case K::Finished:
        break; // the flasher's
    }
}

std::optional<OperatorError> WindowTransfer::ToggleLink(const LinkSettings &settings)
{
    settings_ = settings;
    if (board_.view().connected == 0)
        board_.connect();
    else
        board_.disconnect();
    return apply();
}

void WindowTransfer::SendNextLine()
{
    board_.sendNextLine(now());
    apply();
}

void WindowTransfer::HandleReply(const QByteArray &reply)
{
    board_.handleDatagram(now(), reply, link_->remotePort());
    apply();
}

void WindowTransfer::PollDevice()
{
    board_.pollDevice(now());
    apply();
}

void WindowTransfer::InstallFirmware()
{
    const Millis at = now();
    board_.install(at);
    apply();
    // The whole pause, on this thread, as the operation has it: nothing else
    // is handled before the close.
    if (const auto due = board_.nextDeadline()) {
        const Millis pause = *due - at;
        if (sleep_)
            sleep_(pause);
        else
            QThread::msleep(static_cast<unsigned long>(pause.count()));
        board_.handleTimeout(*due);
        apply();
    }
}

void WindowTransfer::ResetTransfer()
{
    board_.resetTransfer();
    apply();
}

// The link indicator is the window's own: a datagram lights it, and it goes
// dark 50 ticks after the last.
void WindowTransfer::TickLinkIndicator()
{
    ++linkActivity_;
    if (linkActivity_ > TransferState::kLinkIdle) {
        linkActivity_ = TransferState::kLinkIdle;
        display_.showLinkAlive(false);
    } else {
        display_.showLinkAlive(true);
    }
}

void WindowTransfer::resetForStart()
{
    linkActivity_ = TransferState::kLinkIdle;
}

void WindowTransfer::arrive(Input input)
{
    // Held inputs go first, also once released and not yet handed on.
    if (!holding_ && held_.empty()) {
        if (input.tick)
            PollDevice();
        else
            HandleReply(input.datagram);
        return;
    }
    if (input.tick) {
        // Ticks that fall due while held become one, in its place among the datagrams.
        if (tickHeld_)
            return;
        tickHeld_ = true;
    } else if (qsizetype(held_.size()) >= kMaxHeldInputs) {
        ++dropped_;
        return;
    }
    held_.push_back(std::move(input));
}

void WindowTransfer::hold()
{
    holding_ = true;
}

void WindowTransfer::release()
{
    if (!holding_)
        return;
    holding_ = false;
    // Not from inside the operation that is ending.
    if (!held_.empty())
        QMetaObject::invokeMethod(this, &WindowTransfer::deliverHeld, Qt::QueuedConnection);
}

void WindowTransfer::deliverHeld()
{
    const QPointer<WindowTransfer> alive(this);
    while (!holding_ && !held_.empty()) {
        const Input input = std::move(held_.front());
        held_.pop_front();
        if (input.tick) {
            tickHeld_ = false;
            // A tick counts only while the inquiry timer still runs.
            if (inquiryTimer_->isActive())
                PollDevice();
        } else if (io_->isOpen()) {
            HandleReply(input.datagram);
        }
        if (!alive)
            return;
    }
}

} // namespace corvanel
