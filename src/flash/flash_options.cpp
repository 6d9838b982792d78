#include "flash/flash_options.h"

#include "flash/flash_result.h"

#include <QCommandLineParser>
#include <QSet>

#include <cmath>

namespace corvanel::flash {

namespace {

constexpr double kMaxSeconds = 24 * 60 * 60;
constexpr int kMaxRetries = 100;

std::optional<int> parseInteger(const QString &text, int minimum, int maximum)
{
    bool ok = false;
    const int value = text.trimmed().toInt(&ok, 10);
    if (!ok || value < minimum || value > maximum)
        return std::nullopt;
    return value;
}

struct HostAndPort {
    QString host;
    std::optional<quint16> port;
    QString error;
};

// "HOST" or "HOST:PORT"; a port given here outranks --port.
HostAndPort splitHost(const QString &argument)
{
    HostAndPort result;
    const qsizetype colon = argument.lastIndexOf(QLatin1Char(':'));
    if (colon < 0 || argument.indexOf(QLatin1Char(':')) != colon) {
        result.host = argument;
    } else {
        result.host = argument.left(colon);
        const auto port = parseInteger(argument.mid(colon + 1), 1, 65535);
        if (!port) {
            result.error =
                QStringLiteral("\"%1\": the port after ':' must be a number from 1 to 65535")
                    .arg(argument);
            return result;
        }
        result.port = quint16(*port);
    }
    if (result.host.trimmed().isEmpty())
        result.error = QStringLiteral("\"%1\": no host name or address").arg(argument);
    return result;
}

ParsedArguments usageError(const QString &message)
{
    ParsedArguments parsed;
    parsed.action = ParsedArguments::Action::UsageError;
    parsed.error = message;
    return parsed;
}

} // namespace

std::optional<std::chrono::milliseconds> parseSeconds(const QString &text)
{
    bool ok = false;
    const double seconds = text.trimmed().toDouble(&ok);
    if (!ok || !std::isfinite(seconds) || seconds <= 0 || seconds > kMaxSeconds)
        return std::nullopt;
    // Rounded up, so that a tiny time-out is never zero.
    return std::chrono::milliseconds(qint64(std::ceil(seconds * 1000.0)));
}

ParsedArguments parseArguments(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, {});
    const QCommandLineOption version(QStringLiteral("version"), {});
    const QCommandLineOption port(QStringLiteral("port"), {}, QStringLiteral("port"));
    const QCommandLineOption localPort(QStringLiteral("local-port"), {}, QStringLiteral("port"));
    const QCommandLineOption inquiryTimeout(QStringLiteral("inquiry-timeout"), {},
                                            QStringLiteral("s"));
    const QCommandLineOption replyTimeout(QStringLiteral("reply-timeout"), {}, QStringLiteral("s"));
    const QCommandLineOption retries(QStringLiteral("retries"), {}, QStringLiteral("n"));
    const QCommandLineOption install(QStringLiteral("install"), {});
    const QCommandLineOption check(QStringLiteral("check"), {});
    const QCommandLineOption noCheck(QStringLiteral("no-check"), {});
    const QCommandLineOption quiet({QStringLiteral("q"), QStringLiteral("quiet")}, {});
    const QCommandLineOption json(QStringLiteral("json"), {});
    const QCommandLineOption flushArp(QStringLiteral("flush-arp"), {});
    parser.addOptions({help, version, port, localPort, inquiryTimeout, replyTimeout, retries,
                       install, check, noCheck, quiet, json, flushArp});

    if (!parser.parse(arguments))
        return usageError(parser.errorText());

    ParsedArguments parsed;
    if (parser.isSet(help)) {
        parsed.action = ParsedArguments::Action::Help;
        return parsed;
    }
    if (parser.isSet(version)) {
        parsed.action = ParsedArguments::Action::Version;
        return parsed;
    }

    // A repeated option would silently take one of its values.
    for (const QString &name : parser.optionNames()) {
        if (parser.optionNames().count(name) > 1)
            return usageError(QStringLiteral("option --%1 given more than once").arg(name));
    }

    HostSettings common;
    if (parser.isSet(port)) {
        const auto value = parseInteger(parser.value(port), 1, 65535);
        if (!value)
            return usageError(QStringLiteral("--port must be a number from 1 to 65535"));
        common.remotePort = quint16(*value);
    }
    std::optional<int> firstLocalPort;
    if (parser.isSet(localPort)) {
        firstLocalPort = parseInteger(parser.value(localPort), 0, 65535);
        if (!firstLocalPort)
            return usageError(QStringLiteral("--local-port must be a number from 0 to 65535"));
    }
    if (parser.isSet(inquiryTimeout)) {
        const auto value = parseSeconds(parser.value(inquiryTimeout));
        if (!value)
            return usageError(
                QStringLiteral("--inquiry-timeout must be a number of seconds above 0 "
                               "(fractions allowed, at most a day)"));
        common.limits.inquiryTimeout = *value;
    }
    if (parser.isSet(replyTimeout)) {
        const auto value = parseSeconds(parser.value(replyTimeout));
        if (!value)
            return usageError(QStringLiteral("--reply-timeout must be a number of seconds above 0 "
                                             "(fractions allowed, at most a day)"));
        common.limits.replyTimeout = *value;
    }
    if (parser.isSet(retries)) {
        const auto value = parseInteger(parser.value(retries), 0, kMaxRetries);
        if (!value)
            return usageError(
                QStringLiteral("--retries must be a number from 0 to %1").arg(kMaxRetries));
        common.limits.retries = *value;
    }
    common.install = parser.isSet(install);

