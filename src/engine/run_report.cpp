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
    }
    return exitcode::kMixedFailures;
}

int runExitCode(const QList<int> &boardCodes, bool reportFailed)
{
    int code = exitcode::kOk;
    for (int c : boardCodes) {
        // An interrupt outranks everything: the run did not finish.
        if (c >= exitcode::kSignalBase)
            return c;
        if (c == exitcode::kOk || c == code)
            continue;
        code = code == exitcode::kOk ? c : exitcode::kMixedFailures;
    }
    if (reportFailed)
        return code == exitcode::kOk || code == exitcode::kFileError ? exitcode::kFileError
                                                                     : exitcode::kMixedFailures;
    return code;
}

int productionExitCode(const QList<HostReport> &boards, const QList<int> &laneCodes,
                       bool reportFailed)
{
    QList<int> codes = laneCodes;
    for (const HostReport &board : boards) {
        if (board.exitCode >= exitcode::kSignalBase)
            codes.append(board.exitCode);
        else if (board.exitCode != exitcode::kOk)
            codes.append(exitcode::kDeviceError); // a board that failed, whichever way
    }
    return runExitCode(codes, reportFailed);
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
