#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>
#include <utility>

class QCommandLineParser;

// One definition of a program's command line, from which its --help text,
// its man page and its shell completion are all made, so they cannot differ.
namespace corvanel::cli {

struct Option {
    QStringList names;       // without dashes, short first: {"q", "quiet"}
    QString valueName;       // empty for a flag
    QString description;     // one paragraph; wrapped where it is shown
    QStringList values = {}; // the values it takes, when they are fixed
    bool valueIsFile = false;
};

struct ExitCode {
    QString code; // "0", "130"
    QString meaning;
};

struct Example {
    QString what;
    QString command;
};

struct Definition {
    QString program;         // "corvanel-flash"
    QString summary;         // one line: what the program is
    QStringList usage;       // forms of the command line, without the program name
    QStringList description; // paragraphs before the options
    QList<Option> options;
    QStringList notes; // paragraphs after the options
    QList<ExitCode> exitCodes;
    QList<Example> examples;
    // What the words that are not options name, for shell completion.
    enum class Operands { Files, None };
    Operands operands = Operands::Files;
    QStringList seeAlso = {}; // other manual pages: "corvanel-devsim(1)"
    // An options file: the option that names it ("config") and the
    // environment variable that names one when that option is not given.
    // Empty: the program reads none.
    QString configOption = {};
    QString configVariable = {};
    // Options a file may not set (nor configOption itself): they answer at
    // once instead of setting anything.
    QStringList commandLineOnly = {QStringLiteral("help"), QStringLiteral("version")};
};

// The options as the parser takes them.
void addOptions(QCommandLineParser &parser, const Definition &definition);

// The --help text: usage, description, options, notes, exit codes, examples;
// wrapped to 80 columns.
QString helpText(const Definition &definition);

// The manual page: roff with the man(7) macros, sections NAME, SYNOPSIS,
// DESCRIPTION, OPTIONS, NOTES, EXIT STATUS, EXAMPLES and SEE ALSO, from the
// same fields as helpText(). `version` goes into the footer; no date, so that
// a build makes the same page every time.
QString manPage(const Definition &definition, const QString &version);

// A bash completion script for the program: its options, the values of those
// that take fixed ones, files for file-valued options and, with
// Operands::Files, for the operands. Uses bash-completion's helpers where they
// are loaded and plain compgen otherwise.
QString bashCompletion(const Definition &definition);

// The options every program answers before anything else, for the build:
// "--man-page" and "--bash-completion", alone after the program name, give
// manPage() and bashCompletion(). They are not in the Definition, so --help does not
// list them. Empty for any other command line.
std::optional<QString> generatedFile(const QStringList &arguments, const Definition &definition,
                                     const QString &version);

// The option an unknown `name` (given without its dashes) was most likely
// meant to be: the one long name closest to it within a small edit distance
// (a letter left out, added, changed, or two swapped: at most 1 such edit
// for a name of up to 4 letters, 2 beyond), or else the one long name that
// starts with it (2 letters at least). Empty when there is none, or several.
QString closestOption(const QString &name, const Definition &definition);

// "-h" or "--help": a name as the command line writes it; an option's every form.
QString dashes(const QString &name);
QStringList optionForms(const Option &option);

// The parser's error after parse() failed, and "; did you mean --install?"
// when it names one unknown option close to one of the definition's.
QString parseError(const QCommandLineParser &parser, const Definition &definition);

// The command line with the options of the definition's options file put
// in: the file given to configOption, or else the one configVariable names
// (unset or empty: none). The file holds "name = value" lines with the long
// options' names; options without a value take true or false (yes/no,
// on/off, 1/0), false leaving the option out. Blank lines and '#' comments
// (at the start of a line or after a blank) are skipped; a value in double
// quotes is taken as it is between them; a relative file name for a file
// option is taken from the options file's folder. An option given on the
// command line (or its "no-" twin: --check and --no-check) wins: the file's
// is left out. The file's options go right after the program name, as
// "--name=value", so the command line's operands are untouched. The command
// line is read as corvanel-flash reads it: "-name" is "--name".
struct ConfiguredArguments {
    QStringList arguments;
    QString error; // a bad command line, file, line, name or value; empty when none
    // Where each option taken from the file was set: its long names with
    // dashes, and "FILE:LINE".
    QList<std::pair<QStringList, QString>> origins;

    // A usage error about `arguments` prefixed with "FILE:LINE: " when it
    // names an option taken from the file; the first one it names.
    QString locate(const QString &message) const;
};
ConfiguredArguments withConfigFile(const QStringList &arguments, const Definition &definition);

// `text` wrapped to `width` columns, every line indented by `indent` spaces.
QString wrap(const QString &text, int width, int indent = 0);

} // namespace corvanel::cli