    const QStringList positional = parser.positionalArguments();
    if (positional.isEmpty())
        return usageError(QStringLiteral("no image file and no host given"));
    if (positional.size() < 2)
        return usageError(QStringLiteral("no host given"));

    parsed.options.imagePath = positional.front();
    QSet<QString> seen;
    for (qsizetype i = 1; i < positional.size(); ++i) {
        const HostAndPort target = splitHost(positional[i]);
        if (!target.error.isEmpty())
            return usageError(target.error);
        HostSettings settings = common;
        settings.host = target.host;
        if (target.port)
            settings.remotePort = *target.port;
        // Two controllers on one device would each take the other's replies.
        const QString key =
            settings.host.toLower() + QLatin1Char(':') + QString::number(settings.remotePort);
        if (seen.contains(key))
            return usageError(QStringLiteral("host %1 given more than once").arg(key));
        seen.insert(key);
        if (firstLocalPort) {
            // One socket per host: consecutive ports from the one given, or
            // system-chosen ports for 0.
            const int local = *firstLocalPort == 0 ? 0 : *firstLocalPort + int(i - 1);
            if (local > 65535)
                return usageError(QStringLiteral("--local-port %1 leaves no port for host %2")
                                      .arg(*firstLocalPort)
                                      .arg(positional[i]));
            settings.localPort = quint16(local);
        }
        parsed.options.hosts.append(settings);
    }
    if (parser.isSet(check) && parser.isSet(noCheck))
        return usageError(QStringLiteral("--check and --no-check exclude each other"));
    parsed.options.check = !parser.isSet(noCheck);
    parsed.options.quiet = parser.isSet(quiet);
    parsed.options.json = parser.isSet(json);
    parsed.options.flushArp = parser.isSet(flushArp);
    parsed.action = ParsedArguments::Action::Run;
    return parsed;
}

QString helpText()
{
    return QStringLiteral(R"(Usage: corvanel-flash [options] IMAGE HOST[:PORT]...

Sends the Intel HEX file IMAGE to the bootloader of every HOST over UDP, the
same way the Corvanel window does: "BOOTi" every 500 ms until the device
answers "VER=", then the download pass line by line, then the verify pass,
until the device's "DOWNLOAD" after the last verify line ("END"). All hosts are
flashed at the same time, each with its own socket. A summary table follows.

Options:
  --port PORT             Device port for hosts given without ":PORT"
                          (default 111).
  --local-port PORT       Local port to bind. Default: a random port from 5500
                          to 6499 for each host, as the window does. With several
                          hosts, the first binds PORT, the next PORT+1, and so
                          on; 0 lets the system choose every port.
  --inquiry-timeout S     Seconds to wait for "VER=" (default 30).
  --reply-timeout S       Seconds to wait for each reply to a line (default 3).
                          Both time-outs take fractions, e.g. 0.5.
  --retries N             Send a line again up to N times when its reply does
                          not come in time (default 0, off). Off by default
                          because the protocol has no sequence numbers: if only
                          the reply was lost, the device has written the line
                          already, and the line sent again is written twice.
                          Use it only with a bootloader that tolerates that.
  --install               After "END", send "BOOTg" to start the new firmware.
  --no-check              Send IMAGE as it is, unparsed, as the window sends
                          it. By default IMAGE is read as Intel HEX before
                          anything is sent (record syntax, byte counts,
                          checksums, record types 00 to 05, one end-of-file
                          record, last; no blank lines) and a bad image is
                          refused, naming each bad line. (--check, the
                          default, is still accepted.)
  -q, --quiet             Print only the summary.
  --json                  Print the summary as JSON on standard output.
  --flush-arp             Flush the ARP cache once before connecting, as the
                          window does on connect (Windows; needs administrator
                          rights). Off by default: a tool run from scripts must
                          not wipe the neighbour cache of a shared machine.
  -h, --help              Show this help.
  --version               Show the version.

Progress goes to standard error: a live bar per host on a terminal, plain
progress lines otherwise. The summary goes to standard output.

Exit codes:
  0    every host ended with "END" (and "BOOTg" sent, with --install)
  1    a device answered "ERROR" (or broke the protocol)
  2    bad usage
  3    time-out: no "VER=" within --inquiry-timeout, or no reply to a line
       within --reply-timeout (after --retries)
  4    file error: IMAGE unreadable, empty, or refused by the check
  5    network error: the socket could not be opened or a datagram not sent
  6    several hosts failed, in different ways (each host's own code is in
       the summary; --json gives it per host)
  130  interrupted by Ctrl-C (143 on SIGTERM); the summary shows what was done
When some hosts fail and the others succeed, the code is that of the failures
(1, 3 or 5, or 6 when they differ).
)");
}

} // namespace corvanel::flash
