#include "common/command_line.h"

#include "common/file_check.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <bit>
#include <variant>

// Reading a command line and an options file, and the hint for a misspelt option.
namespace corvanel::cli {

namespace {

// Longer names are no misspelling of an option: no hint is looked for, so a
// name of a megabyte costs nothing.
constexpr qsizetype kMaxHintedName = 64;
constexpr qint64 kMaxFileBytes = 1024 * 1024;
constexpr qsizetype kMaxLineBytes = 8192;

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

qsizetype findOption(const Definition &definition, QStringView name, bool shortName)
{
    for (qsizetype i = 0; i < definition.options.size(); ++i) {
        for (const QString &candidate : definition.options[i].names) {
            if ((candidate.size() == 1) == shortName && candidate == name)
                return i;
        }
    }
    return -1;
}

QString longName(const Option &option)
{
    return option.names.last();
}

// "; did you mean --install?" or nothing.
QString hint(const QString &name, const Definition &definition, const QString &dash)
{
    const QString near = closestOption(name, definition);
    return near.isEmpty() ? QString() : QStringLiteral("; did you mean %1%2?").arg(dash, near);
}

// The "no-" twin of an option: --check and --no-check.
qsizetype twinOf(const Definition &definition, const Option &option)
{
    const QString name = longName(option);
    return findOption(
        definition,
        name.startsWith(QLatin1String("no-")) ? name.mid(3) : QStringLiteral("no-") + name, false);
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

// The options file's settings, or the first error in it.
std::variant<QList<Setting>, QString> readFile(const QString &path, const Definition &definition)
{
    const QString shownPath = shown(QDir::toNativeSeparators(path), 200);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("cannot read the options file \"%1\": %2")
            .arg(shownPath, file.errorString());
    QByteArray bytes = file.read(kMaxFileBytes + 1);
    if (bytes.size() > kMaxFileBytes)
        return QStringLiteral("the options file \"%1\" is larger than %2 bytes")
            .arg(shownPath)
            .arg(kMaxFileBytes);
    if (bytes.contains('\0'))
        return QStringLiteral("the options file \"%1\" is not plain text (UTF-16?); save it "
                              "as ASCII or UTF-8")
            .arg(shownPath);
    if (bytes.startsWith("\xEF\xBB\xBF")) // a UTF-8 byte-order mark
        bytes.remove(0, 3);
    const QDir folder = QFileInfo(path).dir();

    QList<Setting> settings;
    const QList<QByteArray> lines = bytes.split('\n');
    for (int number = 1; number <= lines.size(); ++number) {
        const Origin origin{path, number};
        const auto fail = [&origin](const QString &why) { return origin.prefix() + why; };
        if (lines[number - 1].size() > kMaxLineBytes)
            return fail(QStringLiteral("a line longer than %1 bytes").arg(kMaxLineBytes));
        const QString line = withoutComment(QString::fromUtf8(lines[number - 1])).trimmed();
        if (line.isEmpty())
            continue;
        const qsizetype equals = line.indexOf(u'=');
        if (equals < 0)
            return fail(QStringLiteral("\"%1\" is no \"name = value\" line").arg(shown(line)));
        const QString name = line.left(equals).trimmed();
        QString value = line.mid(equals + 1).trimmed();
        if (value.size() >= 2 && value.startsWith(u'"') && value.endsWith(u'"'))
            value = value.mid(1, value.size() - 2);
        else if (value.contains(u'"'))
            return fail(QStringLiteral("a value in quotes must start and end with '\"'"));

        const qsizetype index = name.size() > 1 ? findOption(definition, name, false) : -1;
        if (index < 0) {
            const QString near = closestOption(name, definition);
            return fail(
                QStringLiteral("unknown option \"%1\"").arg(shown(name)) +
                (near.isEmpty() ? QString() : QStringLiteral("; did you mean \"%1\"?").arg(near)));
        }
        const Option &option = definition.options[index];
        if (option.commandLineOnly || longName(option) == definition.configOption)
            return fail(QStringLiteral("%1 is for the command line only").arg(dashes(name)));
        for (const Setting &earlier : std::as_const(settings)) {
            if (earlier.option == index && !option.repeatable)
                return fail(QStringLiteral("%1 is set twice (first at %2)")
                                .arg(name, earlier.origin.text()));
            if (earlier.option == twinOf(definition, option))
                return fail(QStringLiteral("%1 and %2 (at %3) exclude each other")
                                .arg(name, longName(definition.options[earlier.option]),
                                     earlier.origin.text()));
        }
        if (option.valueName.isEmpty()) {
            const auto on = parseSwitch(value);
            if (!on)
                return fail(
                    QStringLiteral("%1 takes true or false, not \"%2\"").arg(name, shown(value)));
            if (*on)
                settings.append({index, {}, origin});
            continue;
        }
        if (value.isEmpty())
            return fail(QStringLiteral("%1 needs a value").arg(name));
        if (option.valueIsFile && value != u"-" && QFileInfo(value).isRelative())
            value = QDir::cleanPath(folder.filePath(value));
        settings.append({index, value, origin});
    }
    return settings;
}

// The file a user or the system keeps the options in, when there is one.
QString foundOptionsFile(const Definition &definition, const Environment &environment,
                         QStringList *lookedAt)
{
    QString home = environment.variable("XDG_CONFIG_HOME");
    // The XDG rule: a relative XDG_CONFIG_HOME is no setting.
    if (home.isEmpty() || QDir::isRelativePath(home)) {
        const QString user = environment.variable("HOME");
        home = user.isEmpty() ? QString() : user + QStringLiteral("/.config");
    }
    if (!home.isEmpty())
        *lookedAt << home + QLatin1Char('/') + definition.configName;
    *lookedAt << environment.systemConfigFolder + QLatin1Char('/') + definition.configName;
    for (const QString &candidate : std::as_const(*lookedAt)) {
        if (fileKind(candidate) != FileKind::Missing)
            return candidate;
    }
    return {};
}

} // namespace

QString Origin::text() const
{
    return isCommandLine()
               ? QStringLiteral("the command line")
               : QStringLiteral("%1:%2").arg(shown(QDir::toNativeSeparators(file), 200)).arg(line);
}

QString Origin::prefix() const
{
    return isCommandLine() ? QString() : text() + QStringLiteral(": ");
}

Environment Environment::process()
{
    return {[](const char *name) { return qEnvironmentVariable(name); }, QStringLiteral("/etc")};
}

QList<Setting> CommandLine::of(const Definition &definition, const QString &name) const
{
    QList<Setting> found;
    for (const Setting &setting : settings) {
        if (definition.options[setting.option].names.contains(name))
            found << setting;
    }
    return found;
}

CommandLine readCommandLine(const QStringList &arguments, const Definition &definition)
{
    CommandLine line;
    const auto fail = [&line](const QString &text) { line.error = text; };
    const auto add = [&](qsizetype index, const QString &value) {
        const Option &option = definition.options[index];
        const QString form = dashes(longName(option));
        if (option.valueIsFile && value.isEmpty())
            return fail(QStringLiteral("%1 \"\": needs a file name").arg(form));
        for (const Setting &earlier : std::as_const(line.settings)) {
            if (earlier.option == index && !option.repeatable)
                return fail(QStringLiteral("%1 given more than once").arg(form));
            if (earlier.option == twinOf(definition, option))
                return fail(QStringLiteral("%1 and %2 exclude each other")
                                .arg(dashes(longName(definition.options[earlier.option])), form));
        }
        line.settings.append({index, value, {}});
    };
    const auto needsValue = [&](qsizetype index) {
        const Option &option = definition.options[index];
        fail(QStringLiteral("%1 needs a value (%2)")
                 .arg(dashes(longName(option)), option.valueName));
    };

    bool operandsOnly = false;
    for (qsizetype i = 1; i < arguments.size() && line.error.isEmpty(); ++i) {
        const QString &word = arguments[i];
        if (operandsOnly || word == u"-" || !word.startsWith(u'-')) {
            line.operands << word;
        } else if (word == u"--") {
            operandsOnly = true;
        } else if (word.startsWith(u"--")) {
            const qsizetype equals = word.indexOf(u'=');
            const QString name = word.mid(2, equals < 0 ? -1 : equals - 2);
            const qsizetype index = findOption(definition, name, false);
            if (index < 0 || name.size() < 2) {
                fail(QStringLiteral("unknown option --%1").arg(shown(name)) +
                     hint(name, definition, QStringLiteral("--")));
            } else if (definition.options[index].valueName.isEmpty()) {
                if (equals >= 0)
                    fail(QStringLiteral("--%1 takes no value").arg(name));
                else
                    add(index, {});
            } else if (equals >= 0) {
                add(index, word.mid(equals + 1));
            } else if (i + 1 < arguments.size()) {
                add(index, arguments[++i]);
            } else {
                needsValue(index);
            }
        } else {
            // Short options, one or several in one word: "-q", "-qv", "-vv".
            for (qsizetype j = 1; j < word.size() && line.error.isEmpty(); ++j) {
                const qsizetype index = findOption(definition, word.mid(j, 1), true);
                if (index < 0) {
                    fail(QStringLiteral("unknown option -%1").arg(shown(word.mid(j, 1))) +
                         (word.size() > 2 ? QStringLiteral(" in %1").arg(shown(word)) : QString()) +
                         hint(word.mid(1), definition, QStringLiteral("--")));
                } else if (!definition.options[index].valueName.isEmpty()) {
                    // The rest of the word, or else the next one, is its value.
                    if (j + 1 < word.size())
                        add(index, word.mid(j + 1));
                    else if (i + 1 < arguments.size())
                        add(index, arguments[++i]);
                    else
                        needsValue(index);
                    break;
                } else {
                    add(index, {});
                }
            }
        }
    }
    return line;
}

void readOptionsFile(CommandLine &line, const Definition &definition,
                     const Environment &environment)
{
    if (!line.error.isEmpty() || definition.configOption.isEmpty())
        return;
    QString path = line.has(definition, definition.configOption)
                       ? line.of(definition, definition.configOption).last().value
                       : environment.variable(definition.configVariable.toLatin1().constData());
    if (path.isEmpty() && !definition.configName.isEmpty()) {
        QStringList lookedAt;
        path = foundOptionsFile(definition, environment, &lookedAt);
        if (path.isEmpty()) {
            line.notes << QStringLiteral("no options file: none of %1 is there")
                              .arg(lookedAt.join(QStringLiteral(", ")));
            return;
        }
    }
    if (path.isEmpty())
        return;
    if (path == QLatin1String("/dev/null")) {
        line.notes << QStringLiteral("no options file (/dev/null)");
        return;
    }
    if (const auto refused = checkFile({QStringLiteral("the options file"), path})) {
        line.error = *refused;
        return;
    }
    auto read = readFile(path, definition);
    if (const auto *error = std::get_if<QString>(&read)) {
        line.error = *error;
        return;
    }
    line.optionsFile = path;
    line.notes
        << QStringLiteral("options file: %1").arg(shown(QDir::toNativeSeparators(path), 200));

    // "--check" on the command line puts the file's "no-check" aside too.
    QList<Setting> fromFile;
    for (const Setting &setting : std::get<QList<Setting>>(read)) {
        const Option &option = definition.options[setting.option];
        const qsizetype twin = twinOf(definition, option);
        const auto given =
            std::find_if(line.settings.cbegin(), line.settings.cend(), [&](const Setting &s) {
                return s.option == setting.option || s.option == twin;
            });
        if (given == line.settings.cend()) {
            fromFile << setting;
            continue;
        }
        line.notes << setting.origin.prefix() +
                          QStringLiteral("%1 left aside: the command line gives %2")
                              .arg(longName(option),
                                   dashes(longName(definition.options[given->option])));
    }
    line.settings = fromFile + line.settings;
}

void chooseMode(CommandLine &line, const Definition &definition)
{
    if (!line.error.isEmpty())
        return;
    const auto named = [&](const Setting &setting) {
        return dashes(longName(definition.options[setting.option]));
    };
    // The command line's choice, else the file's.
    std::optional<Setting> chooser;
    for (const bool commandLine : {true, false}) {
        for (const Setting &setting : std::as_const(line.settings)) {
            if (setting.origin.isCommandLine() != commandLine ||
                !definition.options[setting.option].choosesMode)
                continue;
            if (chooser) {
                line.error = QStringLiteral("%1 and %2 exclude each other")
                                 .arg(chooser->origin.prefix() + named(*chooser),
                                      setting.origin.prefix() + named(setting));
                return;
            }
            chooser = setting;
        }
        if (chooser)
            break;
    }
    line.mode = chooser ? std::countr_zero(definition.options[chooser->option].modes) : 0;
    line.modeOrigin = chooser ? chooser->origin : Origin{};
    const Modes mode = Modes(1) << line.mode;

    QList<Setting> kept;
    for (const Setting &setting : std::as_const(line.settings)) {
        const Option &option = definition.options[setting.option];
        if (option.modes & mode) {
            kept << setting;
            continue;
        }
        QString why;
        if (chooser) {
            why = QStringLiteral("%1 has no meaning with %2").arg(named(setting), named(*chooser));
            if (!chooser->origin.isCommandLine() && setting.origin.isCommandLine())
                why += QStringLiteral(", which %1 sets").arg(chooser->origin.text());
        } else {
            QStringList choosers;
            for (const Option &other : definition.options) {
                if (other.choosesMode && (other.modes & option.modes))
                    choosers << dashes(longName(other));
            }
            why = QStringLiteral("%1 goes with %2")
                      .arg(named(setting), choosers.join(QStringLiteral(" or ")));
        }
        if (setting.origin.isCommandLine()) {
            line.error = why;
            return;
        }
        line.notes << setting.origin.prefix() + why + QStringLiteral(": left aside");
    }
    line.settings = kept;
}

QString closestOption(const QString &name, const Definition &definition)
{
    if (name.size() > kMaxHintedName)
        return {};
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
    QString text = terminalSafe(parser.errorText());
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

} // namespace corvanel::cli
