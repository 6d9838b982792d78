#include "flash/terminal.h"

#include <cerrno>

#ifdef Q_OS_UNIX
#include <unistd.h>
#elif defined(Q_OS_WIN)
#include <io.h>
#endif

namespace corvanel::flash {

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

Tone toneOf(const HostReport &report)
{
    return report.outcome == Outcome::Ok || report.outcome == Outcome::Skipped ? Tone::Good
                                                                                : Tone::Bad;
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

} // namespace corvanel::flash
