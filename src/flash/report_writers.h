#pragma once

#include "common/operator_error.h"
#include "engine/run_report.h"
#include "records/run_records.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

#include <optional>

namespace corvanel::flash {

using records::attemptRecord;
using records::kReportSchemaVersion;
using records::linesReached;
using records::refusalJson;
using records::RunFacts;
using records::summaryJson;
using records::utcText;

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

} // namespace corvanel::flash
