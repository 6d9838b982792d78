#pragma once

#include "common/operator_prompts.h"

#include <QString>

class QWidget;

namespace corvanel {

// The title of the "Cancel" box: the product's name.
inline constexpr QLatin1StringView kProductName{"Corvanel"};

// The operator's dialogs as real modal Qt dialogs over the window.
class QtPrompts : public OperatorPrompts {
public:
    explicit QtPrompts(QWidget *parent) : parent_(parent) {}

    QString askOpenFileName(const QString &filter) override;
    void showCancelled() override;
    void showError(const OperatorError &error) override;

    // "label|pattern|label|pattern..." turned into Qt's "label (pattern);;...".
    // A label that already ends in its pattern in brackets keeps it once.
    static QString qtFileFilter(const QString &filter);

private:
    QWidget *parent_;
};

} // namespace corvanel
