#include "common/command_line.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QRegularExpression>

// What is made from a definition for people and shells: help, manual page,
// completion scripts.
namespace corvanel::cli {

namespace {

constexpr int kColumns = 79;
constexpr int kOptionColumn = 26; // where option descriptions start

QString optionLabel(const Option &option)
{
    QString label = optionForms(option).join(QStringLiteral(", "));
    if (!option.valueName.isEmpty())
        label += QLatin1Char(' ') + option.valueName;
    return label;
}

// The text up to the end of its first sentence: a full stop before a blank
// and a capital, so that "e.g. 0.5" and "0.05" do not end it.
QString firstSentence(const QString &text)
{
    for (qsizetype i = 0; i + 2 < text.size(); ++i) {
        if (text[i] == u'.' && text[i + 1] == u' ' && text[i + 2].isUpper())
            return text.left(i + 1);
    }
    return text;
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
    QStringList fileModes; // modes an options file may choose
    for (const Option &option : definition.options) {
        if (option.commandLineOnly || option.names.last() == definition.configOption)
            commandLineOnly << dashes(option.names.last());
        else if (option.choosesMode)
            fileModes << dashes(option.names.last());
    }
    QString stay = commandLineOnly.join(QStringLiteral(", ")) +
                   QStringLiteral(" and the operands stay on the command line");
    if (!fileModes.isEmpty())
        stay += QStringLiteral("; %1 from the file is said on standard error")
                    .arg(fileModes.join(QStringLiteral(", ")));
    const QString config = dashes(definition.configOption);
    QString found;
    if (!definition.configVariable.isEmpty())
        found += QStringLiteral(" Without %1 the file %2 names is read")
                     .arg(config, definition.configVariable);
    if (!definition.configName.isEmpty())
        found += QStringLiteral(", or else the first of $XDG_CONFIG_HOME/%1 (by default "
                                "~/.config/%1) and /etc/%1 that is there")
                     .arg(definition.configName);
    return QStringLiteral(
               "Options file: %1 FILE holds options as \"name = value\" lines with the long "
               "options' names, such as \"attempts = 2\"; an option without a value takes true "
               "or false (also yes/no, on/off, 1/0). Blank lines and comments from '#' (at the "
               "start of a line or after a blank) are skipped, and a value may be put in double "
               "quotes. A relative file name is taken from the options file's folder.%2; %1 "
               "/dev/null reads none. Options on the command line win over the file's, and an "
               "option of the file that means nothing in the command line's mode is left aside "
               "(-v says which file was read and what was left aside). %3. A bad line, an unknown "
               "name or a bad value stops the "
               "program, naming FILE:LINE.")
        .arg(config, found, stay);
}

QStringList allNotes(const Definition &definition)
{
    QStringList notes = definition.notes;
    if (const QString note = configFileNote(definition); !note.isEmpty())
        notes << note;
    return notes;
}

QList<Entry> environmentOf(const Definition &definition)
{
    QList<Entry> entries;
    if (!definition.configVariable.isEmpty()) {
        entries << Entry{definition.configVariable,
                         QStringLiteral("The options file to read when %1 is not given.")
                             .arg(dashes(definition.configOption))};
    }
    return entries + definition.environment;
}

// "Usage: PROGRAM FORM", wrapped under its own start.
QString usageLines(const Definition &definition)
{
    QString text;
    for (qsizetype i = 0; i < definition.usage.size(); ++i) {
        const QString start = (i == 0 ? QStringLiteral("Usage: ") : QStringLiteral("       ")) +
                              definition.program + QLatin1Char(' ');
        QString body = wrap(definition.usage[i], kColumns, int(start.size()));
        text += start + body.mid(start.size());
    }
    return text;
}

// A command as a shell takes it: long ones go on after " \" on the next line.
QString commandLines(const QString &command, int indent)
{
    QString text = wrap(command, kColumns - 2, indent);
    text.chop(1);
    text.replace(QLatin1Char('\n'), QStringLiteral(" \\\n  "));
    return text + QLatin1Char('\n');
}

// An entry of a list: its label, and its text from `column` on (on the next
// line when the label is too long).
QString listed(const QString &label, const QString &text, int column)
{
    QString body = wrap(text, kColumns, column);
    if (label.size() + 2 <= column)
        body.replace(0, label.size(), label);
    else
        body.prepend(label + QLatin1Char('\n'));
    return body;
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

QString shown(QStringView text, qsizetype limit)
{
    QString out;
    const QByteArray bytes = text.left(limit).toUtf8();
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7f && byte != '"')
            out += QLatin1Char(c);
        else
            out += QStringLiteral("\\x%1").arg(byte, 2, 16, QLatin1Char('0'));
    }
    if (text.size() > limit)
        out += QStringLiteral("... (%1 characters)").arg(text.size());
    return out;
}

QString terminalSafe(QStringView text)
{
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if ((u < 0x20 && u != u'\n' && u != u'\t') || (u >= 0x7f && u < 0xa0))
            out += QStringLiteral("\\x%1").arg(int(u), 2, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return out;
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

QString helpText(const Definition &definition, Detail detail)
{
    const bool full = detail == Detail::Full;
    QString text = usageLines(definition);
    if (full) {
        for (const QString &paragraph : definition.description)
            text += QLatin1Char('\n') + wrap(paragraph, kColumns);
    } else {
        text += QLatin1Char('\n') + wrap(definition.summary.left(1).toUpper() +
                                             definition.summary.mid(1) + QLatin1Char('.'),
                                         kColumns);
    }
    text += full ? QStringLiteral("\nOptions:\n") : QStringLiteral("\nThe options used most:\n");
    for (const Option &option : definition.options) {
        if (full || option.brief) {
            text += listed(QStringLiteral("  ") + optionLabel(option),
                           full ? option.description : firstSentence(option.description),
                           kOptionColumn);
        }
    }
    if (full) {
        for (const QString &paragraph : allNotes(definition))
            text += QLatin1Char('\n') + wrap(paragraph, kColumns);
        for (const auto &[title, entries] :
             {std::pair{QStringLiteral("Environment"), environmentOf(definition)},
              std::pair{QStringLiteral("Files"), definition.files}}) {
            if (entries.isEmpty())
                continue;
            text += QStringLiteral("\n%1:\n").arg(title);
            for (const Entry &entry : entries)
                text += listed(QStringLiteral("  ") + entry.name, entry.meaning, kOptionColumn);
        }
    }
    if (!definition.exitCodes.isEmpty() && full) {
        text += QStringLiteral("\nExit codes:\n");
        for (const ExitCode &exit : definition.exitCodes)
            text += listed(QStringLiteral("  ") + exit.code, exit.meaning, 7);
    } else if (!definition.exitCodes.isEmpty()) {
        QStringList codes;
        for (const ExitCode &exit : definition.exitCodes)
            codes << exit.code + QLatin1Char(' ') + exit.brief;
        text += QLatin1Char('\n') + wrap(QStringLiteral("Exit codes: ") +
                                             codes.join(QStringLiteral(", ")) + QLatin1Char('.'),
                                         kColumns);
    }
    if (!definition.examples.isEmpty() && full) {
        text += QStringLiteral("\nExamples:\n");
        for (const Example &example : definition.examples)
            text += wrap(example.what, kColumns, 2) + commandLines(example.command, 4);
    }
    if (!full) {
        text += QLatin1Char('\n') + wrap(QStringLiteral("Every option and the details: %1 "
                                                        "--help-all, or man %1.")
                                             .arg(definition.program),
                                         kColumns);
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
    const auto entries = [&line](const QString &title, const QList<Entry> &list) {
        if (list.isEmpty())
            return;
        line(QStringLiteral(".SH ") + title);
        for (const Entry &entry : list) {
            line(QStringLiteral(".TP"));
            line(bold(entry.name));
            line(roff(entry.meaning, Roff::Prose));
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
    entries(QStringLiteral("ENVIRONMENT"), environmentOf(definition));
    entries(QStringLiteral("FILES"), definition.files);

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

QString zshCompletion(const Definition &definition)
{
    // A description as _arguments takes it: brackets would end it early.
    const auto described = [](const Option &option) {
        QString text = firstSentence(option.description);
        text.replace(QLatin1Char('['), QLatin1Char('('))
            .replace(QLatin1Char(']'), QLatin1Char(')'));
        text.replace(QLatin1Char('\\'), QString())
            .replace(QLatin1Char('\''), QStringLiteral("'\\''"));
        return QLatin1Char('[') + text + QLatin1Char(']');
    };
    QString arguments;
    for (const Option &option : definition.options) {
        const QStringList forms = optionForms(option);
        QString argument;
        if (!option.valueName.isEmpty()) {
            const QString action =
                option.valueIsFile ? QStringLiteral("_files")
                : !option.values.isEmpty()
                    ? QLatin1Char('(') + option.values.join(u' ') + QLatin1Char(')')
                    : QStringLiteral(" ");
            argument = QStringLiteral(":%1:%2").arg(option.valueName, action);
        }
        const QString equals = option.valueName.isEmpty() ? QString() : QStringLiteral("=");
        const QString head = option.repeatable ? QStringLiteral("*") : QString();
        QString entry;
        if (forms.size() == 1) {
            entry = QLatin1Char('\'') + head + forms[0] +
                    (forms[0].startsWith(QLatin1String("--")) ? equals : QString()) +
                    described(option) + argument + QLatin1Char('\'');
        } else {
            // "-q" and "--quiet" exclude each other unless the option repeats.
            const QString exclusion = option.repeatable
                                          ? QString()
                                          : QLatin1Char('(') + forms.join(u' ') + QLatin1Char(')');
            QStringList withEquals;
            for (const QString &form : forms)
                withEquals << form + (form.startsWith(QLatin1String("--")) ? equals : QString());
            entry = QStringLiteral("'%1%2'{%3}'%4%5'")
                        .arg(exclusion, head, withEquals.join(u','), described(option), argument);
        }
        arguments += QStringLiteral("  %1 \\\n").arg(entry);
    }
    if (definition.operands == Definition::Operands::Files)
        arguments += QStringLiteral("  '*:file:_files' \\\n");
    arguments.chop(3);
    return QStringLiteral("#compdef %1\n"
                          "# zsh completion for %1, made from its option table by the build.\n"
                          "\n"
                          "_arguments -s -S \\\n"
                          "%2\n")
        .arg(definition.program, arguments);
}

QString fishCompletion(const Definition &definition)
{
    const auto quoted = [](QString text) {
        text.replace(QLatin1Char('\\'), QStringLiteral("\\\\"))
            .replace(QLatin1Char('\''), QStringLiteral("\\'"));
        return QLatin1Char('\'') + text + QLatin1Char('\'');
    };
    QString text = QStringLiteral("# fish completion for %1, made from its option table by the "
                                  "build.\n\n")
                       .arg(definition.program);
    const QString command = QStringLiteral("complete -c ") + definition.program;
    if (definition.operands == Definition::Operands::None)
        text += command + QStringLiteral(" -f\n");
    for (const Option &option : definition.options) {
        QString line = command;
        for (const QString &name : option.names)
            line += (name.size() == 1 ? QStringLiteral(" -s ") : QStringLiteral(" -l ")) + name;
        if (option.valueIsFile)
            line += QStringLiteral(" -r -F");
        else if (!option.values.isEmpty())
            line += QStringLiteral(" -x -a ") + quoted(option.values.join(u' '));
        else if (!option.valueName.isEmpty())
            line += QStringLiteral(" -x");
        text += line + QStringLiteral(" -d ") + quoted(firstSentence(option.description)) +
                QLatin1Char('\n');
    }
    return text;
}

std::optional<QString> generatedFile(const QStringList &arguments, const Definition &definition,
                                     const QString &version)
{
    if (arguments.size() != 2)
        return std::nullopt;
    const QString &asked = arguments[1];
    if (asked == QLatin1String("--man-page"))
        return manPage(definition, version);
    if (asked == QLatin1String("--bash-completion"))
        return bashCompletion(definition);
    if (asked == QLatin1String("--zsh-completion"))
        return zshCompletion(definition);
    if (asked == QLatin1String("--fish-completion"))
        return fishCompletion(definition);
    return std::nullopt;
}

void addOptions(QCommandLineParser &parser, const Definition &definition)
{
    for (const Option &option : definition.options)
        parser.addOption(QCommandLineOption(option.names, option.description, option.valueName));
}

} // namespace corvanel::cli
