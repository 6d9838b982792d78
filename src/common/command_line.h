#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

class QCommandLineParser;

// One definition of a program's command line, from which its parser, its
// options file, its --help text, its man page and its shell completion are
// all made, so they cannot differ.
namespace corvanel::cli {

// The modes of a program that has several (flashing, --info, --scan, ...): bit
// i is mode i; mode 0 is the one no option chooses.
using Modes = quint32;
inline constexpr Modes kEveryMode = ~Modes(0);

struct Option {
    QStringList names;       // without dashes, short first: {"q", "quiet"}
    QString valueName;       // empty for a flag
    QString description;     // wrapped where it is shown; the short --help shows its first sentence
    QStringList values = {}; // the values it takes, when they are fixed
    bool valueIsFile = false;
    // For programs read by readCommandLine(); addOptions() needs none of it.
    Modes modes = kEveryMode;     // where it means something
    bool choosesMode = false;     // it chooses the one mode of `modes` (--scan)
    bool brief = false;           // in the short --help
    bool repeatable = false;      // each use counts (-vv) or adds a value
    bool commandLineOnly = false; // an options file may not set it
};

struct ExitCode {
    QString code;       // "0", "130"
    QString meaning;    // for --help-all and the man page
    QString brief = {}; // a few words for the short --help
};

struct Example {
    QString what;
    QString command;
};

// An environment variable or a file the program reads.
struct Entry {
    QString name;
    QString meaning;
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
    // An options file: the option that names it ("config"), the environment
    // variable that names one when that option is not given, and the name
    // looked for in the user's and then the system's configuration folder
    // when neither does ("corvanel/flash.conf"). Empty: the program reads none.
    QString configOption = {};
    QString configVariable = {};
    QString configName = {};
    QList<Entry> environment = {}; // besides configVariable
    QList<Entry> files = {};
};

// --- Reading a command line and an options file -------------------------

// Where a setting came from.
struct Origin {
    QString file; // empty: the command line
    int line = 0;

    bool isCommandLine() const { return file.isEmpty(); }
    // "the command line" or "FILE:LINE"
    QString text() const;
    // "" or "FILE:LINE: ", to put before a message about the setting
    QString prefix() const;
};

struct Setting {
    qsizetype option; // index into Definition::options
    QString value;    // empty for a flag
    Origin origin;
};

// What the reader may learn of the world: the environment, and the system's
// configuration folder. Tests give their own, never the real /etc or home.
struct Environment {
    std::function<QString(const char *name)> variable;
    QString systemConfigFolder;

    static Environment process(); // qEnvironmentVariable(), "/etc"
};

struct CommandLine {
    QList<Setting> settings; // an options file's first, then the command line's, in order
    QStringList operands;
    int mode = 0;
    Origin modeOrigin;   // where the mode was chosen (when it was)
    QString optionsFile; // the options file read; empty: none
    QString error;       // a usage error; empty when none
    QStringList notes;   // for -v: the options file read or looked for, settings left aside

    // The settings of option `name` (a long name), in order.
    QList<Setting> of(const Definition &definition, const QString &name) const;
    bool has(const Definition &definition, const QString &name) const
    {
        return !of(definition, name).isEmpty();
    }
};

// 1. The command line (the program's name first). "--name VALUE",
// "--name=VALUE", short flags alone or together ("-qv", "-vv"); "-" is an
// operand and "--" ends the options. A word with one dash is short options
// only: "-install" is refused, with a hint to "--install". An option given
// twice that is not repeatable, a value missing, a value given to a flag, an
// empty file name, and "--check" together with "--no-check" are refused.
CommandLine readCommandLine(const QStringList &arguments, const Definition &definition);

// 2. The options file's settings put before the command line's: the file
// configOption names, or else the one configVariable names, or else the first
// of $XDG_CONFIG_HOME/configName (default ~/.config) and
// SYSTEM/configName that is there; "/dev/null" is none. It holds
// "name = value" lines with the long options' names; a flag takes true or
// false (yes/no, on/off, 1/0), false leaving it out. Blank lines and '#'
// comments (at the start of a line or after a blank) are skipped; a value in
// double quotes is taken as it is between them; a relative file name is taken
// from the file's folder. An option the command line gives (or its "no-"
// twin: --check and --no-check) wins: the file's is left aside.
void readOptionsFile(CommandLine &line, const Definition &definition,
                     const Environment &environment);

// 3. The mode: the one an option on the command line chooses, else the one
// the options file chooses, else mode 0. Two options choosing modes are
// refused. An option that means nothing in the mode is refused when the
// command line gives it, naming where the mode came from; an options file's
// is left aside (a station's settings for other runs), said in the notes.
void chooseMode(CommandLine &line, const Definition &definition);

// --- Text for people -----------------------------------------------------

// Text from outside (an option's name or value, a path) as a message may
// show it: bytes outside printable ASCII as \xNN, cut after `limit` characters.
QString shown(QStringView text, qsizetype limit = 80);
// A whole message made safe for a terminal: control characters (C0 but the
// line end, DEL, C1) as \xNN; everything else as it is.
QString terminalSafe(QStringView text);

// The option an unknown `name` (given without its dashes) was most likely
// meant to be: the one long name closest to it within a small edit distance
// (a letter left out, added, changed, or two swapped: at most 1 such edit
// for a name of up to 4 letters, 2 beyond), or else the one long name that
// starts with it (2 letters at least). Empty when there is none, or several,
// or the name is longer than any option could be meant by (64 characters).
QString closestOption(const QString &name, const Definition &definition);

// "-h" or "--help": a name as the command line writes it; an option's every form.
QString dashes(const QString &name);
QStringList optionForms(const Option &option);

// `text` wrapped to `width` columns, every line indented by `indent` spaces.
QString wrap(const QString &text, int width, int indent = 0);

// --- Made from the definition ---------------------------------------------

enum class Detail {
    Brief, // usage, the options marked brief with their first sentence, the exit codes
    Full,  // everything, as the man page has it
};
// The help text, wrapped to 80 columns. Brief ends by saying where the rest is.
QString helpText(const Definition &definition, Detail detail = Detail::Full);

// The manual page: roff with the man(7) macros, sections NAME, SYNOPSIS,
// DESCRIPTION, OPTIONS, NOTES, ENVIRONMENT, FILES, EXIT STATUS, EXAMPLES and
// SEE ALSO, from the same fields as helpText(). `version` goes into the
// footer; no date, so that a build makes the same page every time.
QString manPage(const Definition &definition, const QString &version);

// Completion scripts: the options, the values of those that take fixed ones,
// files for file-valued options and, with Operands::Files, for the operands.
// Bash's uses bash-completion's helpers where they are loaded.
QString bashCompletion(const Definition &definition);
QString zshCompletion(const Definition &definition);
QString fishCompletion(const Definition &definition);

// The files the build asks every program for: "--man-page", "--bash-completion",
// "--zsh-completion" or "--fish-completion", alone after the program name.
// They are not in the Definition, so --help does not list them. Empty for
// any other command line.
std::optional<QString> generatedFile(const QStringList &arguments, const Definition &definition,
                                     const QString &version);

// --- For programs read by QCommandLineParser -------------------------------

void addOptions(QCommandLineParser &parser, const Definition &definition);
// The parser's error after parse() failed, and "; did you mean --install?"
// when it names one unknown option close to one of the definition's.
QString parseError(const QCommandLineParser &parser, const Definition &definition);

} // namespace corvanel::cli
