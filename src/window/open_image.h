#pragma once

#include "common/operator_prompts.h"
#include "engine/board.h"

#include <functional>

#include <QLatin1StringView>

namespace corvanel {

// The file dialog's filter: one entry, label and pattern.
inline constexpr QLatin1StringView kHexFilter{"HEX files (*.hex)|*.hex"};

// The window's line table: an image of more lines is refused.
inline constexpr int kWindowMaxLines = 9000;

// The "Open File and  Download" button: dialog, read, adopt; "Cancel" and
// "Error#" boxes through the prompts. A cancelled dialog changes nothing of
// the transfer; the pass flag is cleared only once a file was chosen.
// `apply` carries out the transfer's effects after each step, so the bar
// shows them before any box opens.
void LoadImageFile(Board &board, const std::function<void()> &apply, OperatorPrompts &prompts);

} // namespace corvanel
