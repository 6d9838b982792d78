#include "flash/flash_result.h"

#include "engine/protocol.h"

namespace corvanel::flash {

int exitCodeFor(Outcome outcome)
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
        return exitcode::kInterrupted;
    }
    return exitcode::kMixedFailures;
}

int exitCodeFor(const HostReport &report)
{
    if (report.outcome == Outcome::Interrupted && report.stopSignal != 0)
        return 128 + report.stopSignal;
    return exitCodeFor(report.outcome);
}

int combinedExitCode(const QList<Outcome> &outcomes)
{
    if (outcomes.contains(Outcome::Interrupted))
        return exitcode::kInterrupted;
    int code = exitcode::kOk;
    for (Outcome outcome : outcomes) {
        const int c = exitCodeFor(outcome);
        if (c == exitcode::kOk)
            continue;
        if (code == exitcode::kOk)
            code = c;
        else if (code != c)
            return exitcode::kMixedFailures;
    }
    return code;
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
    }
    return {};
}

QString resultWord(const HostReport &report)
{
    if (report.dryRun && report.outcome == Outcome::Ok)
        return QStringLiteral("READY");
    return outcomeWord(report.outcome);
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

QString phaseWord(Phase phase)
{
    switch (phase) {
    case Phase::Connecting:
        return QStringLiteral("connect");
    case Phase::Inquiry:
        return QStringLiteral("inquiry");
    case Phase::Download:
        return QStringLiteral("download");
    case Phase::Verify:
        return QStringLiteral("verify");
    case Phase::Install:
        return QStringLiteral("install");
    case Phase::Done:
        return QStringLiteral("done");
    }
    return {};
}

} // namespace corvanel::flash
