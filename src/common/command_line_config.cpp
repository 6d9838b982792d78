#include "common/command_line.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <variant>

// The options file, and the hint for a misspelt option.
namespace corvanel::cli {

namespace {

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

} // namespace corvanel::cli
