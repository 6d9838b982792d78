#pragma once

#include "common/operator_error.h"

#include <QString>

namespace corvanel {

// The modal dialogs an operation may show. The window implements it with real
// dialogs; tests answer from a script and never open a modal window.
class OperatorPrompts {
public:
    virtual ~OperatorPrompts() = default;

    // File-open dialog. `filter` is "label|pattern" pairs separated by "|".
    // Returns the chosen path, or an empty string when cancelled.
    virtual QString askOpenFileName(const QString &filter) = 0;

    // The "Cancel" box: text "Cancel", OK button, no icon, the product name as title.
    virtual void showCancelled() = 0;

    // The "Error#" box: critical icon, OK button, title "Error#<number>".
    virtual void showError(const OperatorError &error) = 0;
};

} // namespace corvanel
