#include "flash/flash_options.h"

#include "common/file_check.h"
#include "common/ipv4_address.h"
#include "common/numbers.h"
#include "link/udp_link.h"
#include "records/shift_summary.h"

namespace corvanel::flash {

// The prose around the options (flash_help.cpp).
cli::Definition helpDefinition();

namespace {

// The modes, as the table names them: bit i of cli::Modes is mode i. A new
// mode is a name here, its FlashOptions::Mode below, and rows.
enum ModeIndex { kFlash, kDryRun, kContinuous, kInfo, kWriteHex, kScan, kSummary };
constexpr FlashOptions::Mode kModes[] = {FlashOptions::Mode::Flash,    FlashOptions::Mode::DryRun,
                                         FlashOptions::Mode::Flash,    FlashOptions::Mode::Info,
                                         FlashOptions::Mode::WriteHex, FlashOptions::Mode::Scan,
                                         FlashOptions::Mode::Summary};
constexpr cli::Modes bit(ModeIndex mode)
{
    return cli::Modes(1) << mode;
}
constexpr cli::Modes kBoards = bit(kFlash) | bit(kDryRun) | bit(kContinuous);
constexpr cli::Modes kFlashing = bit(kFlash) | bit(kContinuous);
constexpr cli::Modes kLinks = kBoards | bit(kScan);
constexpr cli::Modes kImage = kBoards | bit(kInfo) | bit(kWriteHex);
constexpr cli::Modes kAll = cli::kEveryMode;

// What the options set, before the hosts are known.
struct Draft {
    FlashOptions options;
    HostSettings common; // every host's, but for its address and ports
    std::optional<quint64> localPort;
    QString hostsPath;
};

// Sets the option's field from its value; the problem with the value otherwise.
using V = const QString &;
using Apply = QString (*)(Draft &d, V value);

// File: the value is a file, read unless Output; Stdio: "-" is standard
// input or output; Shared: --report and --skip-done may name one file (it is
// read whole before anything is appended). Files are checked (checkFiles)
// before any is opened.
// clang-format off
enum Trait { Brief = 1, File = 2, Output = 4, Stdio = 8, Repeat = 16, CommandLineOnly = 32, ChoosesMode = 64, Shared = 128 };
// clang-format on

// One row per option: everything the parser, the options file, the help, the
// man page and the shells' completion know of it.
struct Row {
    const char *names; // "q,quiet", "port=PORT": short name first, then the value's
    cli::Modes modes;  // where it means something
    int traits;
    const char *help; // the short --help shows its first sentence
    Apply apply = nullptr;
    QStringList values = {};
};

template <typename T> QString whole(V text, quint64 lowest, quint64 highest, T &field)
{
    const auto number = parseWholeNumber(text, lowest, highest);
    if (!number)
        return QStringLiteral("must be a number from %1 to %2").arg(lowest).arg(highest);
    field = T(*number);
    return {};
}

QString seconds(V text, Millis &field, Millis floor = Millis(0))
{
    const auto time = parseSeconds(text);
    if (time && *time >= floor)
        return field = *time, QString();
    if (floor > Millis(0))
        return QStringLiteral("must be a number of seconds from %1, the shortest allowed, to a day")
            .arg(double(floor.count()) / 1000.0);
    return QStringLiteral("must be a number of seconds above 0 (fractions allowed, at most a day)");
}

QString timeBound(V text, records::BoundKind kind, QDateTime &field)
{
    auto bound = records::parseTimeBound(text, kind, QTimeZone::systemTimeZone());
    if (const auto *problem = std::get_if<QString>(&bound))
        return *problem;
    return field = std::get<QDateTime>(bound), QString();
}

// One of `names`, as `choices` has it.
template <typename T, size_t N>
QString oneOf(V text, const QStringList &names, const T (&choices)[N], T &field)
{
    const qsizetype at = names.indexOf(text.toLower());
    if (at < 0)
        return QStringLiteral("must be %1 or %2").arg(names.mid(0, N - 1).join(", "), names.last());
    return field = choices[at], QString();
}

// clang-format off
const QList<Row> &rows()
{
    static const QList<Row> table = {
    {"install", kFlashing, Brief, "After \"END\", send \"BOOTg\" to start the new firmware.",
     [](Draft &d, V) { return d.common.install = true, QString(); }},
    {"hosts=FILE", kBoards, Brief | File | Stdio,
     "Read more hosts from FILE, one HOST[:PORT] a line (\"-\": standard input). Blank lines and "
     "everything after '#' are ignored. They follow the hosts on the command line.",
     [](Draft &d, V v) { return d.hostsPath = v, QString(); }},
    {"port=PORT", kLinks, 0, "Device port for hosts given without \":PORT\" (default 111).",
     [](Draft &d, V v) { return whole(v, 1, 65535, d.common.remotePort); }},
    {"local-port=PORT", kLinks, 0,
     "Local port to bind. Default: a random port from 5500 to 6499 for each host, as the window "
     "does (with more than 1000 hosts, a port the system chooses for each). With several hosts, "
     "the first binds PORT, the next PORT+1, and so on; 0 lets the system choose every port.",
     [](Draft &d, V v) { return whole(v, 0, 65535, d.localPort.emplace()); }},
    {"attempts=N", kBoards, Brief,
     "Try a failing host up to N times in all (default 1). Each new attempt closes the socket, "
     "opens a new one and starts the whole transfer again from the inquiry, a new download pass "
     "from line 1. A device's \"ERROR\", a time-out and a network error are tried again; an "
     "interrupt is not. With a fixed --local-port the new attempt first waits --reply-timeout, so "
     "that late replies to the failed one are not taken for answers. The summary shows the "
     "attempt each host ended on; --report records every attempt.",
     [](Draft &d, V v) { return whole(v, 1, 100, d.common.attempts); }},
    {"inquiry-timeout=S", kBoards, Brief, "Seconds to wait for \"VER=\" (default 30).",
     [](Draft &d, V v) { return seconds(v, d.common.limits.inquiryTimeout); }},
    {"reply-timeout=S", kBoards, Brief,
     "Seconds to wait for each reply to a line (default 3). Both time-outs take fractions, e.g. 0.5.",
     [](Draft &d, V v) { return seconds(v, d.common.limits.replyTimeout); }},
    {"confirm-time=S", kFlashing, 0,
     "Seconds the device's \"DOWNLOAD\" after the last verify line must stand with no further "
     "reply before it counts as \"END\" (default: 0.05 or twice the slowest answer of the "
     "transfer, whichever is longer, at most --reply-timeout). An \"ERROR\" in that time fails the "
     "host; any other reply proves that the network duplicates, and fails it too.",
     [](Draft &d, V v) { return seconds(v, d.common.limits.confirmTime.emplace()); }},
    {"retries=N", kFlashing, 0,
     "Send a line again up to N times when its reply does not come in time (default 0, off). Off "
     "by default because the protocol has no sequence numbers: if only the reply was lost, the "
     "device has written the line already, and the line sent again is written twice. Use it only "
     "with a bootloader that tolerates that; --attempts is the safe way.",
     [](Draft &d, V v) { return whole(v, 0, 100, d.common.limits.retries); }},
    {"flush-arp", kBoards, 0,
     "Flush the neighbour (ARP) entry of each HOST's address before connecting, and with "
     "--continuous before each new board, where the process may (Linux: ip neigh flush, as root; "
     "Windows: arp -d, as administrator); where it may not, say so once. Off by default: a tool "
     "run from scripts must not touch the neighbour cache of a shared machine.",
     [](Draft &d, V) { return d.options.flushArp = true, QString(); }},
    {"report=FILE", kBoards, Brief | File | Output | Shared,
     "Append one JSON record per host and attempt to FILE (JSON Lines). Each holds schemaVersion, "
     "toolVersion, station, start and end (UTC, ISO 8601 with milliseconds), host, port, "
     "localPort, image, imageSha256 and imageCrc32 (of the data bytes; null when unknown), "
     "lineCount, deviceVersion (the text after \"VER=\"; null when none came), dryRun, result, ok, "
     "exitCode, phase and line where it stopped, installed, seconds, resends, ignoredReplies, "
     "attempt, maxAttempts and reason. Earlier lines are never rewritten, and each record is "
     "written whole in one append, so several runs may share one file; a record never continues a "
     "line left unfinished (it then begins with a line end).",
     [](Draft &d, V v) { return d.options.reportPath = v, QString(); }},
    {"skip-done=REPORT", kFlashing, File | Shared,
     "Leave alone every board whose last record in REPORT is of this image (its SHA-256) and "
     "ended with \"END\" (and was installed, with --install): it already holds the image. A board "
     "is known by its MAC address where the neighbour table knows it, else by station and "
     "HOST:PORT. It is listed as SKIPPED and gets a record of its own, with the record relied on.",
     [](Draft &d, V v) { return d.options.skipDonePath = v, QString(); }},
    {"station=NAME", kBoards, 0, "The station named in the report (default: this machine's host name).",
     [](Draft &d, V v) { return d.options.station = v, QString(); }},
    {"dry-run", bit(kDryRun), Brief | ChoosesMode | CommandLineOnly,
     "Check the image and wait for each board's \"VER=\"; send nothing but inquiries. The report "
     "says what would be flashed: each board's \"VER=\" text (result READY), and the image's line "
     "count, data bytes, CRC-32 and SHA-256. Exit codes as for flashing."},
    {"continuous", bit(kContinuous), Brief | ChoosesMode,
     "Continuous production: board after board at each HOST's address. A lane waits for a board "
     "to answer \"BOOTi\", flashes and verifies it (and installs it with --install), records it, "
     "waits until it has left (no answer for --gone-time), and waits for the next; a board that "
     "has not left is never flashed again (take it away; --attempts is the only retry). Each "
     "record carries the board's number in its lane and, where the neighbour table knows it, its "
     "MAC address. Stops after --count boards per lane, or at Ctrl-C (exit 130). Exit 0 when every "
     "board ended with \"END\", 1 when any failed."},
    {"count=N", bit(kContinuous), Brief, "Stop each lane after N boards (default: until Ctrl-C).",
     [](Draft &d, V v) { return whole(v, 1, 1000000, d.options.production.count.emplace()); }},
    {"gone-time=S", bit(kContinuous), Brief,
     "A board has left once it has not answered for S seconds (default 1, at least 0.1). After "
     "\"BOOTg\" its firmware starts and its bootloader falls silent. Keep it shorter than the time "
     "the operator needs to swap a board.",
     [](Draft &d, V v) { return seconds(v, d.options.production.goneTime, Production::kMinGoneTime); }},
    {"scan", bit(kScan), Brief | ChoosesMode | CommandLineOnly,
     "List the boards that answer \"BOOTi\" at each TARGET. A TARGET is an IPv4 address, a CIDR "
     "range such as 10.0.0.0/28 whose host addresses are asked (/16 at the widest), or a broadcast "
     "address; each with :PORT or --port. The inquiries go out from one socket, at most 10,000 a "
     "second, three times within --scan-time (at its start, a quarter and half of it), so that one "
     "lost datagram hides no board; every board that answers \"VER=\" from a port asked is listed "
     "once, with its address, port and \"VER=\" text."},
    {"scan-time=S", bit(kScan), 0,
     "Seconds to listen for answers to --scan (default 1). A range too wide to ask within half of "
     "it is asked fewer times, and the scan goes on a quarter of this time after its last inquiry.",
     [](Draft &d, V v) { return seconds(v, d.options.scanTime); }},
    {"info", bit(kInfo), Brief | ChoosesMode | CommandLineOnly,
     "Print what would be flashed, without the network. Format, record count, address ranges, "
     "data bytes, the CRC-32 and SHA-256 of the data bytes in address order (the figures the "
     "simulator prints on \"BOOTg\"), and the start address when the image has one, with whether "
     "it is sent (an Intel HEX file's own records 03 and 05 are; converted images send none)."},
    {"write-hex=FILE", bit(kWriteHex), Brief | File | Output | Stdio | ChoosesMode | CommandLineOnly,
     "Write the records that would be sent to FILE (\"-\": standard output), without the network. "
     "One a line with CR LF, in the order they would go out: to compare with a toolchain's own "
     "Intel HEX.",
     [](Draft &d, V v) { return d.options.writeHexPath = v, QString(); }},
    {"summary", bit(kSummary), Brief | ChoosesMode | CommandLineOnly,
     "Summarise a shift from its REPORT files (\"-\": standard input). Per station and in all: "
     "the boards, the first-pass and final yield, boards per hour, the median time per board, "
     "failures by reason and by phase (biggest first), boards flashed more than once, and the "
     "images used. Bad lines are counted and named, never fatal."},
    {"html=FILE", bit(kSummary), File | Output,
     "With --summary, also write the summary as one self-contained web page to FILE: the tables, "
     "a chart of boards per hour and the failures, printable in black and white.",
     [](Draft &d, V v) { return d.options.htmlPath = v, QString(); }},
    {"since=TIME", bit(kSummary), 0,
     "With --summary, only boards that began at or after TIME: ISO 8601 (2026-12-07T06:00, local "
     "time unless it says Z or an offset) or a date (2026-12-07, its start).",
     [](Draft &d, V v) { return timeBound(v, records::BoundKind::Since, d.options.since); }},
    {"until=TIME", bit(kSummary), 0,
     "With --summary, only boards that began before TIME (a date: its end).",
     [](Draft &d, V v) { return timeBound(v, records::BoundKind::Until, d.options.until); }},
    {"check", kImage, 0, "Check an Intel HEX IMAGE before sending (the default).",
     [](Draft &d, V) { return d.options.image.check = true, QString(); }},
    {"no-check", kImage, 0,
     "Send an Intel HEX IMAGE as it is, unparsed, as the window sends it (but for a leading UTF-8 "
     "byte-order mark). By default it is read first (record syntax, byte counts, checksums, record "
     "types 00 to 05, no blank lines, one end-of-file record, last, no address written twice; "
     "after it only blank lines, spaces and one DOS end-of-file byte, which are not sent) and a "
     "bad image is refused, naming each bad line.",
     [](Draft &d, V) { return d.options.image.check = false, QString(); }},
    {"format=F", kImage, Brief, "Read IMAGE as F: hex, bin, srec or elf, whatever its content looks like.",
     [](Draft &d, V v) {
         constexpr image::Format formats[] = {image::Format::IntelHex, image::Format::Binary,
                                              image::Format::SRecord, image::Format::Elf};
         image::Format format{};
         const QString problem = oneOf(v, {"hex", "bin", "srec", "elf"}, formats, format);
         return problem.isEmpty() ? (d.options.image.format = format, problem) : problem;
     }, {"hex", "bin", "srec", "elf"}},
    {"base-address=A", kImage, Brief,
     "Address of the first byte of a binary IMAGE, decimal or 0x and hex digits; required for "
     "binary images.",
     [](Draft &d, V v) {
         const auto base = parseWholeNumber(v, 0, 0xFFFFFFFF, NumberBase::DecimalOrHex);
         if (!base)
             return QStringLiteral("must be an address from 0 to 0xFFFFFFFF, decimal or 0x and hex digits");
         return d.options.image.baseAddress = quint32(*base), QString();
     }},
    {"record-bytes=N", kImage, 0,
     "Data bytes per Intel HEX record made from a binary, S-record or ELF IMAGE, 1 to 255 (default 16).",
     [](Draft &d, V v) { return whole(v, 1, image::HexRecordLines::kMaxRecordBytes, d.options.image.recordBytes); }},
    {"remove-section=NAME", kImage, Repeat,
     "Leave the ELF sections named NAME out of the image, as objcopy's -R does; NAME is an "
     "fnmatch(3) pattern, as objcopy's ('*', '?', [...], [!...]). May be given more than once. A NAME that matches no section of the file is "
     "an error. For an AVR image: --remove-section .eeprom --remove-section .fuse --remove-section "
     ".lock.",
     [](Draft &d, V v) { return d.options.image.sections.remove << v, v.isEmpty() ? "needs a name" : QString(); }},
    {"only-section=NAME", kImage, Repeat,
     "Keep only the ELF sections named NAME, as objcopy's -j does; patterns and repeats as for "
     "--remove-section, which still applies.",
     [](Draft &d, V v) { return d.options.image.sections.only << v, v.isEmpty() ? "needs a name" : QString(); }},
    {"json", kAll & ~bit(kWriteHex), Brief,
     "Print the summary (or --info, --scan, --summary) as JSON on standard output.",
     [](Draft &d, V) { return d.options.json = true, QString(); }},
    {"q,quiet", kAll, Brief | Repeat,
     "Less output: -q leaves out the progress, -qq the summary too (errors and the exit code only).",
     [](Draft &d, V) { return d.options.quiet = std::min(d.options.quiet + 1, 2), QString(); }},
    {"v,verbose", kAll, Brief | Repeat,
     "More detail on standard error: -v names the options file read and traces every datagram, "
     "-vv adds the lanes' timer events. A trace line holds the seconds since the run began (to the "
     "millisecond), HOST:PORT, \"in\" or \"out\", the datagram quoted (its line end left off, other "
     "bytes outside printable ASCII as \\xNN), and what became of it: \"sent\" or \"not sent\" and "
     "why; \"answer\", or \"left out\" and why (a copy that fails the attempt says so; a datagram "
     "from another address or port names its sender). Progress is then plain lines, also on a "
     "terminal. Flashing and --dry-run are traced.",
     [](Draft &d, V) { return d.options.verbosity = std::min(d.options.verbosity + 1, 2), QString(); }},
    {"trace=FILE", kBoards, File | Output,
     "Append the datagram trace to FILE, with or without -v: a header line per run (\"#\", the "
     "version, the start in UTC and the command line), then a line per datagram. One that cannot "
     "be written later is said once, and the transfer goes on.",
     [](Draft &d, V v) { return d.options.tracePath = v, QString(); }},
    {"color=WHEN", kAll, 0,
     "Colour the result lines of the progress and the summary's rows: green for a board that "
     "ended with \"END\" (or READY), red for a failure. WHEN is auto (the default: only on a "
     "terminal whose TERM is not \"dumb\", and not while the environment variable NO_COLOR is set "
     "to any text), always or never.",
     [](Draft &d, V v) {
         constexpr ColourChoice choices[] = {ColourChoice::Auto, ColourChoice::Always, ColourChoice::Never};
         return oneOf(v, {"auto", "always", "never"}, choices, d.options.colour);
     }, {"auto", "always", "never"}},
    {"config=FILE", kAll, Brief | File | CommandLineOnly,
     "Read options from FILE, a station's profile; /dev/null reads none. See \"Options file\"."},
    {"h,help", kAll, Brief | CommandLineOnly, "Show the options used most."},
    {"help-all", kAll, Brief | CommandLineOnly,
     "Show every option, the options file, the environment and the exit codes."},
    {"V,version", kAll, Brief | CommandLineOnly, "Show the version."},
    };
    return table;
}
// clang-format on

ParsedArguments failed(ParsedArguments parsed, const QString &message,
                       ParsedArguments::Action action = ParsedArguments::Action::UsageError)
{
    parsed.action = action;
    parsed.error = message;
    return parsed;
}

// The hosts of the command line and the hosts file, each with its settings.
std::optional<QString> readHosts(Draft &draft, const QStringList &named,
                                 const HostsFileReader &hostsFile, const HostResolver &resolve)
{
    QList<DeviceEntry> entries;
    for (const QString &host : named)
        entries.append({host, {}});
    if (!draft.hostsPath.isEmpty()) {
        QString error;
        auto text = hostsFile(draft.hostsPath, &error);
        if (!text)
            return error;
        auto read = hostsFileEntries(draft.hostsPath, std::move(*text));
        if (const auto *refused = std::get_if<QString>(&read))
            return *refused;
        entries += std::get<QList<DeviceEntry>>(read);
    }
    if (entries.isEmpty())
        return QStringLiteral("no host given");
    auto devices = readDevices(entries, draft.common.remotePort, resolve);
    if (const auto *refused = std::get_if<QString>(&devices))
        return *refused;

    // More hosts than random local ports: every host takes a port the system
    // chooses, rather than drawing from a range too small for all of them.
    if (!draft.localPort && entries.size() > kLocalPortSpan) {
        draft.localPort = 0;
        draft.options.systemChosenPorts = true;
    }
    const QList<Device> &list = std::get<QList<Device>>(devices);
    for (qsizetype i = 0; i < list.size(); ++i) {
        HostSettings settings = draft.common;
        settings.host = list[i].host;
        settings.address = ipv4Text(list[i].address);
        settings.remotePort = list[i].port.value_or(draft.common.remotePort);
        if (draft.localPort) {
            // One socket per host: consecutive ports from the one given, or
            // system-chosen ports for 0.
            const quint64 local = *draft.localPort == 0 ? 0 : *draft.localPort + quint64(i);
            if (local > 65535)
                return QStringLiteral("--local-port %1 leaves no port for host %2")
                    .arg(*draft.localPort)
                    .arg(entries[i].text);
            settings.localPort = quint16(local);
        }
        draft.options.hosts.append(settings);
    }
    return std::nullopt;
}

// Every file, looked at before any is opened: a FIFO or a device is never
// waited for, and no file is written over in another role. The image's and
// an output's are file errors (exit code 4), an input option's are usage.
std::optional<ParsedArguments> checkFiles(const ParsedArguments &parsed,
                                          const cli::CommandLine &line)
{
    using enum FileUse::Direction;
    QList<FileUse> uses;
    const QString &image = parsed.options.imagePath;
    if (!image.isEmpty())
        uses.append({"the image", image, Read, true});
    for (const QString &report : parsed.options.reportInputs)
        uses.append({"a report", report, Read, true});
    if (!line.optionsFile.isEmpty())
        uses.append({"the options file", line.optionsFile, Read});
    for (const cli::Setting &setting : line.settings) {
        const int traits = rows()[setting.option].traits;
        const QString &name = commandLine().options[setting.option].names.last();
        if ((traits & File) && name != commandLine().configOption) { // the options file: above
            uses.append(
                {cli::dashes(name) + (setting.origin.isCommandLine()
                                          ? QString()
                                          : QStringLiteral(" (%1)").arg(setting.origin.text())),
                 setting.value, traits & Output ? Write : Read, bool(traits & Stdio),
                 bool(traits & Shared)});
        }
    }
    for (const FileUse &use : std::as_const(uses)) {
        const bool fileError =
            use.path != u"-" && (use.direction == Write || (!image.isEmpty() && &use == &uses[0]));
        if (const auto refused = checkFile(use)) {
            return failed(parsed, *refused,
                          fileError ? ParsedArguments::Action::FileError
                                    : ParsedArguments::Action::UsageError);
        }
    }
    if (const auto refused = checkDistinct(uses))
        return failed(parsed, *refused);
    return std::nullopt;
}

} // namespace

ParsedArguments parseArguments(const QStringList &arguments, const HostsFileReader &hostsFile,
                               const HostResolver &resolve, const cli::Environment &environment)
{
    using Action = ParsedArguments::Action;
    const cli::Definition &definition = commandLine();
    cli::CommandLine line = cli::readCommandLine(arguments, definition);
    ParsedArguments parsed;
    for (const auto &[name, action] :
         {std::pair{"help", Action::Help}, std::pair{"help-all", Action::HelpAll},
          std::pair{"version", Action::Version}}) {
        if (line.error.isEmpty() && line.has(definition, QString::fromLatin1(name)))
            return parsed.action = action, parsed;
    }
    cli::readOptionsFile(line, definition, environment);
    cli::chooseMode(line, definition);
    parsed.notes = line.notes;
    if (!line.error.isEmpty())
        return failed(parsed, line.error);

    Draft draft;
    for (const cli::Setting &setting : std::as_const(line.settings)) {
        const Row &row = rows()[setting.option];
        if (const QString problem = row.apply ? row.apply(draft, setting.value) : QString();
            !problem.isEmpty()) {
            const QString &name = definition.options[setting.option].names.last();
            return failed(parsed, setting.origin.prefix() +
                                      QStringLiteral("--%1 \"%2\": %3")
                                          .arg(name, cli::shown(setting.value), problem));
        }
    }
    FlashOptions &options = draft.options;
    options.mode = kModes[line.mode];
    options.production.continuous = line.mode == kContinuous;
    options.production.flushArp = options.flushArp;
    options.production.skipDone = !options.skipDonePath.isEmpty();
    draft.common.dryRun = line.mode == kDryRun;
    if (!line.modeOrigin.isCommandLine()) {
        parsed.said << QStringLiteral("%1 sets --continuous: board after board at each address")
                           .arg(line.modeOrigin.text());
    }

    const QStringList &operands = line.operands;
    if (line.mode == kScan) {
        if (operands.isEmpty())
            return failed(parsed, QStringLiteral("--scan needs at least one target"));
        options.scanTargets = operands;
        auto destinations = scanDestinations(operands, draft.common.remotePort);
        if (const auto *error = std::get_if<QString>(&destinations))
            return failed(parsed, *error);
        options.scanDestinations = std::get<QList<ScanDestination>>(std::move(destinations));
        if (draft.localPort)
            options.scanLocalPort = quint16(*draft.localPort);
    } else if (line.mode == kSummary) {
        if (operands.isEmpty())
            return failed(parsed, QStringLiteral("--summary needs at least one report file"));
        options.reportInputs = operands;
    } else if (operands.isEmpty()) {
        return failed(parsed, QStringLiteral("no image file given"));
    } else if ((line.mode == kInfo || line.mode == kWriteHex) && operands.size() > 1) {
        return failed(parsed, QStringLiteral("--%1 takes the image only, no host")
                                  .arg(line.mode == kInfo ? "info" : "write-hex"));
    } else {
        options.imagePath = operands.front();
    }
    parsed.options = options; // for a file error's JSON
    if (auto refused = checkFiles(parsed, line))
        return *refused;
    if (options.mode == FlashOptions::Mode::Flash || options.mode == FlashOptions::Mode::DryRun) {
        if (const auto refused = readHosts(draft, operands.mid(1), hostsFile, resolve))
            return failed(parsed, *refused);
    }
    parsed.options = std::move(draft.options);
    parsed.action = Action::Run;
    return parsed;
}

const cli::Definition &commandLine()
{
    static const cli::Definition definition = [] {
        cli::Definition d = helpDefinition();
        for (const Row &row : rows()) {
            const QString names = QString::fromLatin1(row.names);
            const auto traits = [&row](int trait) { return (row.traits & trait) != 0; };
            d.options.append({names.section(u'=', 0, 0).split(u','), names.section(u'=', 1),
                              QString::fromUtf8(row.help), row.values, traits(File), row.modes,
                              traits(ChoosesMode), traits(Brief), traits(Repeat),
                              traits(CommandLineOnly)});
        }
        return d;
    }();
    return definition;
}

} // namespace corvanel::flash
