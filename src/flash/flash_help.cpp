#include "flash/flash_options.h"

namespace corvanel::flash {

namespace {

cli::Definition makeDefinition()
{
    cli::Definition definition;
    definition.program = QString(kProgramName);
    definition.summary = QStringLiteral("flash firmware to Corvanel bootloaders over UDP");
    definition.usage = {
        QStringLiteral("[options] IMAGE HOST[:PORT]..."),
        QStringLiteral("[options] --hosts FILE IMAGE [HOST[:PORT]...]"),
        QStringLiteral("--dry-run [options] IMAGE HOST[:PORT]..."),
        QStringLiteral("--info [--json] [--format F] [--base-address A] [--record-bytes N] IMAGE"),
        QStringLiteral("--write-hex FILE [image options] IMAGE"),
        QStringLiteral("--scan [--scan-time S] [--json] TARGET..."),
        QStringLiteral("--continuous [--count N] [--gone-time S] [options] IMAGE HOST[:PORT]..."),
    };
    definition.description = {
        QStringLiteral(
            "Sends IMAGE to the bootloader of every HOST over UDP, the same way the Corvanel "
            "window does: \"BOOTi\" at once and then every 500 ms until the device answers "
            "\"VER=\", then the download pass line by line, then the verify pass, until the "
            "device's \"DOWNLOAD\" after the last verify line (\"END\"). Exactly one reply "
            "answers each line: replies from any other address or port, late or repeated "
            "replies, and a \"DOWNLOAD\" that does not answer a pass's last line are left out "
            "and counted. All hosts are flashed at the same time, each with its own socket. A "
            "summary table follows."),
        QStringLiteral(
            "IMAGE may be Intel HEX (sent line by line as the file has it), Motorola S-record, "
            "ELF (32 or 64-bit, either byte order; read as objcopy reads it: the contents of "
            "each allocated section with file bytes at its load address, never the ELF "
            "headers or the padding between sections) or a raw binary; the format is "
            "recognised by content, and \"-\" reads IMAGE from standard input. Every other "
            "format is sent as Intel HEX records made from its data: data records, starting "
            "afresh at each ELF section, an extended linear address record wherever the "
            "upper 16 address bits change, gaps skipped, no record across a 64 KiB boundary, "
            "and one end-of-file record; no start address."),
    };
    const auto file = [](QStringList names, const QString &value, const QString &text) {
        return cli::Option{std::move(names), value, text, {}, true};
    };
    definition.options = {
        {{QStringLiteral("port")},
         QStringLiteral("PORT"),
         QStringLiteral("Device port for hosts given without \":PORT\" (default 111).")},
        {{QStringLiteral("local-port")},
         QStringLiteral("PORT"),
         QStringLiteral("Local port to bind. Default: a random port from 5500 to 6499 for each "
                        "host, as the window does (with more than 1000 hosts, a port the system "
                        "chooses for each). With several hosts, the first binds PORT, the next "
                        "PORT+1, and so on; 0 lets the system choose every port.")},
        file({QStringLiteral("hosts")}, QStringLiteral("FILE"),
             QStringLiteral("Read more hosts from FILE, one HOST[:PORT] a line; blank lines and "
                            "everything after '#' are ignored; \"-\" reads standard input. They "
                            "follow the hosts on the command line.")),
        {{QStringLiteral("inquiry-timeout")},
         QStringLiteral("S"),
         QStringLiteral("Seconds to wait for \"VER=\" (default 30).")},
        {{QStringLiteral("reply-timeout")},
         QStringLiteral("S"),
         QStringLiteral("Seconds to wait for each reply to a line (default 3). Both time-outs "
                        "take fractions, e.g. 0.5.")},
        {{QStringLiteral("confirm-time")},
         QStringLiteral("S"),
         QStringLiteral("Seconds the device's \"DOWNLOAD\" after the last verify line must "
                        "stand with no further reply before it counts as \"END\" (default: "
                        "0.05 or twice the slowest answer of the transfer, whichever is longer, "
                        "at most --reply-timeout). An \"ERROR\" in that time fails the host; "
                        "any other reply proves that the network duplicates, and fails it too.")},
        {{QStringLiteral("retries")},
         QStringLiteral("N"),
         QStringLiteral("Send a line again up to N times when its reply does not come in time "
                        "(default 0, off). Off by default because the protocol has no sequence "
                        "numbers: if only the reply was lost, the device has written the line "
                        "already, and the line sent again is written twice. Use it only with a "
                        "bootloader that tolerates that; --attempts is the safe way.")},
        {{QStringLiteral("attempts")},
         QStringLiteral("N"),
         QStringLiteral("Try a failing host up to N times in all (default 1): each new attempt "
                        "closes the socket, opens a new one and starts the whole transfer again "
                        "from the inquiry, a new download pass from line 1. A device's "
                        "\"ERROR\", a time-out and a network error are tried again; an "
                        "interrupt is not. With a fixed --local-port the new attempt first "
                        "waits --reply-timeout, so that late replies to the failed one are not "
                        "taken for answers. The summary shows the attempt each host ended on; "
                        "--report records every attempt.")},
        {{QStringLiteral("install")},
         {},
         QStringLiteral("After \"END\", send \"BOOTg\" to start the new firmware.")},
        {{QStringLiteral("no-check")},
         {},
         QStringLiteral("Send an Intel HEX IMAGE as it is, unparsed, as the window sends it "
                        "(but for a leading UTF-8 byte-order mark). By default it is read first "
                        "(record syntax, byte counts, checksums, record types 00 to 05, no blank "
                        "lines, one end-of-file record, last, no address written twice; after it "
                        "only blank lines, spaces and one DOS end-of-file byte, which are not "
                        "sent) and a bad image is refused, naming each bad line.")},
        {{QStringLiteral("check")},
         {},
         QStringLiteral("Check an Intel HEX IMAGE before sending (the default).")},
        {{QStringLiteral("format")},
         QStringLiteral("F"),
         QStringLiteral("Read IMAGE as F: hex, bin, srec or elf, whatever its content looks like."),
         {QStringLiteral("hex"), QStringLiteral("bin"), QStringLiteral("srec"),
          QStringLiteral("elf")}},
        {{QStringLiteral("base-address")},
         QStringLiteral("A"),
         QStringLiteral("Address of the first byte of a binary IMAGE, decimal or 0x and hex "
                        "digits; required for binary images.")},
        {{QStringLiteral("record-bytes")},
         QStringLiteral("N"),
         QStringLiteral("Data bytes per Intel HEX record made from a binary, S-record or ELF "
                        "IMAGE, 1 to 255 (default 16).")},
        {{QStringLiteral("remove-section")},
         QStringLiteral("NAME"),
         QStringLiteral("Leave the ELF sections named NAME out of the image, as objcopy's -R "
                        "does; '*' and '?' match as in the shell. May be given more than once. "
                        "A NAME that matches no section of the file is an error. For an AVR "
                        "image: --remove-section .eeprom --remove-section .fuse "
                        "--remove-section .lock.")},
        {{QStringLiteral("only-section")},
         QStringLiteral("NAME"),
         QStringLiteral("Keep only the ELF sections named NAME, as objcopy's -j does; patterns "
                        "and repeats as for --remove-section, which still applies.")},
        file({QStringLiteral("write-hex")}, QStringLiteral("FILE"),
             QStringLiteral("Write the records that would be sent to FILE (\"-\": standard "
                            "output), one a line with CR LF, in the order they would go out, and "
                            "touch no network: to compare with a toolchain's own Intel HEX.")),
        {{QStringLiteral("info")},
         {},
         QStringLiteral("Print what would be flashed and touch no network: format, record "
                        "count, address ranges, data bytes, the CRC-32 and SHA-256 of the "
                        "data bytes in address order (the figures the simulator prints on "
                        "\"BOOTg\"), and the start address when the image has one, with "
                        "whether it is sent (an Intel HEX file's own records 03 and 05 are; "
                        "converted images send none).")},
        {{QStringLiteral("dry-run")},
         {},
         QStringLiteral("Check the image, open the links and wait for each board's \"VER=\"; "
                        "send nothing but inquiries, and report what would be flashed: each "
                        "board's \"VER=\" text (result READY), and the image's line count, "
                        "data bytes, CRC-32 and SHA-256. Exit codes as for flashing.")},
        {{QStringLiteral("scan")},
         {},
         QStringLiteral("Send \"BOOTi\" to each TARGET (an IPv4 address, a CIDR range such "
                        "as 10.0.0.0/28 whose host addresses are asked, /16 at the widest, or a "
                        "broadcast address; each with :PORT or --port) from one socket, and "
                        "list every board that answers \"VER=\" from a port asked, once, with "
                        "its address, port and \"VER=\" text. The inquiries go out at most "
                        "10,000 a second, three times within --scan-time (at its start, a "
                        "quarter and half of it), so that one lost datagram hides no board.")},
        {{QStringLiteral("scan-time")},
         QStringLiteral("S"),
         QStringLiteral("Seconds to listen for answers to --scan (default 1). A range too wide "
                        "to ask within half of it is asked fewer times, and the scan goes on a "
                        "quarter of this time after its last inquiry.")},
        file({QStringLiteral("report")}, QStringLiteral("FILE"),
             QStringLiteral("Append one JSON object per host and attempt to FILE (JSON Lines): "
                            "the traceability record. Each holds schemaVersion, toolVersion, "
                            "station, start and end (UTC, ISO 8601 with milliseconds), host, "
                            "port, localPort, image, imageSha256 and imageCrc32 (of the data "
                            "bytes; null when unknown), lineCount, deviceVersion (the text after "
                            "\"VER=\"; null when none came), dryRun, result, ok, exitCode, phase "
                            "and line where it stopped, installed, seconds, resends, "
                            "ignoredReplies, attempt, maxAttempts and reason. Earlier lines are "
                            "never rewritten, and each record is written whole in one append, so "
                            "several runs may share one file; a record never continues a line left "
                            "unfinished (it then begins with a line end). A FILE that cannot be "
                            "opened, or that is not a regular file (a FIFO, a device, a folder), "
                            "stops the run before anything is sent.")),
        {{QStringLiteral("station")},
         QStringLiteral("NAME"),
         QStringLiteral("The station named in the report (default: this machine's host "
                        "name).")},
        {{QStringLiteral("q"), QStringLiteral("quiet")},
         {},
         QStringLiteral("Print only the summary.")},
        {{QStringLiteral("json")},
         {},
         QStringLiteral("Print the summary (or --info, --scan) as JSON on standard output.")},
        {{QStringLiteral("v"), QStringLiteral("verbose")},
         {},
         QStringLiteral("Trace every datagram on standard error, one line each: the seconds "
                        "since the run began (to the millisecond), HOST:PORT, \"in\" or "
                        "\"out\", the datagram quoted (its line end left off, other bytes "
                        "outside printable ASCII as \\xNN), and what became of it: \"sent\" or "
                        "\"not sent\" and why; \"answer\", or \"left out\" and why (a copy "
                        "that fails the attempt says so; a datagram from another address or "
                        "port names its sender). Progress is then plain lines, also on a "
                        "terminal. For flashing and --dry-run.")},
        file({QStringLiteral("trace")}, QStringLiteral("FILE"),
             QStringLiteral("Append the same trace to FILE, with or without -v: a header line "
                            "per run (\"#\", the version, the start in UTC and the command "
                            "line), then a line per datagram. A FILE that cannot be opened stops "
                            "the run before anything is sent (exit code 4); one that cannot be "
                            "written later is said once, and the transfer goes on.")),
        {{QStringLiteral("color")},
         QStringLiteral("WHEN"),
         QStringLiteral("Colour the result lines of the progress and the summary's rows: green "
                        "for a board that ended with \"END\" (or READY), red for a failure. "
                        "WHEN is auto (the default: only on a terminal whose TERM is not "
                        "\"dumb\", and not while the environment variable NO_COLOR is set to "
                        "any text), always or never."),
         {QStringLiteral("auto"), QStringLiteral("always"), QStringLiteral("never")}},
        {{QStringLiteral("flush-arp")},
         {},
         QStringLiteral("Flush the ARP cache once before connecting, as the window does on "
                        "connect (Windows; needs administrator rights). With --continuous, "
                        "the neighbour entry of each HOST's address before each new board, "
                        "where the process may (Linux: ip neigh flush). Off by default: a tool "
                        "run from scripts must not wipe the neighbour cache of a shared "
                        "machine.")},
        {{QStringLiteral("continuous")},
         {},
         QStringLiteral("Continuous production: each HOST is a lane where board after board "
                        "comes up at the same address. A lane waits for a board to answer "
                        "\"BOOTi\", flashes and verifies it (and installs it with --install), "
                        "records it, waits until it has left (no answer for --gone-time), and "
                        "waits for the next; a board that has not left is never flashed again "
                        "(take it away; --attempts is the only retry). Each record carries "
                        "the board's number in its lane and, where the neighbour table knows "
                        "it, its MAC address. Stops after --count boards per lane, or at "
                        "Ctrl-C (exit 130). Exit 0 when every board ended with \"END\", 1 "
                        "when any failed.")},
        {{QStringLiteral("count")},
         QStringLiteral("N"),
         QStringLiteral("With --continuous: stop each lane after N boards (default: until "
                        "Ctrl-C).")},
        {{QStringLiteral("gone-time")},
         QStringLiteral("S"),
         QStringLiteral("With --continuous: a board has left once it has not answered the "
                        "inquiry for S seconds (default 1). After \"BOOTg\" its firmware "
                        "starts and its bootloader falls silent.")},
        file({QStringLiteral("config")}, QStringLiteral("FILE"),
             QStringLiteral("Read options from FILE, a station's profile: \"name = value\" "
                            "lines (see \"Options file\" below). Default: the file "
                            "CORVANEL_FLASH_CONFIG names, if set.")),
        {{QStringLiteral("h"), QStringLiteral("help")}, {}, QStringLiteral("Show this help.")},
        {{QStringLiteral("version")}, {}, QStringLiteral("Show the version.")},
    };
    definition.configOption = QStringLiteral("config");
    definition.configVariable = QStringLiteral("CORVANEL_FLASH_CONFIG");
    definition.notes = {
        QStringLiteral("A HOST is an IPv4 address A.B.C.D (four decimal numbers from 0 to 255, "
                       "no leading zeros) or a host name, looked up once before anything is sent. "
                       "Short, octal and hexadecimal forms such as 127.1 or 0x7f.0.0.1 are "
                       "refused. Each device (address and port) may be named only once per run, "
                       "by whatever name."),
        QStringLiteral("Progress goes to standard error: a live bar per host on a terminal, "
                       "plain progress lines otherwise. The summary goes to standard output. "
                       "Output that cannot be written (a reader that quit, a closed terminal) "
                       "never stops a transfer: progress is dropped, the summary and records "
                       "are written where they can be, and the exit code stays what it is."),
    };
    definition.exitCodes = {
        {QStringLiteral("0"),
         QStringLiteral("every host ended with \"END\" (and \"BOOTg\" sent, with --install); "
                        "--dry-run: every host answered \"VER=\"; --scan: a board answered")},
        {QStringLiteral("1"),
         QStringLiteral("a device answered \"ERROR\" or broke the protocol, or a reply came "
                        "that no datagram sent explains (the network duplicates, so replies "
                        "cannot be paired with lines)")},
        {QStringLiteral("2"), QStringLiteral("bad usage")},
        {QStringLiteral("3"),
         QStringLiteral("time-out: no \"VER=\" within --inquiry-timeout, no reply to a line "
                        "within --reply-timeout (after --retries), or no board answered --scan")},
        {QStringLiteral("4"),
         QStringLiteral("file error: IMAGE unreadable, empty or refused, or the report cannot be "
                        "opened or written")},
        {QStringLiteral("5"),
         QStringLiteral("network error: a socket could not be opened or a datagram not sent "
                        "(--scan: not one inquiry could be sent), or more hosts than the open-file "
                        "limit leaves sockets for")},
        {QStringLiteral("6"),
         QStringLiteral("several hosts failed, in different ways (each host's own code is in the "
                        "summary; --json gives it per host)")},
        {QStringLiteral("130"),
         QStringLiteral("interrupted by Ctrl-C (143 on SIGTERM, 129 on SIGHUP); the summary "
                        "shows what was done, and the records say the same code")},
    };
    definition.examples = {
        {QStringLiteral("Find the boards waiting in their bootloader on a line's subnet:"),
         QStringLiteral("corvanel-flash --scan 10.0.0.0/28")},
        {QStringLiteral("Flash every board listed in boards.txt, two attempts each, install, "
                        "and keep a record:"),
         QStringLiteral("corvanel-flash --hosts boards.txt --attempts 2 --install "
                        "--report flash.jsonl firmware.hex")},
        {QStringLiteral("A raw binary at 0x08000000, checked without the network:"),
         QStringLiteral("corvanel-flash --info --base-address 0x08000000 firmware.bin")},
    };
    return definition;
}

} // namespace

const cli::Definition &commandLine()
{
    static const cli::Definition definition = makeDefinition();
    return definition;
}

} // namespace corvanel::flash
