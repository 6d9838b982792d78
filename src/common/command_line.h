#pragma once

#include <QList>
#include <QString>
#include <QStringList>

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

struct Spec {
    QString program;         // "corvanel-flash"
    QString summary;         // one line: what the program is
    QStringList usage;       // forms of the command line, without the program name
    QStringList description; // paragraphs before the options
    QList<Option> options;
    QStringList notes; // paragraphs after the options
    QList<ExitCode> exitCodes;
    QList<Example> examples;
};

// The options as the parser takes them.
void addOptions(QCommandLineParser &parser, const Spec &spec);

// The --help text: usage, description, options, notes, exit codes, examples;
// wrapped to 80 columns.
QString helpText(const Spec &spec);

// `text` wrapped to `width` columns, every line indented by `indent` spaces.
QString wrap(const QString &text, int width, int indent = 0);

} // namespace corvanel::cli
