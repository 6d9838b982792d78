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

QString dashes(const QString &name)
{
    return (name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + name;
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

QStringList optionForms(const Option &option)
{
    QStringList forms;
    for (const QString &name : option.names)
        forms << dashes(name);
    return forms;
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

// Edits from `a` to `b`: a letter left out, added or changed, or two
// neighbours swapped (optimal string alignment distance).
qsizetype editDistance(const QString &a, const QString &b)
{
    const qsizetype n = a.size(), m = b.size();
    QList<QList<qsizetype>> d(n + 1, QList<qsizetype>(m + 1, 0));
    for (qsizetype i = 0; i <= n; ++i)
        d[i][0] = i;
    for (qsizetype j = 0; j <= m; ++j)
        d[0][j] = j;
    for (qsizetype i = 1; i <= n; ++i) {
        for (qsizetype j = 1; j <= m; ++j) {
            const qsizetype cost = a[i - 1] == b[j - 1] ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    }
    return d[n][m];
}

const Option *findLongOption(const Definition &definition, const QString &name)
{
    for (const Option &option : definition.options) {
        if (name.size() > 1 && option.names.contains(name))
            return &option;
    }
    return nullptr;
}

std::optional<bool> parseSwitch(const QString &text)
{
    const QString word = text.toLower();
    if (word == u"true" || word == u"yes" || word == u"on" || word == u"1")
        return true;
    if (word == u"false" || word == u"no" || word == u"off" || word == u"0")
        return false;
    return std::nullopt;
}

// A '#' at the start or after a blank starts a comment, outside quotes.
QString withoutComment(const QString &line)
{
    bool quoted = false;
    for (qsizetype i = 0; i < line.size(); ++i) {
        if (line[i] == u'"')
            quoted = !quoted;
        else if (line[i] == u'#' && !quoted && (i == 0 || line[i - 1].isSpace()))
            return line.left(i);
    }
    return line;
}

constexpr qint64 kMaxConfigBytes = 1024 * 1024;

struct ConfigEntry {
    const Option *option;
    QString value; // empty for an option without a value
    QString where; // "FILE:LINE"
};

// The options file's entries, or the first error in it.
std::variant<QList<ConfigEntry>, QString> readConfigFile(const QString &path,
                                                         const Definition &definition)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("cannot read the options file \"%1\": %2")
            .arg(path, file.errorString());
    QByteArray bytes = file.read(kMaxConfigBytes + 1);
    if (bytes.size() > kMaxConfigBytes)
        return QStringLiteral("the options file \"%1\" is larger than %2 bytes")
            .arg(path)
            .arg(kMaxConfigBytes);
    if (bytes.contains('\0'))
        return QStringLiteral("the options file \"%1\" is not plain text (UTF-16?); save it "
                              "as ASCII or UTF-8")
            .arg(path);
    if (bytes.startsWith("\xEF\xBB\xBF")) // a UTF-8 byte-order mark
        bytes.remove(0, 3);
    const QDir folder = QFileInfo(path).dir();

    QList<ConfigEntry> entries;
    const QList<QByteArray> lines = bytes.split('\n');
    for (qsizetype number = 1; number <= lines.size(); ++number) {
        const QString where = QStringLiteral("%1:%2").arg(path).arg(number);
        const auto fail = [&where](const QString &why) {
            return where + QStringLiteral(": ") + why;
        };
        const QString line = withoutComment(QString::fromUtf8(lines[number - 1])).trimmed();
        if (line.isEmpty())
            continue;
        const qsizetype equals = line.indexOf(u'=');
        if (equals < 0)
            return fail(QStringLiteral("\"%1\" is no \"name = value\" line").arg(line));
        const QString name = line.left(equals).trimmed();
        QString value = line.mid(equals + 1).trimmed();
        if (value.size() >= 2 && value.startsWith(u'"') && value.endsWith(u'"'))
            value = value.mid(1, value.size() - 2);
        else if (value.contains(u'"'))
            return fail(QStringLiteral("a value in quotes must start and end with '\"'"));

        const Option *option = findLongOption(definition, name);
        if (!option) {
            const QString near = closestOption(name, definition);
            return fail(
                QStringLiteral("unknown option \"%1\"").arg(name) +
                (near.isEmpty() ? QString() : QStringLiteral("; did you mean \"%1\"?").arg(near)));
        }
        const bool commandLineOnly =
            std::any_of(option->names.begin(), option->names.end(), [&](const QString &n) {
                return definition.commandLineOnly.contains(n) || n == definition.configOption;
            });
        if (commandLineOnly)
            return fail(QStringLiteral("%1 is for the command line only").arg(dashes(name)));
        for (const ConfigEntry &earlier : std::as_const(entries)) {
            if (earlier.option == option)
                return fail(
                    QStringLiteral("%1 is set twice (first at %2)").arg(name, earlier.where));
        }
        if (option->valueName.isEmpty()) {
            const auto on = parseSwitch(value);
            if (!on)
                return fail(QStringLiteral("%1 takes true or false, not \"%2\"").arg(name, value));
            if (*on)
                entries.append({option, {}, where});
            continue;
        }
        if (value.isEmpty())
            return fail(QStringLiteral("%1 needs a value").arg(name));
        if (!option->values.isEmpty() && !option->values.contains(value, Qt::CaseInsensitive))
            return fail(QStringLiteral("%1 takes %2, not \"%3\"")
                            .arg(name, option->values.join(QStringLiteral(", ")), value));
        if (option->valueIsFile && value != u"-" && QFileInfo(value).isRelative())
            value = QDir::cleanPath(folder.filePath(value));
        entries.append({option, value, where});
    }
    return entries;
}

} // namespace

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

QString closestOption(const QString &name, const Definition &definition)
{
    const QString typed = name.toLower();
    const qsizetype limit = typed.size() <= 4 ? 1 : 2;
    qsizetype best = limit + 1;
    QStringList nearest; // the long names at the best distance, one per option
    QStringList starting;
    for (const Option &option : definition.options) {
        qsizetype distance = limit + 1;
        QString closest;
        bool starts = false;
        for (const QString &candidate : option.names) {
            if (candidate.size() < 2)
                continue;
            const qsizetype d = editDistance(typed, candidate);
            if (d < distance) {
                distance = d;
                closest = candidate;
            }
            starts = starts || (typed.size() >= 2 && candidate.startsWith(typed));
        }
        if (starts)
            starting << option.names.last();
        if (distance < best) {
            best = distance;
            nearest = {closest};
        } else if (distance == best && distance <= limit) {
            nearest << closest;
        }
    }
    if (best <= limit)
        return nearest.size() == 1 ? nearest.front() : QString();
    return starting.size() == 1 ? starting.front() : QString();
}

QString parseError(const QCommandLineParser &parser, const Definition &definition)
{
    QString text = parser.errorText();
    const QStringList unknown = parser.unknownOptionNames();
    if (unknown.size() != 1)
        return text;
    const QString near = closestOption(unknown.front(), definition);
    if (near.isEmpty())
        return text;
    if (text.endsWith(QLatin1Char('.')))
        text.chop(1);
    return text + QStringLiteral("; did you mean %1?").arg(dashes(near));
}

ConfiguredArguments withConfigFile(const QStringList &arguments, const Definition &definition)
{
    ConfiguredArguments result;
    result.arguments = arguments;
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    addOptions(parser, definition);
    if (!parser.parse(arguments)) {
        result.error = parseError(parser, definition);
        return result;
    }
    if (definition.configOption.isEmpty())
        return result;
    const QString path = parser.isSet(definition.configOption)
                             ? parser.value(definition.configOption)
                             : qEnvironmentVariable(definition.configVariable.toLocal8Bit());
    if (path.isEmpty() && !parser.isSet(definition.configOption))
        return result;
    auto read = readConfigFile(path, definition);
    if (auto *error = std::get_if<QString>(&read)) {
        result.error = *error;
        return result;
    }

    // "--check" on the command line puts the file's "no-check" aside too.
    const auto isSet = [&](const QString &name) {
        return findLongOption(definition, name) && parser.isSet(name);
    };
    const auto given = [&isSet](const QString &name) {
        return isSet(name) || isSet(QStringLiteral("no-") + name) ||
               (name.startsWith(QLatin1String("no-")) && isSet(name.mid(3)));
    };
    QStringList fromFile;
    for (const ConfigEntry &entry : std::get<QList<ConfigEntry>>(read)) {
        const QString name = entry.option->names.last();
        if (given(name))
            continue;
        fromFile << (entry.option->valueName.isEmpty()
                         ? dashes(name)
                         : dashes(name) + QLatin1Char('=') + entry.value);
        result.origins.append({optionForms(*entry.option), entry.where});
    }
    result.arguments = arguments.mid(0, 1) + fromFile + arguments.mid(1);
    return result;
}

QString ConfiguredArguments::locate(const QString &message) const
{
    qsizetype first = -1;
    QString where;
    for (const auto &[forms, place] : origins) {
        for (const QString &form : forms) {
            // The whole name: "--port" is not in "--local-port 7".
            for (qsizetype at = message.indexOf(form); at >= 0;
                 at = message.indexOf(form, at + 1)) {
                const qsizetype end = at + form.size();
                const bool whole = (at == 0 || message[at - 1] != u'-') &&
                                   (end == message.size() ||
                                    !(message[end].isLetterOrNumber() || message[end] == u'-'));
                if (whole && (first < 0 || at < first)) {
                    first = at;
                    where = place;
                }
                if (whole)
                    break;
            }
        }
    }
    return first < 0 ? message : where + QStringLiteral(": ") + message;
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
