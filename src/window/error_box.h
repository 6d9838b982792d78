#pragma once

#include "common/operator_error.h"

#include <QString>

namespace corvanel {

// The text of the window's "Error#" box for a failure: one sentence that says
// what failed and names the file, host or port.
QString errorBoxText(const OperatorError &error);

} // namespace corvanel
