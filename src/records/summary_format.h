#pragma once

// Pieces the summary's text, JSON and page share.

#include "records/shift_summary.h"

namespace corvanel::records::format {

// A text from the records as one line a terminal shows as it is: control and
// format characters (escape sequences, line ends, direction overrides) as '?'.
QString plain(const QString &text);
// "96.6 %"
QString percent(double share);
// "2025-03-01 06:00" in the summary's zone.
QString when(const ShiftSummary &summary, const QDateTime &time);
// "2025-03-01 06:00 to 2025-03-01 14:02": the bounds given, else the boards'.
QString period(const ShiftSummary &summary);
QString zoneName(const QTimeZone &zone);
// "41.20 s", "-" when there is none.
QString seconds(const std::optional<double> &value);
QString rate(const std::optional<double> &value);
// "END 410, ERROR 3"
QString results(const StationSummary &station);
// "12 dry runs (12 READY), 4 skipped as already done", empty when none.
QString notBoards(const StationSummary &station);
// A station's name as a row shows it; the total is "all".
QString stationName(const StationSummary &station);

} // namespace corvanel::records::format
