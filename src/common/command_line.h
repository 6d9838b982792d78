#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

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

// `text` wrapped to `width` columns, every line indented by `indent` spaces.
QString wrap(const QString &text, int width, int indent = 0);

} // namespace corvanel::cli
