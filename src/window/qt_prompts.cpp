#include "window/qt_prompts.h"

#include "window/error_box.h"

#include <QFileDialog>
#include <QMessageBox>
#include <QRegularExpression>

namespace corvanel {

QString QtPrompts::qtFileFilter(const QString &filter)
{
    const QStringList parts = filter.split(QLatin1Char('|'));
    QStringList entries;
    static const QRegularExpression trailingBrackets(QStringLiteral("\\s*\\([^()]*\\)\\s*$"));
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        QString label = parts.at(i);
        label.remove(trailingBrackets);
        // Several patterns are separated by ';' in the pair form, by spaces in Qt's.
        const QString patterns =
            parts.at(i + 1).split(QLatin1Char(';'), Qt::SkipEmptyParts).join(QLatin1Char(' '));
        entries.append(label.trimmed() + QStringLiteral(" (") + patterns + QLatin1Char(')'));
    }
    return entries.join(QStringLiteral(";;"));
}

QString QtPrompts::askOpenFileName(const QString &filter)
{
    return QFileDialog::getOpenFileName(parent_, QString(), QString(), qtFileFilter(filter));
}

void QtPrompts::showCancelled()
{
    QMessageBox box(QMessageBox::NoIcon, QString(kProductName), QStringLiteral("Cancel"),
                    QMessageBox::Ok, parent_);
    box.exec();
}

void QtPrompts::showError(const OperatorError &error)
{
    QMessageBox box(QMessageBox::Critical, error.title(), errorBoxText(error), QMessageBox::Ok,
                    parent_);
    box.exec();
}

} // namespace corvanel
