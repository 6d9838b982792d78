#pragma once

#include "common/operator_error.h"
#include "common/operator_prompts.h"
#include "engine/line_table.h"
#include "engine/status_display.h"
#include "engine/transfer_state.h"

#include <QString>

#include <variant>

namespace corvanel {

// The file dialog's filter: one entry, label and pattern.
inline constexpr QLatin1StringView kHexFilter{"HEX files (*.hex)|*.hex"};

// Reads a HEX file into a fresh table, one line per entry, without parsing the
// records. Fails with an OperatorError naming the file (missing, directory,
// unreadable, more than 9000 lines, a line too long for a datagram).
std::variant<LineTable, OperatorError> readImageFile(const QString &path);

// Puts a fully read image in place: line count, bar maximum, "READY",
// position 0, imageLoaded 1.
void adoptImage(TransferState &state, StatusDisplay &display, LineTable &&table);

// The "Open File and  Download" button: dialog, read, adopt; "Cancel" and
// "Error#" boxes through the prompts.
void LoadImageFile(TransferState &state, StatusDisplay &display, OperatorPrompts &prompts);

} // namespace corvanel
