#include "common/command_line.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>
#include <variant>

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

// How roff shows `text` as it is. Backslashes are escaped; a dash becomes a
// minus sign (copied from a terminal as '-') everywhere in `Code`, and in
// `Prose` within words that start with one ("--drop-rate", "-"), so that
// hyphenated words keep their hyphens.
enum class Roff { Prose, Code };
QString roff(QString text, Roff kind)
{
    text.replace(QLatin1Char('\\'), QStringLiteral("\\e"));
    text.replace(QLatin1Char('\n'), QLatin1Char(' '));
    QString out;
    out.reserve(text.size() + 16);
    bool optionWord = kind == Roff::Code;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        const QChar before = i > 0 ? text[i - 1] : QChar(u' ');
        if (kind == Roff::Prose && c == u'-' && QStringView(u" (\"'[").contains(before))
            optionWord = true;
        else if (kind == Roff::Prose && c.isSpace())
            optionWord = false;
        out += c == u'-' && optionWord ? QStringLiteral("\\-") : QString(c);
    }
    // A line starting with '.' or '\'' would be read as a request.
    if (out.startsWith(QLatin1Char('.')) || out.startsWith(QLatin1Char('\'')))
        out.prepend(QStringLiteral("\\&"));
    return out;
}

QString bold(const QString &text)
{
    return QStringLiteral("\\fB") + roff(text, Roff::Code) + QStringLiteral("\\fR");
}

QString italic(const QString &text)
{
    return QStringLiteral("\\fI") + roff(text, Roff::Code) + QStringLiteral("\\fR");
}

// A word list as one single-quoted shell word.
QString shellWords(const QStringList &words)
{
    QString joined = words.join(QLatin1Char(' '));
    joined.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
    return QLatin1Char('\'') + joined + QLatin1Char('\'');
}

// The options file's rules, for --help and the manual page; empty without one.
QString configFileNote(const Definition &definition)
{
    if (definition.configOption.isEmpty())
        return {};
    QStringList commandLineOnly;
    for (const QString &name : definition.commandLineOnly)
        commandLineOnly << dashes(name);
    commandLineOnly << dashes(definition.configOption);
    const QString config = dashes(definition.configOption);
    const QString named = definition.configVariable.isEmpty()
                              ? QString()
                              : QStringLiteral(", or the file that %1 names when %2 is not given,")
                                    .arg(definition.configVariable, config);
    return QStringLiteral(
               "Options file: %1 FILE%2 holds options as \"name = value\" lines with the long "
               "options' names, such as \"attempts = 2\"; an option without a value takes true "
               "or false (also yes/no, on/off, 1/0). Blank lines and comments from '#' (at the "
               "start of a line or after a blank) are skipped, and a value may be put in double "
               "quotes. A relative file name is taken from the options file's folder. Options on "
               "the command line win over the file's. %3 and the operands stay on the command "
               "line. A bad line, an unknown name or a bad value stops the program, naming "
               "FILE:LINE; %1 /dev/null reads no file.")
        .arg(config, named, commandLineOnly.join(QStringLiteral(", ")));
}

QStringList allNotes(const Definition &definition)
{
    QStringList notes = definition.notes;
    if (const QString note = configFileNote(definition); !note.isEmpty())
        notes << note;
    return notes;
}

} // namespace

