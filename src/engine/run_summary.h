#pragma once

#include "engine/run_report.h"
#include "engine/scan_run.h"

#include <QList>

#include <optional>

namespace corvanel {

// How a run of the flasher ended, whatever its mode: the one value its exit
// code is decided from (exitCode below), and that its text and JSON summary
// show.
struct RunSummary {
    enum class Mode {
        Boards,     // flashing or a dry run: a row per host
        Continuous, // board after board: a row per board, then each lane that stopped
        Scan,       // the boards that answered
        Output,     // --info, --write-hex, --summary: nothing flashed
    };
    Mode mode = Mode::Output;
    QList<HostReport> rows;
    // Continuous: the codes of lanes that did not stop at their count (a
    // signal's, or a link's that would not open).
    QList<int> laneCodes;
    std::optional<ScanOutcome> scan;
    // Ended before anything was sent, or its output could not be made: the
    // code (2 usage, 4 a file, 5 the network).
    std::optional<int> refused;
    bool reportFailed = false; // a record could not be written

    static RunSummary refusal(int code)
    {
        RunSummary summary;
        summary.refused = code;
        return summary;
    }
};

// The process's exit code, decided here and nowhere else. Flashing: 0 when
// every board ended well; an interrupt's code when the run was interrupted;
// the failing boards' code when they failed the same way, 6 when they did
// not; and a run whose records could not all be written fails with 4 (or 6
// beside another failure), for a board without its record is not done.
// Continuous: 1 when any board failed, whichever way. Scan: 0 when a board
// answered, 3 when none did, 5 when not one inquiry could be sent.
int exitCode(const RunSummary &summary);

} // namespace corvanel
