#include "engine/host_run.h"

#include <algorithm>
#include <utility>

namespace corvanel {

namespace {

QString passWhere(Phase phase, int line, int lineCount)
{
    return QStringLiteral("line %1 of %2 (%3 pass)")
        .arg(line)
        .arg(lineCount)
        .arg(phase == Phase::Verify ? QStringLiteral("verify") : QStringLiteral("download"));
}

Outcome outcomeOf(TransferFailure::Kind kind)
{
    switch (kind) {
    case TransferFailure::Kind::NoVersion:
    case TransferFailure::Kind::NoAnswer:
        return Outcome::TimedOut;
    case TransferFailure::Kind::SendFailed:
        return Outcome::NetworkError;
    case TransferFailure::Kind::None:
    case TransferFailure::Kind::DeviceError:
    case TransferFailure::Kind::Unpaired:
        break;
    }
    return Outcome::DeviceError;
}

} // namespace

HostRun::HostRun(HostSettings settings, SharedLines image)
    : settings_(std::move(settings)), image_(std::move(image)),
      lineCount_(transferLineCount(*image_)),
      transfer_(Policy::strict(settings_.limits))
{
    resetReport(Millis{0});
}

void HostRun::resetReport(Millis now)
{
    report_ = HostReport{};
    report_.host = settings_.host;
    report_.port = settings_.remotePort;
    report_.lineCount = lineCount_;
    report_.attempt = attempt_;
    report_.maxAttempts = settings_.attempts;
    report_.dryRun = settings_.dryRun;
    report_.startedAt = now;
}

void HostRun::start(Millis now)
{
    firstStart_ = now;
    startAttempt(now);
}

void HostRun::startAttempt(Millis now)
{
    ++attempt_;
    settled_ = false;
    nextAttemptAt_.reset();
    transferStart_.reset();
    line_ = 0;
    strangers_ = 0;
    replyPort_.reset();
    sendError_.clear();
    phase_ = Phase::NotConnected;

    resetReport(now);
    progress();

    // A fresh socket, never the last attempt's port: its late replies must
    // not reach this one.
    transfer_.connect();
    drainTransfer();
    effects_.push({Effect::Kind::OpenLink, lastLocalPort_});
}

void HostRun::linkOpened(Millis now, quint16 localPort)
{
    if (settled_)
        return;
    linkOpen_ = true;
    lastLocalPort_ = localPort;
    report_.localPort = localPort;
    transfer_.linkOpened(now);
    // Loaded while polling, as the operator loads the file after connecting;
    // the first inquiry goes out at once, the next ones every 500 ms.
    transfer_.adoptImage(image_);
    transfer_.pollDevice(now);
    phase_ = Phase::Polling;
    progress();
    afterTransfer(now);
}

void HostRun::linkFailed(Millis now, const QString &error)
{
    transfer_.linkFailed();
    conclude(now, Outcome::NetworkError, error);
}

QString HostRun::handleDatagram(Millis now, const QByteArray &datagram, quint16 fromPort)
{
    if (settled_ || !linkOpen_)
        return QStringLiteral("left out: the attempt is over");
    // The port the device answers from is the one its "VER=" came from;
    // before that, the port sent to, or a "VER=" from any other.
    const bool fromDevice =
        replyPort_ ? fromPort == *replyPort_
                   : fromPort == settings_.remotePort ||
                         protocol::trimTrailingSpaces(datagram).contains(protocol::kTokenVersion);
    if (!fromDevice) {
        ++strangers_;
        return QStringLiteral("left out: from port %1, not the device's (%2)")
            .arg(fromPort)
            .arg(replyPort_.value_or(settings_.remotePort));
    }
    const bool hadVersion = !transfer_.versionReply().isEmpty();
    const Verdict verdict = transfer_.handleDatagram(now, datagram);
    QString answer = QStringLiteral("answer");
    if (!hadVersion && !transfer_.versionReply().isEmpty()) {
        replyPort_ = fromPort;
        report_.replyPort = fromPort;
        if (fromPort != settings_.remotePort)
            answer += QStringLiteral(" from port %1, not %2: the device's port for this attempt")
                          .arg(fromPort)
                          .arg(settings_.remotePort);
    }
    afterTransfer(now);
    if (verdict == Verdict::Answer)
        return answer;
    QString note = QStringLiteral("left out: ") + verdictText(verdict);
    if (settled_ && transfer_.failure().kind == TransferFailure::Kind::Unpaired)
        note += QStringLiteral("; a copy: replies cannot be paired with lines, the attempt fails");
    return note;
}

void HostRun::handleSendFailure(Millis now, const QString &error)
{
    if (settled_)
        return;
    sendError_ = error;
    transfer_.handleSendFailure();
    afterTransfer(now);
}

void HostRun::handleTimeout(Millis now)
{
    if (finished_)
        return;
    if (nextAttemptAt_) {
        if (now >= *nextAttemptAt_)
            startAttempt(now);
        return;
    }
    if (settled_)
        return;
    transfer_.handleTimeout(now);
    afterTransfer(now);
}

void HostRun::interrupt(Millis now, int signal)
{
    if (finished_ || interrupted_)
        return;
    interrupted_ = true;
    signal_ = signal;
    if (nextAttemptAt_) {
        // Between attempts: the next one is recorded as stopped before it
        // began, so the last record of the board says how the run ended.
        nextAttemptAt_.reset();
        const QString last = QStringLiteral("attempt %1: %2").arg(attempt_).arg(report_.reason);
        ++attempt_;
        resetReport(now);
        report_.outcome = Outcome::Interrupted;
        report_.exitCode = exitCodeFor(Outcome::Interrupted, signal_);
        report_.reason = QStringLiteral("interrupted before attempt %1 of %2 began; %3")
                             .arg(attempt_)
                             .arg(settings_.attempts)
                             .arg(last);
        report_.endedAt = now;
        finished_ = true;
        events_.push({RunEvent::Kind::AttemptEnded, report_});
        events_.push({RunEvent::Kind::Finished, report(now)});
        return;
    }
    // "BOOTg" has gone out: the install ends in a moment, and ends well.
    if (settled_ || phase_ == Phase::Installing)
        return;
    conclude(now, Outcome::Interrupted,
             phase_ == Phase::Download || phase_ == Phase::Verify
                 ? QStringLiteral("interrupted at %1").arg(passWhere(phase_, line_, lineCount()))
                 : QStringLiteral("interrupted while waiting for \"VER=\""));
}

void HostRun::drainTransfer()
{
    // The board's run needs only what reaches the device.
    while (const Effect *effect = transfer_.pollEffect()) {
        switch (effect->kind) {
        case Effect::Kind::Send:
            // A dry run's promise is kept here: nothing but inquiries leaves.
            if (settings_.dryRun && effect->bytes != protocol::kInquiry)
                break;
            effects_.push(*effect);
            break;
        case Effect::Kind::CloseLink:
            linkOpen_ = false;
            effects_.push(*effect);
            break;
        default:
            break; // the display, the inquiry timer and the ARP flush are the window's
        }
    }
}

void HostRun::afterTransfer(Millis now)
{
    drainTransfer();
    if (settled_)
        return;
    if (settings_.dryRun && !transfer_.versionReply().isEmpty()) {
        // The board answered; the line that would follow stayed here.
        conclude(now, Outcome::Ok, {});
        return;
    }
    switch (transfer_.phase()) {
    case Phase::Download:
    case Phase::Verify:
        if (!transferStart_)
            transferStart_ = now;
        if (transfer_.phase() != phase_ || transfer_.line() != line_) {
            phase_ = transfer_.phase();
            line_ = transfer_.line();
            progress();
        }
        break;
    case Phase::Ended:
        line_ = lineCount();
        if (!settings_.install) {
            phase_ = Phase::Ended;
            conclude(now, Outcome::Ok, {});
            return;
        }
        // "BOOTg", the pause and the close, exactly as the window's Install.
        phase_ = Phase::Installing;
        progress();
        transfer_.install(now);
        drainTransfer();
        break;
    case Phase::NotConnected:
        // The install's close has come.
        if (phase_ != Phase::Installing)
            break;
        if (!transfer_.installSent()) {
            conclude(now, Outcome::NetworkError,
                     QStringLiteral("could not send \"BOOTg\": %1").arg(sendError_));
            return;
        }
        report_.installed = true;
        phase_ = Phase::Ended;
        conclude(now, Outcome::Ok, {});
        return;
    case Phase::Failed:
        phase_ = transfer_.failure().phase;
        // "BOOTg" went out before the refusal: the record says so.
        report_.installed = phase_ == Phase::Installing && transfer_.installSent();
        conclude(now, outcomeOf(transfer_.failure().kind), failureReason());
        return;
    default:
        break;
    }
}

void HostRun::conclude(Millis now, Outcome outcome, const QString &reason)
{
    if (settled_)
        return;
    settled_ = true;
    if (linkOpen_) {
        // Disconnect: inquiries off, socket closed, the transfer at rest.
        transfer_.disconnect();
        drainTransfer();
    }
    report_.outcome = outcome;
    report_.exitCode = exitCodeFor(outcome, signal_);
    report_.reason = reason;
    report_.phase = phase_;
    report_.line = line_;
    report_.endedAt = now;
    report_.resends = transfer_.resends();
    report_.ignoredReplies = transfer_.ignoredReplies() + strangers_;
    report_.deviceVersion = versionText(transfer_.versionReply());
    const bool again = outcome != Outcome::Ok && outcome != Outcome::Interrupted &&
                       !interrupted_ && attempt_ < settings_.attempts;
    events_.push({RunEvent::Kind::AttemptEnded, report_, again});
    if (again) {
        // A new random or system-chosen port never hears the last attempt's
        // late replies; a port the user fixed might, so it waits them out.
        const bool fixedPort = settings_.localPort && *settings_.localPort != 0;
        nextAttemptAt_ = now + (fixedPort ? settings_.limits.replyTimeout : Millis{0});
        return;
    }
    finished_ = true;
    events_.push({RunEvent::Kind::Finished, report(now)});
}

QString HostRun::failureReason() const
{
    const TransferFailure &f = transfer_.failure();
    const QString where = f.phase == Phase::Polling ? QStringLiteral("the inquiry")
                                                    : passWhere(f.phase, f.line, lineCount());
    QString instead;
    if (!f.reply.isEmpty() && f.instead != Verdict::Answer)
        instead = QStringLiteral("; %1 came instead, left out: %2")
                      .arg(quotedReply(f.reply), verdictText(f.instead));
    const StrictLimits &limits = settings_.limits;
    switch (f.kind) {
    case TransferFailure::Kind::DeviceError:
        if (f.afterEnd && f.phase == Phase::Installing)
            return QStringLiteral("the device answered %1 %2 ms after \"BOOTg\" had been sent: "
                                  "the new firmware was started")
                .arg(quotedReply(f.reply))
                .arg(f.afterEnd->count());
        if (f.afterEnd)
            return QStringLiteral("the device answered %1 %2 ms after \"DOWNLOAD\" had ended %3: "
                                  "the end is not proven")
                .arg(quotedReply(f.reply))
                .arg(f.afterEnd->count())
                .arg(where);
        return QStringLiteral("the device answered %1 to %2").arg(quotedReply(f.reply), where);
    case TransferFailure::Kind::Unpaired: {
        const QString unproven =
            QStringLiteral(": replies cannot be paired with lines, so the image is not proven");
        if (f.instead == Verdict::EarlyOk)
            return QStringLiteral("the device answered %1 to the last line (%2 of %3, %4 pass) "
                                  "instead of \"DOWNLOAD\", or the network duplicated a reply%5")
                .arg(quotedReply(f.reply))
                .arg(f.line)
                .arg(lineCount())
                .arg(f.phase == Phase::Verify ? QStringLiteral("verify")
                                              : QStringLiteral("download"),
                     unproven);
        const QString when = f.instead == Verdict::NothingInFlight
                                 ? QStringLiteral("after every line had its answer")
                                 : QStringLiteral("while %1 waited").arg(where);
        return QStringLiteral("the network duplicated 1 reply (%1 came %2; %3)%4")
            .arg(quotedReply(f.reply), when, verdictText(f.instead), unproven);
    }
    case TransferFailure::Kind::NoVersion:
        return QStringLiteral("no \"VER=\" reply to the inquiry within %1%2")
            .arg(secondsText(limits.inquiryTimeout), instead);
    case TransferFailure::Kind::NoAnswer: {
        QString reason =
            QStringLiteral("no reply to %1 within %2").arg(where, secondsText(limits.replyTimeout));
        if (f.sends > 1)
            reason += QStringLiteral(", sent %1 times").arg(f.sends);
        return reason + instead;
    }
    case TransferFailure::Kind::SendFailed:
        return QStringLiteral("could not send %1: %2").arg(where, sendError_);
    case TransferFailure::Kind::None:
        break;
    }
    return {};
}

void HostRun::progress()
{
    events_.push({RunEvent::Kind::Progress});
}

const Effect *HostRun::pollEffect()
{
    return effects_.take();
}

bool HostRun::pollEvent(RunEvent &event)
{
    const RunEvent *next = events_.take();
    if (next)
        event = *next;
    return next != nullptr;
}

std::optional<Millis> HostRun::pollTimeout() const
{
    if (finished_)
        return std::nullopt;
    if (nextAttemptAt_)
        return nextAttemptAt_;
    if (settled_ || !linkOpen_)
        return std::nullopt;
    return transfer_.pollTimeout();
}

qint64 HostRun::linesDone() const
{
    switch (phase_) {
    case Phase::Download:
        return line_;
    case Phase::Verify:
        return qint64(lineCount()) + line_;
    case Phase::Installing:
    case Phase::Ended:
        return 2 * qint64(lineCount());
    default:
        return 0;
    }
}

HostSnapshot HostRun::snapshot(Millis now) const
{
    HostSnapshot s;
    s.phase = phase_;
    s.line = line_;
    s.lineCount = lineCount();
    s.linesDone = linesDone();
    s.elapsed = now - firstStart_;
    if (transferStart_)
        s.transferElapsed = now - *transferStart_;
    s.finished = finished_;
    if (finished_)
        s.report = report(now);
    return s;
}

HostReport HostRun::report(Millis now) const
{
    HostReport r = report_;
    r.startedAt = firstStart_;
    r.attempt = attempt_;
    if (!settled_ && !finished_) {
        r.phase = phase_;
        r.line = line_;
        r.endedAt = now;
        r.resends = transfer_.resends();
        r.ignoredReplies = transfer_.ignoredReplies() + strangers_;
    }
    return r;
}

} // namespace corvanel
