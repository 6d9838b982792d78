#include "window/window_transfer.h"

#include "link/platform_arp.h"

#include <QPointer>
#include <QThread>
#include <QTimer>

namespace corvanel {

WindowTransfer::WindowTransfer(StatusDisplay &display, ArpFlush flushArp, Sleeper sleep,
                               QObject *parent)
    : QObject(parent), display_(display), link_(new UdpLink(this)),
      inquiryTimer_(new QTimer(this)), flushArp_(std::move(flushArp)), sleep_(std::move(sleep))
{
    clock_.start();
    inquiryTimer_->setInterval(Policy::kInquiryInterval);
    connect(inquiryTimer_, &QTimer::timeout, this, [this] { arrive({true, {}}); });
    connect(link_, &UdpLink::datagramArrived, this,
            [this](const QByteArray &datagram) { arrive({false, datagram}); });
}

std::optional<OperatorError> WindowTransfer::apply()
{
    std::optional<OperatorError> error;
    while (const Effect *effect = transfer_.pollEffect()) {
        switch (effect->kind) {
        case Effect::Kind::Send:
            // A send that fails (no link, "Install" while not connected) has
            // no handler of its own: the window stays usable.
            link_->send(effect->bytes);
            break;
        case Effect::Kind::FlushArp:
            if (flushArp_)
                flushArp_();
            else
                platform::flushArpCache();
            break;
        case Effect::Kind::OpenLink:
            error = link_->open(settings_);
            if (error)
                transfer_.linkFailed();
            else
                transfer_.linkOpened(now());
            break;
        case Effect::Kind::CloseLink:
            link_->close();
            held_.clear();
            tickHeld_ = false;
            break;
        case Effect::Kind::StartInquiries:
            inquiryTimer_->start();
            break;
        case Effect::Kind::StopInquiries:
            inquiryTimer_->stop();
            break;
        default:
            showOn(display_, *effect);
            break;
        }
    }
    return error;
}

std::optional<OperatorError> WindowTransfer::ToggleLink(const LinkSettings &settings)
{
    settings_ = settings;
    if (transfer_.state().connected == 0)
        transfer_.connect();
    else
        transfer_.disconnect();
    return apply();
}

void WindowTransfer::SendNextLine()
{
    transfer_.sendNextLine(now());
    apply();
}

void WindowTransfer::HandleReply(const QByteArray &reply)
{
    transfer_.handleDatagram(now(), reply);
    apply();
}

void WindowTransfer::PollDevice()
{
    transfer_.pollDevice(now());
    apply();
}

void WindowTransfer::InstallFirmware()
{
    const Millis at = now();
    transfer_.install(at);
    apply();
    // The whole pause, on this thread, as the operation has it: nothing else
    // is handled before the close.
    if (const auto due = transfer_.pollTimeout()) {
        const Millis pause = *due - at;
        if (sleep_)
            sleep_(pause);
        else
            QThread::msleep(static_cast<unsigned long>(pause.count()));
        transfer_.handleTimeout(*due);
        apply();
    }
}

void WindowTransfer::ResetTransfer()
{
    transfer_.resetTransfer();
    apply();
}

void WindowTransfer::TickLinkIndicator()
{
    transfer_.tickLinkIndicator();
    apply();
}

void WindowTransfer::resetForStart()
{
    transfer_.resetForStart();
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
        } else if (link_->isOpen()) {
            HandleReply(input.datagram);
        }
        if (!alive)
            return;
    }
}

} // namespace corvanel
