#pragma once

#include <QStringList>

#include <cstdio>

namespace corvanel::flash {

struct Console {
    std::FILE *out = stdout; // summary, help, JSON
    std::FILE *err = stderr; // progress and error messages
    bool errIsTerminal = false;
};

// The whole command-line flasher: reads the arguments, loads (and optionally
// checks) the image, flashes every host on the running event loop's thread and
// prints the summary. Needs a QCoreApplication. Returns the exit code.
int runFlasher(const QStringList &arguments, const Console &console);

// Whether the stream is an interactive terminal that understands cursor moves.
bool isInteractiveTerminal(std::FILE *stream);

} // namespace corvanel::flash
