#pragma once

#include <QStringList>

#include <cstdio>

namespace corvanel::flash {

struct Console {
    std::FILE *out = stdout; // summary, help, JSON
    std::FILE *err = stderr; // progress and error messages
    // Interactive terminals (TERM not "dumb"): live bars, and colour by default.
    bool errIsTerminal = false;
    bool outIsTerminal = false;
};

// The whole command-line flasher: reads the arguments, loads (and optionally
// checks) the image, flashes every host on the running event loop's thread and
// prints the summary. Needs a QCoreApplication. Returns the exit code.
int runFlasher(const QStringList &arguments, const Console &console);

} // namespace corvanel::flash
