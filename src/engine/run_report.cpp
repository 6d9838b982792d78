#include "engine/run_report.h"

#include "engine/protocol.h"

namespace corvanel {

int exitCodeFor(Outcome outcome, int signal)
{
    switch (outcome) {
    case Outcome::Ok:
        return exitcode::kOk;
    case Outcome::DeviceError:
        return exitcode::kDeviceError;
    case Outcome::TimedOut:
        return exitcode::kTimeout;
    case Outcome::FileError:
        return exitcode::kFileError;
    case Outcome::NetworkError:
        return exitcode::kNetworkError;
    case Outcome::Interrupted:
        return signal > 0 ? exitcode::kSignalBase + signal : exitcode::kInterrupted;
    case Outcome::Skipped:
        return exitcode::kOk;
    }
    return exitcode::kMixedFailures;
}

namespace {

QString passWhere(Phase phase, int line, int lineCount)
{
    return QStringLiteral("line %1 of %2 (%3 pass)")
        .arg(line)
        .arg(lineCount)
        .arg(phase == Phase::Verify ? QStringLiteral("verify") : QStringLiteral("download"));
}

} // namespace

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

QString failureReason(const TransferFailure &f, int lineCount, const StrictLimits &limits,
                      const QString &sendError)
{
    const QString where = f.phase == Phase::Polling ? QStringLiteral("the inquiry")
                                                    : passWhere(f.phase, f.line, lineCount);
    QString instead;
    if (!f.reply.isEmpty() && f.instead != Verdict::Answer)
        instead = QStringLiteral("; %1 came instead, %2")
                      .arg(quotedReply(f.reply), verdictText(f.instead));
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
                .arg(lineCount)
                .arg(f.phase == Phase::Verify ? QStringLiteral("verify")
                                              : QStringLiteral("download"),
                     unproven);
        const QString when = f.instead == Verdict::NothingInFlight
                                 ? QStringLiteral("after every line had its answer")
                                 : QStringLiteral("while %1 waited").arg(where);
        QString why = verdictText(f.instead);
        why.remove(QStringLiteral("left out: "));
        return QStringLiteral("the network duplicated 1 reply (%1 came %2; %3)%4")
            .arg(quotedReply(f.reply), when, why, unproven);
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
        return QStringLiteral("could not send %1: %2").arg(where, sendError);
    case TransferFailure::Kind::None:
        break;
    }
    return {};
}

QString outcomeWord(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Ok:
        return QStringLiteral("END");
    case Outcome::DeviceError:
        return QStringLiteral("ERROR");
    case Outcome::TimedOut:
        return QStringLiteral("TIMEOUT");
    case Outcome::FileError:
        return QStringLiteral("FILE");
    case Outcome::NetworkError:
        return QStringLiteral("NETWORK");
    case Outcome::Interrupted:
        return QStringLiteral("STOPPED");
    case Outcome::Skipped:
        return QStringLiteral("SKIPPED");
    }
    return {};
}

QString resultWord(const HostReport &report)
{
    if (report.dryRun && report.outcome == Outcome::Ok)
        return QStringLiteral("READY");
    return outcomeWord(report.outcome);
}

QString phaseWord(Phase phase)
{
    switch (phase) {
    case Phase::NotConnected:
        return QStringLiteral("connect");
    case Phase::Polling:
    case Phase::Ready:
        return QStringLiteral("inquiry");
    case Phase::Download:
        return QStringLiteral("download");
    case Phase::Verify:
        return QStringLiteral("verify");
    case Phase::Failed:
        return QStringLiteral("failed");
    case Phase::Installing:
        return QStringLiteral("install");
    case Phase::Ended:
        return QStringLiteral("done");
    }
    return {};
}

std::optional<QString> versionText(QByteArrayView reply)
{
    const qsizetype at = reply.indexOf(protocol::kTokenVersion);
    if (at < 0)
        return std::nullopt;
    QByteArrayView text = reply.sliced(at + protocol::kTokenVersion.size());
    const auto blank = [](char c) { return c == '\r' || c == '\n' || c == ' '; };
    while (!text.isEmpty() && blank(text.front()))
        text = text.sliced(1);
    while (!text.isEmpty() && blank(text.back()))
        text.chop(1);
    return QString::fromLatin1(text);
}

QString secondsText(Millis duration)
{
    return QString::number(double(duration.count()) / 1000.0, 'g', 6) + QStringLiteral(" s");
}

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

} // namespace corvanel
