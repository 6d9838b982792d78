#include "common/console.h"

#include <cerrno>
#include <optional>
#include <utility>

#ifdef Q_OS_UNIX
#include <sys/ioctl.h>
#include <unistd.h>
#elif defined(Q_OS_WIN)
#include <io.h>
#endif

namespace corvanel {

bool isTerminal(std::FILE *stream)
{
#ifdef Q_OS_UNIX
    return ::isatty(fileno(stream)) != 0;
#elif defined(Q_OS_WIN)
    return _isatty(_fileno(stream)) != 0;
#else
    Q_UNUSED(stream);
    return false;
#endif
}

namespace {

// The terminal's columns and rows; empty where they cannot be told.
std::optional<std::pair<int, int>> terminalSize(std::FILE *stream)
{
#ifdef Q_OS_UNIX
    winsize size{};
    if (ioctl(fileno(stream), TIOCGWINSZ, &size) == 0)
        return std::pair<int, int>(size.ws_col, size.ws_row);
#else
    Q_UNUSED(stream);
#endif
    return std::nullopt;
}

} // namespace

int terminalColumns(std::FILE *stream)
{
    const auto size = terminalSize(stream);
    return size && size->first > 20 ? size->first : 80;
}

int terminalRows(std::FILE *stream)
{
    const auto size = terminalSize(stream);
    return size && size->second > 0 ? size->second : 24;
}

bool isInteractiveTerminal(std::FILE *stream)
{
    return isTerminal(stream) && qEnvironmentVariable("TERM") != QLatin1String("dumb");
}

Written writeOutput(std::FILE *stream, QByteArrayView bytes)
{
    errno = 0;
    if (std::fwrite(bytes.data(), 1, size_t(bytes.size()), stream) == size_t(bytes.size()) &&
        std::fflush(stream) == 0)
        return Written::Whole;
    return errno == EPIPE ? Written::ReaderGone : Written::Failed;
}

bool colourWanted(ColourChoice choice, bool interactiveTerminal, const QByteArray &noColor)
{
    switch (choice) {
    case ColourChoice::Always:
        return true;
    case ColourChoice::Never:
        return false;
    case ColourChoice::Auto:
        break;
    }
    return interactiveTerminal && noColor.isEmpty();
}

QString painted(const QString &text, Tone tone)
{
    switch (tone) {
    case Tone::Good:
        return QStringLiteral("\x1b[32m") + text + QStringLiteral("\x1b[0m");
    case Tone::Bad:
        return QStringLiteral("\x1b[31m") + text + QStringLiteral("\x1b[0m");
    case Tone::Plain:
        break;
    }
    return text;
}

} // namespace corvanel
