#include "flash/reply_watch_link.h"

namespace corvanel::flash {

ReplyWatchLink::ReplyWatchLink(DeviceLink &inner, QObject *parent) : QObject(parent), inner_(inner)
{
    replyTimer_.setSingleShot(true);
    // Time-outs as short as a few hundred milliseconds must hold their bound.
    replyTimer_.setTimerType(Qt::PreciseTimer);
    connect(&replyTimer_, &QTimer::timeout, this, &ReplyWatchLink::onReplyTimeout);
    lingerTimer_.setSingleShot(true);
    connect(&lingerTimer_, &QTimer::timeout, this, &ReplyWatchLink::closeNow);
}

void ReplyWatchLink::setReplyTimeout(std::chrono::milliseconds timeout)
{
    replyTimer_.setInterval(timeout);
}

std::optional<OperatorError> ReplyWatchLink::Open(const LinkSettings &settings)
{
    auto error = inner_.Open(settings);
    open_ = !error;
    return error;
}

bool ReplyWatchLink::Send(QByteArrayView datagram)
{
    const bool ok = inner_.Send(datagram);
    // Inquiries are not answered by a bootloader that is still starting; the
    // inquiry time-out bounds them as a whole.
    if (polling_) {
        if (!ok)
            emit inquiryFailed();
        return ok;
    }
    lastSent_ = datagram.toByteArray();
    attempt_ = 0;
    replyTimer_.start();
    emit sent();
    if (!ok)
        emit sendFailed();
    return ok;
}

void ReplyWatchLink::onReplyTimeout()
{
    if (attempt_ >= retries_ || !open_) {
        emit replyTimedOut();
        return;
    }
    ++attempt_;
    emit resent(attempt_);
    if (!inner_.Send(lastSent_)) {
        emit sendFailed();
        return;
    }
    replyTimer_.start();
}

void ReplyWatchLink::Close()
{
    replyTimer_.stop();
    if (open_ && linger_.count() > 0) {
        lingerTimer_.start(linger_);
        linger_ = std::chrono::milliseconds{0};
        return;
    }
    closeNow();
}

void ReplyWatchLink::abort()
{
    replyTimer_.stop();
    if (lingerTimer_.isActive())
        closeNow();
}

void ReplyWatchLink::closeNow()
{
    lingerTimer_.stop();
    const bool wasOpen = open_;
    open_ = false;
    inner_.Close();
    if (wasOpen)
        emit closed();
}

void ReplyWatchLink::StartInquiryTimer()
{
    polling_ = true;
    inner_.StartInquiryTimer();
}

void ReplyWatchLink::StopInquiryTimer()
{
    polling_ = false;
    inner_.StopInquiryTimer();
}

} // namespace corvanel::flash
