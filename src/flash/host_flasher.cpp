#include "flash/host_flasher.h"

#include "image/image_loader.h"

#include <QUdpSocket>

#include <utility>

namespace corvanel::flash {

namespace {

// The device's reply as it can be quoted on one line of a report.
QString quotedReply(QByteArrayView reply)
{
    constexpr qsizetype kMaxShown = 60;
    while (!reply.isEmpty() && (reply.back() == '\n' || reply.back() == '\r'))
        reply.chop(1);
    QString text;
    for (qsizetype i = 0; i < reply.size() && i < kMaxShown; ++i) {
        const auto c = static_cast<unsigned char>(reply[i]);
        if (c >= 0x20 && c < 0x7f && c != '"' && c != '\\')
            text += QLatin1Char(char(c));
        else
            text += QStringLiteral("\\x%1").arg(c, 2, 16, QLatin1Char('0'));
    }
    if (reply.size() > kMaxShown)
        text += QStringLiteral("...");
    return QLatin1Char('"') + text + QLatin1Char('"');
}

} // namespace

QString secondsText(std::chrono::milliseconds duration)
{
    return QString::number(double(duration.count()) / 1000.0, 'g', 6) + QStringLiteral(" s");
}

HostFlasher::HostFlasher(HostSettings settings, const LineTable &image, QObject *parent)
    : QObject(parent), settings_(std::move(settings)), image_(image), lineCount_(image.count()),
      // No ARP flush per link (the flasher flushes once, and only when asked),
      // and no blocking pause on the one thread all hosts share.
      udp_(
          nullptr, [] {}, [](std::chrono::milliseconds) {}),
      link_(udp_), controller_(display_, link_)
{
    link_.setReplyTimeout(settings_.replyTimeout);
    link_.setRetries(settings_.retries);
    inquiryDeadline_.setSingleShot(true);
    inquiryDeadline_.setTimerType(Qt::PreciseTimer);

    display_.onStatus = [this](QLatin1StringView word) { onStatus(word); };
    display_.onBarValue = [this](int value) { onBarValue(value); };

    connect(&udp_, &UdpLink::inquiryTick, this, [this] {
        if (settled_)
            return;
        inquiryError_.clear(); // set again if this inquiry cannot go either
        controller_.PollDevice();
    });
    connect(&udp_, &UdpLink::datagramArrived, this, &HostFlasher::onDatagram);
    connect(&link_, &ReplyWatchLink::sent, this, [this] {
        awaitingReply_ = true;
        inquiryDeadline_.stop();
    });
    connect(&link_, &ReplyWatchLink::resent, this, [this] { ++report_.resends; });
    connect(&link_, &ReplyWatchLink::sendFailed, this, [this] {
        conclude(
            Outcome::NetworkError,
            QStringLiteral("could not send %1: %2").arg(where(), udp_.socket()->errorString()));
    });
    connect(&link_, &ReplyWatchLink::inquiryFailed, this,
            [this] { inquiryError_ = udp_.socket()->errorString(); });
    connect(&link_, &ReplyWatchLink::replyTimedOut, this, [this] {
        QString reason = QStringLiteral("no reply to %1 within %2")
                             .arg(where(), secondsText(settings_.replyTimeout));
        if (link_.sendCount() > 1)
            reason += QStringLiteral(", sent %1 times").arg(link_.sendCount());
        conclude(Outcome::TimedOut, reason);
    });
    connect(&link_, &ReplyWatchLink::closed, this, &HostFlasher::onLinkClosed);
    connect(&inquiryDeadline_, &QTimer::timeout, this, [this] {
        // A device that cannot even be sent to is a network fault, not a silence.
        if (!inquiryError_.isEmpty()) {
            conclude(Outcome::NetworkError,
                     QStringLiteral("could not send the inquiry: %1").arg(inquiryError_));
            return;
        }
        conclude(Outcome::TimedOut, QStringLiteral("no \"VER=\" reply to the inquiry within %1")
                                        .arg(secondsText(settings_.inquiryTimeout)));
    });
}

HostFlasher::~HostFlasher()
{
    // A flasher torn down mid-transfer still closes its socket.
    link_.abort();
    udp_.Close();
}

void HostFlasher::start()
{
    clock_.start();
    report_.host = settings_.host;
    report_.port = settings_.remotePort;
    report_.lineCount = lineCount_;

    linkSettings_ = {settings_.host, QString::number(settings_.remotePort), {}};
    std::optional<OperatorError> error;
    for (int attempt = 0; attempt < kBindAttempts; ++attempt) {
        linkSettings_.localPort =
            settings_.localPort ? QString::number(*settings_.localPort) : initialLocalPort();
        error = controller_.ToggleLink(linkSettings_);
        // Only a random port may be drawn again: a given one is the user's.
        if (!error || settings_.localPort || error->number != errnum::kAddressInUse)
            break;
    }
    if (error) {
        conclude(Outcome::NetworkError, error->text);
        return;
    }
    report_.localPort = udp_.localPort();

    // Loaded while polling, as the operator loads the file after connecting.
    adoptImage(controller_.state(), display_, LineTable(image_));
    setPhase(Phase::Inquiry);
    inquiryDeadline_.start(settings_.inquiryTimeout);
}

void HostFlasher::interrupt()
{
    // An install has already sent "BOOTg"; its close follows within 100 ms.
    if (settled_ || phase_ == Phase::Install)
        return;
    conclude(Outcome::Interrupted, phase_ == Phase::Download || phase_ == Phase::Verify
                                       ? QStringLiteral("interrupted at %1").arg(where())
                                       : QStringLiteral("interrupted while waiting for \"VER=\""));
}

void HostFlasher::onDatagram(const QByteArray &datagram)
{
    if (settled_ || phase_ == Phase::Install || phase_ == Phase::Done)
        return;
    // A reply is already on its way to the controller: whatever comes before
    // the next line leaves cannot answer that line.
    if (deliveryQueued_) {
        noteIgnoredReply();
        return;
    }
    const QByteArrayView trimmed = protocol::trimTrailingSpaces(datagram);
    const auto kind = protocol::classifyReply(trimmed, controller_.state().imageLoaded == 1);

    if (kind == protocol::ReplyKind::Other) {
        controller_.HandleReply(datagram); // shown only; nothing changes
        return;
    }
    if (phase_ == Phase::Inquiry && !awaitingReply_) {
        // Before the first line only an answer to the inquiry means anything;
        // an "OK" or "DOWNLOAD" here is left over from an earlier session and
        // would start sending while the inquiries still go out.
        if (kind == protocol::ReplyKind::Ok || kind == protocol::ReplyKind::PassEnd) {
            noteIgnoredReply();
            return;
        }
    } else {
        // From the first line on, exactly one reply answers each line. A
        // second copy of a reply, or a late answer to an inquiry, would make
        // the controller send the next line unasked: device and flasher would
        // fall out of step, and a verify pass could end early in a false "END".
        if (!awaitingReply_ || kind == protocol::ReplyKind::Version) {
            noteIgnoredReply();
            return;
        }
        if (kind == protocol::ReplyKind::Ok && line_ >= lineCount_) {
            // The controller would start the same pass again; a device that
            // never says "DOWNLOAD" would be written for ever.
            conclude(Outcome::DeviceError,
                     QStringLiteral("the device answered %1 to the last line (%2 of %3, %4 pass) "
                                    "instead of \"DOWNLOAD\"")
                         .arg(quotedReply(datagram))
                         .arg(line_)
                         .arg(lineCount_)
                         .arg(phaseWord(phase_)));
            return;
        }
    }
    awaitingReply_ = false;
    link_.replyArrived();
    // Handed on from the event loop, after the datagrams read with this one
    // have been turned away above. On a link known to repeat datagrams, the
    // copy sent right behind a reply is given a moment to land first, so that
    // it is turned away too instead of answering the next line.
    deliveryQueued_ = true;
    if (repeatsSeen_) {
        QTimer::singleShot(kRepeatSettle, Qt::PreciseTimer, this,
                           [this, datagram] { deliverReply(datagram); });
    } else {
        QMetaObject::invokeMethod(
            this, [this, datagram] { deliverReply(datagram); }, Qt::QueuedConnection);
    }
}

void HostFlasher::noteIgnoredReply()
{
    ++report_.ignoredReplies;
    repeatsSeen_ = true;
}

void HostFlasher::deliverReply(const QByteArray &datagram)
{
    deliveryQueued_ = false;
    if (settled_)
        return;
    // What already waits in the socket arrived before the next line is sent,
    // so it answers nothing that is still open: a duplicate sent back to back.
    QUdpSocket *socket = udp_.socket();
    char discard = 0;
    while (socket->hasPendingDatagrams()) {
        socket->readDatagram(&discard, 1);
        noteIgnoredReply();
    }
    controller_.HandleReply(datagram);
}

void HostFlasher::onStatus(QLatin1StringView word)
{
    if (settled_)
        return;
    if (word == status::kDownload) {
        if (transferStartMs_ < 0)
            transferStartMs_ = clock_.elapsed();
        setPhase(Phase::Download);
    } else if (word == status::kVerify) {
        line_ = 0;
        setPhase(Phase::Verify);
    } else if (word == status::kEnd) {
        line_ = lineCount_;
        if (settings_.install) {
            setPhase(Phase::Install);
            // Not from inside the reply handler that is still running.
            QMetaObject::invokeMethod(this, &HostFlasher::install, Qt::QueuedConnection);
        } else {
            setPhase(Phase::Done);
            conclude(Outcome::Ok, {});
        }
    } else if (word == status::kError) {
        conclude(Outcome::DeviceError, QStringLiteral("the device answered %1 to %2")
                                           .arg(quotedReply(display_.lastReply()), where()));
    }
}

void HostFlasher::onBarValue(int value)
{
    if (settled_ || (phase_ != Phase::Download && phase_ != Phase::Verify))
        return;
    line_ = value;
    emit progressed();
}

void HostFlasher::install()
{
    if (settled_)
        return;
    // "BOOTg", the pause and the close, exactly as the window's Install.
    controller_.InstallFirmware();
}

void HostFlasher::onLinkClosed()
{
    if (phase_ == Phase::Install && !settled_) {
        report_.installed = true;
        setPhase(Phase::Done);
        conclude(Outcome::Ok, {});
    }
}

void HostFlasher::conclude(Outcome outcome, const QString &reason)
{
    if (settled_)
        return;
    settled_ = true;
    inquiryDeadline_.stop();
    link_.replyArrived(); // no more waiting
    report_.outcome = outcome;
    report_.reason = reason;
    report_.phase = phase_;
    report_.line = line_;
    report_.seconds = double(clock_.elapsed()) / 1000.0;
    // Teardown goes through the controller, which may be mid-call right now.
    QMetaObject::invokeMethod(this, &HostFlasher::closeAndFinish, Qt::QueuedConnection);
}

void HostFlasher::closeAndFinish()
{
    if (finished_)
        return;
    if (controller_.state().connected == 1)
        controller_.ToggleLink(linkSettings_); // disconnect: timer off, socket closed
    link_.abort();
    finished_ = true;
    emit finished();
}

void HostFlasher::setPhase(Phase phase)
{
    if (phase_ == phase)
        return;
    phase_ = phase;
    emit progressed();
}

int HostFlasher::linesDone() const
{
    switch (phase_) {
    case Phase::Download:
        return line_;
    case Phase::Verify:
        return lineCount_ + line_;
    case Phase::Install:
    case Phase::Done:
        return 2 * lineCount_;
    default:
        return 0;
    }
}

qint64 HostFlasher::elapsedMs() const
{
    return clock_.isValid() ? clock_.elapsed() : 0;
}

HostReport HostFlasher::report() const
{
    HostReport r = report_;
    if (!settled_) {
        r.phase = phase_;
        r.line = line_;
        r.seconds = double(elapsedMs()) / 1000.0;
    }
    return r;
}

QString HostFlasher::where() const
{
    switch (phase_) {
    case Phase::Connecting:
        return QStringLiteral("the connect");
    case Phase::Inquiry:
        return QStringLiteral("the inquiry");
    case Phase::Download:
    case Phase::Verify:
        return QStringLiteral("line %1 of %2 (%3 pass)")
            .arg(line_)
            .arg(lineCount_)
            .arg(phaseWord(phase_));
    case Phase::Install:
        return QStringLiteral("\"BOOTg\"");
    case Phase::Done:
        return QStringLiteral("the end of the transfer");
    }
    return {};
}

} // namespace corvanel::flash
