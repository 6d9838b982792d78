#include "flash/flash_options.h"

// The flasher's command line in prose, around its option table
// (flash_options.cpp): usage, description, notes, files, exit codes, examples.
namespace corvanel::flash {

cli::Definition helpDefinition()
{
    cli::Definition d;
    d.program = QString(kProgramName);
    d.summary = "flash firmware to Corvanel bootloaders over UDP";
    d.usage = {
        "[options] IMAGE HOST[:PORT]...",
        "[options] --hosts FILE IMAGE [HOST[:PORT]...]",
        "--dry-run [options] IMAGE HOST[:PORT]...",
        "--continuous [--count N] [--gone-time S] [options] IMAGE HOST[:PORT]...",
        "--info [--json] [image options] IMAGE",
        "--write-hex FILE [image options] IMAGE",
        "--scan [--scan-time S] [--json] TARGET...",
        "--summary [--since TIME] [--until TIME] [--html FILE] [--json] REPORT...",
    };
    d.description = {
        "Sends IMAGE to the bootloader of every HOST over UDP, the same way the Corvanel window "
        "does: \"BOOTi\" at once and then every 500 ms until the device answers \"VER=\", then "
        "the download pass line by line, then the verify pass, until the device's \"DOWNLOAD\" "
        "after the last verify line (\"END\"). Exactly one reply answers each line: replies from "
        "any other address or from another port than the first \"VER=\"'s, late or repeated "
        "replies, and a \"DOWNLOAD\" that does not "
        "answer a pass's last line are left out and counted. All hosts are flashed at the same "
        "time, each with its own socket. A summary table follows.",
        "IMAGE may be Intel HEX (sent line by line as the file has it), Motorola S-record, ELF "
        "(32 or 64-bit, either byte order; read as objcopy reads it: the contents of each "
        "allocated section with file bytes at its load address, never the ELF headers or the "
        "padding between sections) or a raw binary; the format is recognised by content, and "
        "\"-\" reads IMAGE from standard input. Every other format is sent as Intel HEX records "
        "made from its data, record for record as objcopy -O ihex writes them: data records, "
        "starting afresh at each ELF section, extended address records as objcopy chooses them "
        "(segment records below 1 MiB, linear ones above), gaps skipped, no record across a "
        "64 KiB boundary, and one end-of-file record; no start address.",
        "The modes --dry-run, --continuous, --info, --write-hex, --scan and --summary exclude "
        "each other, "
        "and an option that means nothing in the mode chosen is refused (--install with "
        "--dry-run, --report with --info, --attempts with --write-hex). Every file is looked at "
        "before anything is sent: a folder, FIFO or device is refused, as is one file in two "
        "roles (--report and --trace, IMAGE and --write-hex).",
    };
    d.notes = {
        "A HOST is an IPv4 address A.B.C.D (four decimal numbers from 0 to 255, no leading "
        "zeros) or a host name, looked up once before anything is sent. Short, octal and "
        "hexadecimal forms such as 127.1 or 0x7f.0.0.1 are refused. Each device (address and "
        "port) may be named only once per run, by whatever name.",
        "Progress goes to standard error: a live bar per host on a terminal, plain progress "
        "lines otherwise. The summary goes to standard output. Output that cannot be written "
        "(a reader that quit, a closed terminal) never stops a transfer: progress is dropped, "
        "the summary and records are written where they can be, and the exit code stays what "
        "it is. Short options combine: -qq, -vv, -qv.",
    };
    d.configOption = "config";
    d.configVariable = "CORVANEL_FLASH_CONFIG";
    d.configName = "corvanel/flash.conf";
    d.environment = {
        {"XDG_CONFIG_HOME", "The folder of the user's options file, corvanel/flash.conf in it; "
                            "unset, empty or relative: $HOME/.config."},
        {"HOME", "The user's home, for the options file when XDG_CONFIG_HOME is not set."},
        {"NO_COLOR", "Set to any text: no colour with --color auto."},
        {"TERM", "\"dumb\": no live bars and no colour with --color auto."},
    };
    d.files = {
        {"~/.config/corvanel/flash.conf", "The user's options file, read when neither --config "
                                          "nor CORVANEL_FLASH_CONFIG names one."},
        {"/etc/corvanel/flash.conf", "The station's options file, read when the user has none."},
    };
    d.exitCodes = {
        {"0",
         "every host ended with \"END\" (and \"BOOTg\" sent, with --install); --dry-run: every "
         "host answered \"VER=\"; --scan: a board answered",
         "done"},
        {"1",
         "a device answered \"ERROR\" or broke the protocol, or a reply came that no datagram "
         "sent explains (the network duplicates, so replies cannot be paired with lines)",
         "a device's ERROR"},
        {"2", "bad usage", "bad usage"},
        {"3",
         "time-out: no \"VER=\" within --inquiry-timeout, no reply to a line within "
         "--reply-timeout (after --retries), or no board answered --scan",
         "time-out"},
        {"4",
         "file error: IMAGE unreadable, empty or refused, or the report, the trace or the "
         "--write-hex output cannot be opened or written",
         "file error"},
        {"5",
         "network error: a socket could not be opened or a datagram not sent (--scan: not one "
         "inquiry could be sent), or more hosts than the open-file limit leaves sockets for",
         "network error"},
        {"6",
         "several hosts failed, in different ways (each host's own code is in the summary; "
         "--json gives it per host)",
         "failures of different kinds"},
        {"130",
         "interrupted by Ctrl-C (143 on SIGTERM, 129 on SIGHUP); the summary shows what was "
         "done, and the records say the same code",
         "interrupted (143, 129)"},
    };
    d.examples = {
        {"Find the boards waiting in their bootloader on a line's subnet:",
         "corvanel-flash --scan 10.0.0.0/28"},
        {"Flash every board listed in boards.txt, two attempts each, install, and keep a "
         "record:",
         "corvanel-flash --hosts boards.txt --attempts 2 --install --report flash.jsonl "
         "firmware.hex"},
        {"A raw binary at 0x08000000, checked without the network:",
         "corvanel-flash --info --base-address 0x08000000 firmware.bin"},
    };
    return d;
}

} // namespace corvanel::flash
