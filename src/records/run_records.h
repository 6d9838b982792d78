#pragma once

// The records a run leaves and its JSON summary: the one place that writes
// their fields, beside the reader that takes them back (record_line.h).

#include "common/console.h"
#include "common/operator_error.h"
#include "engine/board.h"
#include "engine/run_report.h"
#include "engine/scan_run.h"
#include "image/hex_check.h"
#include "image/image_figures.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

#include <optional>

namespace corvanel::records {

// The layout of the records and JSON summaries; raised when a field changes
// meaning or goes away (new fields may come without it).
inline constexpr int kReportSchemaVersion = 1;

// What every record and summary of a run says about the run itself.
struct RunFacts {
    QString toolVersion;
    QString station;
    QString imagePath;
    int lineCount = 0;
    std::optional<image::ImageFigures> figures{}; // empty for an unreadable unchecked image
    bool dryRun = false;
    QDateTime start{}; // UTC
    QDateTime end{};   // UTC; the summary's only
    // The wall clock when the run's monotonic clock read 0: reports count
    // their times on that clock.
    QDateTime origin{};

    QDateTime wallTime(Millis at) const { return origin.addMSecs(at.count()); }
};

// ISO 8601 in UTC with milliseconds: "2025-03-01T08:15:02.125Z".
QString utcText(const QDateTime &time);

// The lines a report says were reached: the count for a board that ended
// well, else the line it stopped at.
int linesReached(const HostReport &report);

// The JSON summary at the end of a run, one row per host (or board).
QByteArray summaryJson(const RunFacts &run, const QList<HostReport> &reports, int exitCode);
// One attempt on one host as a line of JSON Lines: the traceability record.
QByteArray attemptRecord(const RunFacts &run, const HostReport &attempt);
// A run that ended before any host was contacted (file error, refused image).
QByteArray refusalJson(const QString &imagePath, int exitCode, const QString &error,
                       const QList<image::HexProblem> &problems);

// The summary at the end of a run, one row per host; with `colour`, rows that
// ended well in green and failed ones in red.
QString summaryTable(const QList<HostReport> &reports, int exitCode, bool colour = false);
// A dry run's first line: what would be flashed.
QString dryRunHeader(const RunFacts &run);
// A failure of the link or a file in the flasher's words, lower case:
// "local port 6000 cannot be bound: Address in use".
QString problemText(const OperatorError &error);

// Pieces of a host's row, shared with the live progress.
QString linesText(const HostReport &report);
QString timeText(double seconds);
QString detailText(const HostReport &report);

// How a result row is shown: green for a board done well (END, READY,
// SKIPPED), red for the rest.
Tone toneOf(const HostReport &report);

// What --scan prints: a hosts file, or JSON for scripts. One board found, as a line of a hosts
// file: "10.0.0.7:111  # VER=2.01".
QString scanLine(const FoundBoard &board);
// "2 boards answered; 16 addresses asked 3 times in 1.0 s; exit code 0".
QString scanFooter(const ScanOutcome &outcome, int exitCode);
QByteArray scanJson(const ScanOutcome &outcome, const QDateTime &started,
                    const QString &toolVersion, std::chrono::milliseconds scanTime, int exitCode);

// The live words of a run, as the progress shows them. Where a board
// stands, pass and whole: "VERIFY 83/9000 (9083/18000)"; its result word in
// place of the pass once it is done.
QString passText(const HostSnapshot &host);
// One bar line, as drawn on a terminal.
QString barLine(const QString &label, int labelWidth, const HostSnapshot &host);
// One lane's line in continuous production.
QString laneLine(const QString &label, int labelWidth, const LaneSnapshot &lane);
// "board 3 (02:00:5e:10:00:01) is back: take it away"
QString backText(const HostReport &back);

} // namespace corvanel::records
