#include "flash/flash_result.h"

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
