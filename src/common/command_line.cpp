#include "common/command_line.h"

#include <QCommandLineOption>
#include <QCommandLineParser>

namespace corvanel::cli {

namespace {

constexpr int kColumns = 79;
constexpr int kOptionColumn = 26; // where option descriptions start

QString optionLabel(const Option &option)
{
    QStringList forms;
    for (const QString &name : option.names)
        forms << (name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + name;
    QString label = forms.join(QStringLiteral(", "));
    if (!option.valueName.isEmpty())
        label += QLatin1Char(' ') + option.valueName;
    return label;
}

} // namespace

void addOptions(QCommandLineParser &parser, const Spec &spec)
{
    for (const Option &option : spec.options)
        parser.addOption(QCommandLineOption(option.names, option.description, option.valueName));
}

QString wrap(const QString &text, int width, int indent)
{
    const QString margin(indent, QLatin1Char(' '));
    QString out;
    QString line;
    const QStringList words = text.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    for (const QString &word : words) {
        if (!line.isEmpty() && indent + line.size() + 1 + word.size() > width) {
            out += margin + line + QLatin1Char('\n');
            line.clear();
        }
        line += (line.isEmpty() ? QString() : QStringLiteral(" ")) + word;
    }
    if (!line.isEmpty())
        out += margin + line + QLatin1Char('\n');
    return out;
}

QString helpText(const Spec &spec)
{
    QString text;
    for (int i = 0; i < spec.usage.size(); ++i) {
        text += (i == 0 ? QStringLiteral("Usage: ") : QStringLiteral("       ")) + spec.program +
                QLatin1Char(' ') + spec.usage[i] + QLatin1Char('\n');
    }
    for (const QString &paragraph : spec.description)
        text += QLatin1Char('\n') + wrap(paragraph, kColumns);
    text += QStringLiteral("\nOptions:\n");
    for (const Option &option : spec.options) {
        const QString label = QStringLiteral("  ") + optionLabel(option);
        QString body = wrap(option.description, kColumns, kOptionColumn);
        if (label.size() + 2 <= kOptionColumn)
            body.replace(0, label.size(), label);
        else
            body.prepend(label + QLatin1Char('\n'));
        text += body;
    }
    for (const QString &paragraph : spec.notes)
        text += QLatin1Char('\n') + wrap(paragraph, kColumns);
    if (!spec.exitCodes.isEmpty()) {
        text += QStringLiteral("\nExit codes:\n");
        for (const ExitCode &exit : spec.exitCodes) {
            QString body = wrap(exit.meaning, kColumns, 7);
            body.replace(0, 2 + exit.code.size(), QStringLiteral("  ") + exit.code);
            text += body;
        }
    }
    if (!spec.examples.isEmpty()) {
        text += QStringLiteral("\nExamples:\n");
        for (const Example &example : spec.examples)
            text += wrap(example.what, kColumns, 2) + QStringLiteral("    ") + example.command +
                    QLatin1Char('\n');
    }
    return text;
}

} // namespace corvanel::cli
