#pragma once

#include "common/command_line.h"
#include "common/console.h"
#include "common/device_list.h"
#include "common/scan_targets.h"
#include "engine/board.h"
#include "image/flash_image.h"
#include "link/udp_link.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

#include <chrono>
#include <optional>
#include <variant>

namespace corvanel::flash {

using image::FlashImage;
using image::ImageOptions;
using image::ImageRefusal;
using image::loadFlashImage;

inline constexpr QLatin1StringView kProgramName{"corvanel-flash"};

struct FlashOptions {
    enum class Mode {
        Flash,    // download, verify (and install) every host; board after board with --continuous
        DryRun,   // check the image, open the links, wait for each "VER=", send nothing else
        Info,     // what would be flashed, without the network
        Scan,     // which boards answer an inquiry
        WriteHex, // the records that would be sent, written to a file; no network
        Summary,  // the records of a shift, summarised; no network
    };
    Mode mode = Mode::Flash;
    QString imagePath;
    ImageOptions image;
    QList<HostSettings> hosts; // the command line's, then the hosts file's; ports resolved
    Production production;     // --continuous, --count, --gone-time, --flush-arp
    // More hosts than random local ports: every host takes a port the system chooses.
    bool systemChosenPorts = false;
    QStringList scanTargets;
    QList<ScanDestination> scanDestinations; // the targets, expanded and ports resolved
    std::optional<quint16> scanLocalPort;    // --local-port for the scan's one socket
    std::chrono::milliseconds scanTime{1000};
    QString reportPath; // JSON Lines appended per host and attempt; empty: none
    QString station;    // empty: this machine's host name
    // -q 1: no progress; -qq 2: no summary on standard output either (errors
    // and the exit code only).
    int quiet = 0;
    // -v 1: the datagram trace on standard error (and the options file read);
    // -vv 2: the lanes' timer events in the trace as well.
    int verbosity = 0;
    bool json = false;
    bool flushArp = false;
    QString tracePath; // --trace: the trace appended to a file; empty: none
    ColourChoice colour = ColourChoice::Auto;
    QString writeHexPath; // --write-hex: "-" for standard output
    QString skipDonePath; // --skip-done: the report whose boards are done; empty: none
    // --summary: the reports ("-": standard input), the page, the time bounds.
    QStringList reportInputs;
    QString htmlPath;
    QDateTime since;
    QDateTime until;
};

struct ParsedArguments {
    enum class Action { Run, Help, HelpAll, Version, UsageError, FileError };
    Action action = Action::UsageError;
    FlashOptions options; // for Run (and FileError, for its JSON)
    QString error;        // for UsageError (exit code 2) and FileError (4)
    QStringList notes;    // for -v: the options file read or looked for, what was left aside
    QStringList said;     // for the terminal unless -q: a mode the options file chose
};

// Reads the command line (the program name first, as QCoreApplication gives
// it) and the options file. Host names are resolved here, each once, so that
// nothing is sent before every host is known and no device is flashed twice
// under two names; every file is checked here, before anything is opened.
ParsedArguments parseArguments(const QStringList &arguments,
                               const HostsFileReader &hostsFile = readHostsFile,
                               const HostResolver &resolve = resolveHostName,
                               const cli::Environment &environment = cli::Environment::process());

// The flasher's command line: its options, --help, man page and completion.
const cli::Definition &commandLine();

} // namespace corvanel::flash