QString dashes(const QString &name)
{
    return (name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + name;
}

QStringList optionForms(const Option &option)
{
    QStringList forms;
    for (const QString &name : option.names)
        forms << dashes(name);
    return forms;
}

void addOptions(QCommandLineParser &parser, const Definition &definition)
{
    for (const Option &option : definition.options)
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

QString helpText(const Definition &definition)
{
    QString text;
    for (int i = 0; i < definition.usage.size(); ++i) {
        text += (i == 0 ? QStringLiteral("Usage: ") : QStringLiteral("       ")) +
                definition.program + QLatin1Char(' ') + definition.usage[i] + QLatin1Char('\n');
    }
    for (const QString &paragraph : definition.description)
        text += QLatin1Char('\n') + wrap(paragraph, kColumns);
    text += QStringLiteral("\nOptions:\n");
    for (const Option &option : definition.options) {
        const QString label = QStringLiteral("  ") + optionLabel(option);
        QString body = wrap(option.description, kColumns, kOptionColumn);
        if (label.size() + 2 <= kOptionColumn)
            body.replace(0, label.size(), label);
        else
            body.prepend(label + QLatin1Char('\n'));
        text += body;
    }
    for (const QString &paragraph : allNotes(definition))
        text += QLatin1Char('\n') + wrap(paragraph, kColumns);
    if (!definition.exitCodes.isEmpty()) {
        text += QStringLiteral("\nExit codes:\n");
        for (const ExitCode &exit : definition.exitCodes) {
            QString body = wrap(exit.meaning, kColumns, 7);
            body.replace(0, 2 + exit.code.size(), QStringLiteral("  ") + exit.code);
            text += body;
        }
    }
    if (!definition.examples.isEmpty()) {
        text += QStringLiteral("\nExamples:\n");
        for (const Example &example : definition.examples)
            text += wrap(example.what, kColumns, 2) + QStringLiteral("    ") + example.command +
                    QLatin1Char('\n');
    }
    return text;
}

QString manPage(const Definition &definition, const QString &version)
{
    QString page;
    const auto line = [&page](const QString &text) { page += text + QLatin1Char('\n'); };
    const auto paragraphs = [&line](const QStringList &texts) {
        for (const QString &text : texts) {
            line(QStringLiteral(".PP"));
            line(roff(text, Roff::Prose));
        }
    };

    line(QStringLiteral(".TH %1 1 \"\" \"Corvanel %2\" \"User Commands\"")
             .arg(roff(definition.program.toUpper(), Roff::Code), roff(version, Roff::Code)));
    // Left-aligned and unhyphenated, so that no option name is split.
    line(QStringLiteral(".nh"));
    line(QStringLiteral(".ad l"));
    line(QStringLiteral(".SH NAME"));
    line(roff(definition.program, Roff::Code) + QStringLiteral(" \\- ") +
         roff(definition.summary, Roff::Prose));

    line(QStringLiteral(".SH SYNOPSIS"));
    for (qsizetype i = 0; i < definition.usage.size(); ++i) {
        if (i > 0)
            line(QStringLiteral(".br"));
        line(bold(definition.program) + QLatin1Char(' ') + roff(definition.usage[i], Roff::Code));
    }

    if (!definition.description.isEmpty()) {
        line(QStringLiteral(".SH DESCRIPTION"));
        paragraphs(definition.description);
    }

    line(QStringLiteral(".SH OPTIONS"));
    for (const Option &option : definition.options) {
        QStringList forms;
        for (const QString &form : optionForms(option))
            forms << bold(form);
        QString label = forms.join(QStringLiteral(", "));
        if (!option.valueName.isEmpty())
            label += QLatin1Char(' ') + italic(option.valueName);
        line(QStringLiteral(".TP"));
        line(label);
        line(roff(option.description, Roff::Prose));
    }

    if (const QStringList notes = allNotes(definition); !notes.isEmpty()) {
        line(QStringLiteral(".SH NOTES"));
        paragraphs(notes);
    }

    if (!definition.configVariable.isEmpty()) {
        line(QStringLiteral(".SH ENVIRONMENT"));
        line(QStringLiteral(".TP"));
        line(bold(definition.configVariable));
        line(roff(QStringLiteral("The options file to read when %1 is not given.")
                      .arg(dashes(definition.configOption)),
                  Roff::Prose));
    }

    if (!definition.exitCodes.isEmpty()) {
        line(QStringLiteral(".SH \"EXIT STATUS\""));
        for (const ExitCode &exit : definition.exitCodes) {
            line(QStringLiteral(".TP"));
            line(bold(exit.code));
            line(roff(exit.meaning, Roff::Prose));
        }
    }

    if (!definition.examples.isEmpty()) {
        line(QStringLiteral(".SH EXAMPLES"));
        for (const Example &example : definition.examples) {
            line(QStringLiteral(".PP"));
            line(roff(example.what, Roff::Prose));
            line(QStringLiteral(".RS 4"));
            line(QStringLiteral(".nf"));
            line(roff(example.command, Roff::Code));
            line(QStringLiteral(".fi"));
            line(QStringLiteral(".RE"));
        }
    }

    if (!definition.seeAlso.isEmpty()) {
        line(QStringLiteral(".SH \"SEE ALSO\""));
        // "name(1)" as .BR name (1), every one but the last followed by a comma.
        static const QRegularExpression reference(QStringLiteral("^(.*)\\((\\w+)\\)$"));
        for (qsizetype i = 0; i < definition.seeAlso.size(); ++i) {
            const QRegularExpressionMatch match = reference.match(definition.seeAlso[i]);
            const QString comma =
                i + 1 < definition.seeAlso.size() ? QStringLiteral(",") : QString();
            if (match.hasMatch()) {
                line(QStringLiteral(".BR %1 (%2)%3")
                         .arg(roff(match.captured(1), Roff::Code), match.captured(2), comma));
            } else {
                line(QStringLiteral(".B %1%2").arg(roff(definition.seeAlso[i], Roff::Code), comma));
            }
        }
    }
    return page;
}

QString bashCompletion(const Definition &definition)
{
    QString function = QStringLiteral("_") + definition.program;
    function.replace(QRegularExpression(QStringLiteral("[^A-Za-z0-9_]")), QStringLiteral("_"));

    QStringList allForms;
    QStringList fileForms;
    QStringList freeValueForms; // values the shell cannot guess
    QString fixedCases;
    for (const Option &option : definition.options) {
        const QStringList forms = optionForms(option);
        allForms << forms;
        if (option.valueName.isEmpty())
            continue;
        if (option.valueIsFile) {
            fileForms << forms;
        } else if (!option.values.isEmpty()) {
            fixedCases += QStringLiteral("        %1)\n"
                                         "            mapfile -t COMPREPLY < <(compgen -W %2 -- "
                                         "\"$cur\")\n"
                                         "            return\n"
                                         "            ;;\n")
                              .arg(forms.join(QLatin1Char('|')), shellWords(option.values));
        } else {
            freeValueForms << forms;
        }
    }
    QString cases = fixedCases;
    if (!fileForms.isEmpty()) {
        cases += QStringLiteral("        %1)\n"
                                "            %2_files\n"
                                "            return\n"
                                "            ;;\n")
                     .arg(fileForms.join(QLatin1Char('|')), function);
    }
    if (!freeValueForms.isEmpty()) {
        cases += QStringLiteral("        %1)\n"
                                "            return\n"
                                "            ;;\n")
                     .arg(freeValueForms.join(QLatin1Char('|')));
    }
    const QString operands = definition.operands == Definition::Operands::Files
                                 ? QStringLiteral("    if [[ $cur == -* ]]; then\n"
                                                  "        %1_options\n"
                                                  "    else\n"
                                                  "        %1_files\n"
                                                  "    fi\n")
                                       .arg(function)
                                 : QStringLiteral("    %1_options\n").arg(function);

    return QStringLiteral("# bash completion for %1, made from its option table by the build.\n"
                          "\n"
                          "%2_files()\n"
                          "{\n"
                          "    if declare -F _filedir >/dev/null; then\n"
                          "        _filedir\n"
                          "    else\n"
                          "        compopt -o filenames 2>/dev/null\n"
                          "        mapfile -t COMPREPLY < <(compgen -f -- \"$cur\")\n"
                          "    fi\n"
                          "}\n"
                          "\n"
                          "%2_options()\n"
                          "{\n"
                          "    mapfile -t COMPREPLY < <(compgen -W %3 -- \"$cur\")\n"
                          "}\n"
                          "\n"
                          "%2()\n"
                          "{\n"
                          "    local cur prev words cword split\n"
                          "    if declare -F _init_completion >/dev/null; then\n"
                          "        _init_completion -s || return\n"
                          "    else\n"
                          "        cur=${COMP_WORDS[COMP_CWORD]}\n"
                          "        prev=${COMP_WORDS[COMP_CWORD - 1]}\n"
                          "        # bash splits \"--option=value\" at '='.\n"
                          "        if [[ $cur == = ]]; then\n"
                          "            cur=\n"
                          "        elif [[ $prev == = ]] && ((COMP_CWORD >= 2)); then\n"
                          "            prev=${COMP_WORDS[COMP_CWORD - 2]}\n"
                          "        fi\n"
                          "    fi\n"
                          "    case $prev in\n"
                          "%4"
                          "    esac\n"
                          "%5"
                          "}\n"
                          "complete -F %2 %1\n")
        .arg(definition.program, function, shellWords(allForms), cases, operands);
}

std::optional<QString> generatedFile(const QStringList &arguments, const Definition &definition,
                                     const QString &version)
{
    if (arguments.size() != 2)
        return std::nullopt;
    if (arguments[1] == QLatin1String("--man-page"))
        return manPage(definition, version);
    if (arguments[1] == QLatin1String("--bash-completion"))
        return bashCompletion(definition);
    return std::nullopt;
}

} // namespace corvanel::cli
