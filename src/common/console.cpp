#include "common/console.h"

#include <cerrno>

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

int terminalColumns(std::FILE *stream)
{
#ifdef Q_OS_UNIX
    winsize size{};
    if (ioctl(fileno(stream), TIOCGWINSZ, &size) == 0 && size.ws_col > 20)
        return size.ws_col;
#else
    Q_UNUSED(stream);
#endif
    return 80;
}

int terminalRows(std::FILE *stream)
{
#ifdef Q_OS_UNIX
    winsize size{};
    if (ioctl(fileno(stream), TIOCGWINSZ, &size) == 0 && size.ws_row > 0)
        return size.ws_row;
#else
    Q_UNUSED(stream);
#endif
    return 24;
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
