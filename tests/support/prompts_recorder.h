#pragma once

// A recording fake of the operator's dialogs: the file dialog answers from a
// script, and every box that would have been shown is kept in order.

#include "common/operator_prompts.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

namespace corvanel::testing {

class RecordingPrompts : public OperatorPrompts {
public:
    QStringList answers;         // what the file dialog returns, first to last; "" when run out
    QStringList filtersAsked;    // the filter of every file dialog shown
    int cancelledShown = 0;      // "Cancel" boxes
    QList<OperatorError> errors; // "Error#" boxes
    QStringList boxes;           // every box in order: "Cancel" or the "Error#n" title
    // Runs while the file dialog is open, as a modal dialog runs the event loop.
    std::function<void()> whileDialogOpen;

    QString askOpenFileName(const QString &filter) override
    {
        filtersAsked.append(filter);
        if (whileDialogOpen)
            whileDialogOpen();
        return answers.isEmpty() ? QString() : answers.takeFirst();
    }
    void showCancelled() override
    {
        ++cancelledShown;
        boxes.append(QStringLiteral("Cancel"));
    }
    void showError(const OperatorError &error) override
    {
        errors.append(error);
        boxes.append(error.title());
    }
};

} // namespace corvanel::testing
