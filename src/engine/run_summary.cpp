#include "engine/run_summary.h"

namespace corvanel {

namespace {

// The codes of the boards taken together: one failure's, or 6 for several.
int combined(const QList<int> &codes, bool reportFailed)
{
    int code = exitcode::kOk;
    for (int c : codes) {
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

} // namespace

int exitCode(const RunSummary &summary)
{
    if (summary.refused)
        return *summary.refused;
    QList<int> codes;
    switch (summary.mode) {
    case RunSummary::Mode::Output:
        return exitcode::kOk;
    case RunSummary::Mode::Scan: {
        const ScanOutcome &s = *summary.scan;
        return s.signal != 0       ? exitcode::kSignalBase + s.signal
               : !s.boards.empty() ? exitcode::kOk
               : s.sent == 0       ? exitcode::kNetworkError
                                   : exitcode::kTimeout;
    }
    case RunSummary::Mode::Continuous:
        codes = summary.laneCodes;
        for (const HostReport &board : summary.rows) {
            if (board.board == 0)
                continue; // a lane that stopped: its code is among the lanes'
            if (board.exitCode >= exitcode::kSignalBase)
                codes.append(board.exitCode);
            else if (board.exitCode != exitcode::kOk)
                codes.append(exitcode::kDeviceError); // a board that failed, whichever way
        }
        break;
    case RunSummary::Mode::Boards:
        for (const HostReport &host : summary.rows)
            codes.append(host.exitCode);
        break;
    }
    return combined(codes, summary.reportFailed);
}

} // namespace corvanel
