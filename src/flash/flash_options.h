#pragma once

#include "flash/host_flasher.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <chrono>
#include <optional>

namespace corvanel::flash {

inline constexpr QLatin1StringView kProgramName{"corvanel-flash"};

struct FlashOptions {
    QString imagePath;
    QList<HostSettings> hosts; // in command-line order, ports resolved
    bool check = true; // read IMAGE as Intel HEX before anything is sent
    bool quiet = false;
    bool json = false;
    bool flushArp = false;
};

struct ParsedArguments {
    enum class Action { Run, Help, Version, UsageError };
    Action action = Action::UsageError;
    FlashOptions options; // for Run
    QString error;        // for UsageError
};

// Reads the command line (the program name first, as QCoreApplication gives it).
ParsedArguments parseArguments(const QStringList &arguments);

// Seconds as the time-out options take them: a whole or fractional number
// greater than zero, at most a day. Empty when the text is none.
std::optional<std::chrono::milliseconds> parseSeconds(const QString &text);

QString helpText();

} // namespace corvanel::flash
