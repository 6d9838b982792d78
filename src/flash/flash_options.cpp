#include "flash/flash_options.h"

#include "common/ipv4_address.h"
#include "common/numbers.h"
#include "engine/run_report.h"
#include "link/udp_link.h"

#include <QCommandLineParser>
#include <QFile>
#include <QHash>
#include <QHostAddress>
#include <QHostInfo>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>

namespace corvanel::flash {

using namespace Qt::StringLiterals;

namespace {

constexpr double kMaxSeconds = 24 * 60 * 60;
constexpr int kMaxRetries = 100;
constexpr int kMaxAttempts = 100;
constexpr int kMaxBoards = 1000000; // --count

using image::Format;

// Options that may be given more than once, each adding a value.
constexpr std::array kRepeatable = {QLatin1StringView("remove-section"),
                                    QLatin1StringView("only-section")};

const QList<std::pair<QString, Format>> &formatNames()
{
    static const QList<std::pair<QString, Format>> names = {
        {QStringLiteral("hex"), Format::IntelHex},
        {QStringLiteral("bin"), Format::Binary},
        {QStringLiteral("srec"), Format::SRecord},
        {QStringLiteral("elf"), Format::Elf},
    };
    return names;
}

ParsedArguments usageError(const QString &message)
{
    ParsedArguments parsed;
    parsed.action = ParsedArguments::Action::UsageError;
    parsed.error = message;
    return parsed;
}

// "--NAME "VALUE": must be WHAT": a refused value, with the option it was given to.
ParsedArguments optionError(QLatin1StringView name, const QString &value, const QString &what)
{
    return usageError(QStringLiteral("--%1 \"%2\": must be %3").arg(name, value, what));
}

} // namespace


std::variant<quint32, QString> resolveHostName(const QString &name)
{
    // A blocking lookup, once per name, before any host is contacted.
    const QHostInfo info = QHostInfo::fromName(name);
    const auto addresses = info.addresses();
    for (const QHostAddress &candidate : addresses) {
        bool isV4 = false;
        const quint32 v4 = candidate.toIPv4Address(&isV4);
        if (isV4)
            return v4;
    }
    return info.error() != QHostInfo::NoError
               ? QStringLiteral("host not found: %1").arg(info.errorString())
               : QStringLiteral("the host has no IPv4 address");
}

std::optional<std::chrono::milliseconds> parseSeconds(const QString &text)
{
    bool ok = false;
    const double seconds = text.trimmed().toDouble(&ok);
    if (!ok || !std::isfinite(seconds) || seconds <= 0 || seconds > kMaxSeconds)
        return std::nullopt;
    // Rounded up, so that a tiny time-out is never zero.
    return std::chrono::milliseconds(qint64(std::ceil(seconds * 1000.0)));
}

// The options file's options are put in by parseArguments() below.
static ParsedArguments parseWithConfig(const QStringList &arguments,
                                       const HostsFileReader &hostsFile,
                                       const HostResolver &resolve)
{
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    cli::addOptions(parser, commandLine());
    if (!parser.parse(arguments))
        return usageError(cli::parseError(parser, commandLine()));

    ParsedArguments parsed;
    if (parser.isSet(QStringLiteral("help"))) {
        parsed.action = ParsedArguments::Action::Help;
        return parsed;
    }
    if (parser.isSet(QStringLiteral("version"))) {
        parsed.action = ParsedArguments::Action::Version;
        return parsed;
    }
    // A repeated option would silently take one of its values.
    for (const QString &name : parser.optionNames()) {
        const bool repeatable =
            std::find(kRepeatable.begin(), kRepeatable.end(), name) != kRepeatable.end();
        if (parser.optionNames().count(name) > 1 && !repeatable)
            return usageError(QStringLiteral("option --%1 given more than once").arg(name));
    }
    const auto isSet = [&parser](const char *name) {
        return parser.isSet(QString::fromLatin1(name));
    };
    const auto value = [&parser](const char *name) {
        return parser.value(QString::fromLatin1(name));
    };

    FlashOptions &options = parsed.options;
    const int modes = int(isSet("info")) + int(isSet("scan")) + int(isSet("dry-run"));
    if (modes > 1)
        return usageError(QStringLiteral("--info, --scan and --dry-run exclude each other"));
    options.mode = isSet("info")      ? FlashOptions::Mode::Info
                   : isSet("scan")    ? FlashOptions::Mode::Scan
                   : isSet("dry-run") ? FlashOptions::Mode::DryRun
                                      : FlashOptions::Mode::Flash;

    HostSettings common;
    if (isSet("port")) {
        const auto port = parseWholeNumber(value("port"), 1, 65535);
        if (!port)
            return optionError("port"_L1, value("port"),
                               QStringLiteral("a number from 1 to 65535"));
        common.remotePort = quint16(*port);
    }
    std::optional<quint64> firstLocalPort;
    if (isSet("local-port")) {
        firstLocalPort = parseWholeNumber(value("local-port"), 0, 65535);
        if (!firstLocalPort)
            return optionError("local-port"_L1, value("local-port"),
                               QStringLiteral("a number from 0 to 65535"));
    }
    // A time option, in seconds: set where `apply` puts it, or refused by name.
    std::optional<ParsedArguments> refused;
    const auto seconds = [&](const char *name, const auto &apply) {
        if (refused || !isSet(name))
            return;
        if (const auto time = parseSeconds(value(name)))
            apply(*time);
        else
            refused = optionError(QLatin1StringView(name), value(name),
                                  QStringLiteral("a number of seconds above 0 (fractions "
                                                 "allowed, at most a day)"));
    };
    seconds("inquiry-timeout", [&](Millis time) { common.limits.inquiryTimeout = time; });
    seconds("reply-timeout", [&](Millis time) { common.limits.replyTimeout = time; });
    seconds("confirm-time", [&](Millis time) { common.limits.confirmTime = time; });
    seconds("scan-time", [&](Millis time) { options.scanTime = time; });
    seconds("gone-time", [&](Millis time) { options.production.goneTime = time; });
    if (refused)
        return *refused;
    for (const auto &[name, field, highest] :
         {std::tuple{"retries", &common.limits.retries, kMaxRetries},
          std::tuple{"attempts", &common.attempts, kMaxAttempts}}) {
        if (!isSet(name))
            continue;
        const int lowest = field == &common.attempts ? 1 : 0;
        const auto number = parseWholeNumber(value(name), quint64(lowest), quint64(highest));
        if (!number)
            return optionError(QLatin1StringView(name), value(name),
                               QStringLiteral("a number from %1 to %2").arg(lowest).arg(highest));
        *field = int(*number);
    }
    common.install = isSet("install");
    common.dryRun = options.mode == FlashOptions::Mode::DryRun;

    // The image.
    if (isSet("check") && isSet("no-check"))
        return usageError(QStringLiteral("--check and --no-check exclude each other"));
    options.image.check = !isSet("no-check");
    if (isSet("format")) {
        const QString name = value("format").toLower();
        for (const auto &[word, format] : formatNames()) {
            if (word == name)
                options.image.format = format;
        }
        if (!options.image.format)
            return usageError(QStringLiteral("--format must be hex, bin, srec or elf"));
    }
    if (isSet("base-address")) {
        const auto base =
            parseWholeNumber(value("base-address"), 0, 0xFFFFFFFF, NumberBase::DecimalOrHex);
        if (!base)
            return optionError("base-address"_L1, value("base-address"),
                               QStringLiteral("an address from 0 to 0xFFFFFFFF, decimal or 0x "
                                              "and hex digits"));
        options.image.baseAddress = quint32(*base);
    }
    if (isSet("record-bytes")) {
        const auto bytes =
            parseWholeNumber(value("record-bytes"), 1, image::HexRecordLines::kMaxRecordBytes);
        if (!bytes)
            return optionError("record-bytes"_L1, value("record-bytes"),
                               QStringLiteral("a number from 1 to %1")
                                   .arg(image::HexRecordLines::kMaxRecordBytes));
        options.image.recordBytes = int(*bytes);
    }

    // Which parts of an ELF image, and --write-hex.
    options.image.sections.remove = parser.values(QStringLiteral("remove-section"));
    options.image.sections.only = parser.values(QStringLiteral("only-section"));
    for (const QString &name : options.image.sections.remove + options.image.sections.only) {
        if (name.isEmpty())
            return usageError(QStringLiteral("--remove-section and --only-section need a name"));
    }
    if (isSet("write-hex")) {
        if (modes > 0)
            return usageError(QStringLiteral("--write-hex excludes --info, --scan and --dry-run"));
        options.mode = FlashOptions::Mode::WriteHex;
        options.writeHexPath = value("write-hex");
        if (options.writeHexPath.isEmpty())
            return usageError(QStringLiteral("--write-hex needs a file name (\"-\": standard "
                                             "output)"));
    }

    // An empty path is an unset variable in a script, not a wish for no record.
    if (isSet("report") && value("report").isEmpty())
        return usageError(QStringLiteral("--report \"\": the report needs a file name"));
    options.reportPath = value("report");
    options.station = value("station");
    options.quiet = isSet("quiet");
    options.json = isSet("json");
    options.flushArp = isSet("flush-arp");

    // The trace follows the lanes' datagrams; the scan's are its own.
    options.verbose = isSet("verbose");
    options.tracePath = value("trace");
    if (isSet("trace") && options.tracePath.isEmpty())
        return usageError(QStringLiteral("--trace \"\": the trace needs a file name"));
    if ((options.verbose || isSet("trace")) && options.mode != FlashOptions::Mode::Flash &&
        options.mode != FlashOptions::Mode::DryRun)
        return usageError(QStringLiteral("-v and --trace go with flashing and --dry-run, not "
                                         "with --info, --scan or --write-hex"));
    if (isSet("color")) {
        const QString when = value("color");
        if (when == u"always")
            options.colour = ColourChoice::Always;
        else if (when == u"never")
            options.colour = ColourChoice::Never;
        else if (when != u"auto")
            return optionError("color"_L1, when, QStringLiteral("auto, always or never"));
    }

    // Continuous production: board after board at each address.
    if ((isSet("count") || isSet("gone-time")) && !isSet("continuous"))
        return usageError(QStringLiteral("--count and --gone-time go with --continuous"));
    if (isSet("continuous")) {
        if (options.mode != FlashOptions::Mode::Flash)
            return usageError(QStringLiteral("--continuous excludes --info, --scan, --dry-run "
                                             "and --write-hex"));
        options.production.continuous = true;
        options.production.flushArp = options.flushArp;
        if (isSet("count")) {
            const auto count = parseWholeNumber(value("count"), 1, kMaxBoards);
            if (!count)
                return optionError("count"_L1, value("count"),
                                   QStringLiteral("a number from 1 to %1").arg(kMaxBoards));
            options.production.count = int(*count);
        }
    }

    const QStringList positional = parser.positionalArguments();
    if (options.mode == FlashOptions::Mode::Scan) {
        if (positional.isEmpty())
            return usageError(QStringLiteral("--scan needs at least one target"));
        options.scanTargets = positional;
        auto destinations = scanDestinations(positional, common.remotePort);
        if (const auto *error = std::get_if<QString>(&destinations))
            return usageError(*error);
        options.scanDestinations = std::get<QList<ScanDestination>>(std::move(destinations));
        if (firstLocalPort)
            options.scanLocalPort = quint16(*firstLocalPort);
        parsed.action = ParsedArguments::Action::Run;
        return parsed;
    }
    if (positional.isEmpty())
        return usageError(QStringLiteral("no image file given"));
    options.imagePath = positional.front();
    if (options.mode == FlashOptions::Mode::Info || options.mode == FlashOptions::Mode::WriteHex) {
        if (positional.size() > 1)
            return usageError(QStringLiteral("--%1 takes the image only, no host")
                                  .arg(options.mode == FlashOptions::Mode::Info
                                           ? QStringLiteral("info")
                                           : QStringLiteral("write-hex")));
        parsed.action = ParsedArguments::Action::Run;
        return parsed;
    }

    QList<DeviceEntry> entries;
    for (qsizetype i = 1; i < positional.size(); ++i)
        entries.append({positional[i], {}});
    if (isSet("hosts")) {
        const QString path = value("hosts");
        if (path == QLatin1String("-") && options.imagePath == QLatin1String("-"))
            return usageError(QStringLiteral("the image and --hosts cannot both be read from "
                                             "standard input"));
        QString error;
        auto text = hostsFile(path, &error);
        if (!text)
            return usageError(error);
        auto read = hostsFileEntries(path, std::move(*text));
        if (const auto *refused = std::get_if<QString>(&read))
            return usageError(*refused);
        entries += std::get<QList<DeviceEntry>>(read);
    }
    if (entries.isEmpty())
        return usageError(QStringLiteral("no host given"));
    auto devices = readDevices(entries, common.remotePort, resolve);
    if (const auto *refused = std::get_if<QString>(&devices))
        return usageError(*refused);

    // More hosts than random local ports: every host takes a port the system
    // chooses, rather than drawing from a range too small for all of them.
    if (!firstLocalPort && entries.size() > kLocalPortSpan) {
        firstLocalPort = 0;
        options.systemChosenPorts = true;
    }
    const QList<Device> &list = std::get<QList<Device>>(devices);
    for (qsizetype i = 0; i < list.size(); ++i) {
        HostSettings settings = common;
        settings.host = list[i].host;
        settings.address = ipv4Text(list[i].address);
        settings.remotePort = list[i].port.value_or(common.remotePort);
        if (firstLocalPort) {
            // One socket per host: consecutive ports from the one given, or
            // system-chosen ports for 0.
            const quint64 local = *firstLocalPort == 0 ? 0 : *firstLocalPort + quint64(i);
            if (local > 65535)
                return usageError(QStringLiteral("--local-port %1 leaves no port for host %2")
                                      .arg(*firstLocalPort)
                                      .arg(entries[i].text));
            settings.localPort = quint16(local);
        }
        options.hosts.append(settings);
    }
    parsed.action = ParsedArguments::Action::Run;
    return parsed;
}

ParsedArguments parseArguments(const QStringList &arguments, const HostsFileReader &hostsFile,
                               const HostResolver &resolve)
{
    // A --config file (or CORVANEL_FLASH_CONFIG's) adds what the command line
    // leaves out; an error about its value names its FILE:LINE.
    const cli::ConfiguredArguments configured = cli::withConfigFile(arguments, commandLine());
    if (!configured.error.isEmpty())
        return usageError(configured.error);
    ParsedArguments parsed = parseWithConfig(configured.arguments, hostsFile, resolve);
    parsed.error = configured.locate(parsed.error);
    return parsed;
}

} // namespace corvanel::flash
