#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QIODevice>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QTimeZone>

#include <memory>
#include <optional>
#include <variant>

namespace corvanel::records {

// Whether a bound opens or closes the time looked at.
enum class BoundKind { Since, Until };

// A --since or --until as typed: a time as the records write it
// ("2025-03-01T08:15:02.125Z", or with an offset "+01:00"), a time without a
// zone ("2025-03-01T06:00", taken in `zone`), or a plain date ("2025-03-01",
// its midnight in `zone`; for --until the date's end, so the day is in).
// The error says what is wrong with the text.
std::variant<QDateTime, QString> parseTimeBound(const QString &text, BoundKind kind,
                                                const QTimeZone &zone);

struct SummaryOptions {
    QDateTime since; // boards that began at or after it; invalid: no bound
    QDateTime until; // boards that began before it; invalid: no bound
    QTimeZone zone = QTimeZone::systemTimeZone(); // the times shown, and the chart's hours
    int idleMinutes = 10;                         // a longer pause between boards is not "running"
};

// A row of a failure Pareto table.
struct ParetoRow {
    QString cause;       // a reason with its numbers replaced by '#', or a phase
    qint64 attempts = 0; // attempts that failed so
    qint64 boards = 0;   // boards whose last attempt failed so
    QString example;     // one reason as written, for a cause made of several
};

struct StationSummary {
    QString station;
    bool total = false; // the sum over every station
    qint64 boards = 0;
    qint64 firstPass = 0; // boards whose first attempt ended in END
    qint64 passed = 0;    // boards whose last attempt ended in END
    qint64 failedAttempts = 0;
    QList<QPair<QString, qint64>> results; // boards by their last attempt's result, most first
    QList<ParetoRow> reasons;              // failed attempts by reason, most first
    QList<ParetoRow> phases;               // failed attempts by the phase they stopped in
    double runningHours = 0;
    std::optional<double> boardsPerHour; // boards / running hours
    std::optional<double> medianSeconds; // over boards that passed: their attempts' seconds
    qint64 flashedBefore = 0; // boards whose identity had been flashed before (boards back)
    qint64 unidentified = 0;  // continuous boards without a MAC address: no identity over runs
    qint64 dryRuns = 0;       // dry-run records: not boards
    qint64 dryRunsReady = 0;
    qint64 skipped = 0; // "SKIPPED" records (--skip-done): not boards
    QDateTime first;    // the first board's start
    QDateTime last;     // the last board's end

    double firstPassYield() const { return boards ? double(firstPass) / double(boards) : 0; }
    double finalYield() const { return boards ? double(passed) / double(boards) : 0; }
};

// A board flashed in more than one run.
struct BoardBack {
    QString identity; // its MAC address, or "station host:port"
    bool byMac = false;
    qint64 times = 0;
    QStringList results; // each run's result, in the order read (the first few)
    QString lastStation;
};

struct ImageUse {
    QString sha256; // empty when the records do not know it
    QString file;
    qint64 boards = 0;
    QDateTime first;
    QDateTime last;
};

// One bar of the chart: boards that began in the hour (or day).
struct ChartBar {
    QDateTime start;
    qint64 passed = 0;
    qint64 failed = 0;
};

struct BadLine {
    QString where; // FILE:LINE
    QString problem;
};

struct ShiftSummary {
    QStringList inputs;
    QDateTime since;
    QDateTime until;
    QTimeZone zone;
    int idleMinutes = 10;
    qint64 records = 0; // attempt records read, inside the time range or not
    qint64 badLines = 0;
    QList<BadLine> namedBadLines; // the first few
    StationSummary total;
    QList<StationSummary> stations; // by name
    qint64 boardsBack = 0;          // identities flashed in more than one board
    QList<BoardBack> back;          // the most flashed first, a bounded list
    QList<ImageUse> images;         // most boards first
    QList<ChartBar> chart;
    int chartHours = 1; // a bar's width: 1 or 24 hours
    QStringList notes;  // what the figures mean, said in the output
};

// Reads reports one after another into one summary, line by line, in memory
// that does not grow with the number of records (but for one compact set of
// board identities, to find boards that came back).
class ShiftTally {
public:
    explicit ShiftTally(const SummaryOptions &options = {});
    ~ShiftTally();
    ShiftTally(const ShiftTally &) = delete;
    ShiftTally &operator=(const ShiftTally &) = delete;

    // Reads `device` to its end; `name` is how bad lines and errors name it.
    // An error (the input cannot be read) names it; lines read before stay.
    std::optional<QString> add(const QString &name, QIODevice &device);
    // Opens and reads a file; "-" is standard input.
    std::optional<QString> addFile(const QString &path);
    ShiftSummary finish();

private:
    struct State;
    std::unique_ptr<State> state_;
};

// The summary of report files ("-": standard input), or an error that names
// the file that could not be read.
std::variant<ShiftSummary, QString> summarize(const QStringList &inputs,
                                              const SummaryOptions &options = {});

// The summary as a shift lead reads it on a terminal.
QString summaryText(const ShiftSummary &summary);
// The same content as one JSON object.
QByteArray summaryJson(const ShiftSummary &summary);
// One self-contained page: tables, the boards per hour and the failure
// Pareto as inline SVG that print in black and white; no script, nothing
// loaded from elsewhere; every text from the records escaped.
QByteArray summaryHtml(const ShiftSummary &summary);

// A reason with what varies from one failure to the next (line numbers,
// times, addresses, counts) replaced by '#', so one cause is one row.
QString normalisedReason(QStringView reason);

} // namespace corvanel::records
