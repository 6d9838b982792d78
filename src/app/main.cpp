#include "common/command_line.h"
#include "window/main_window.h"
#include "window/qt_prompts.h"

#include <QApplication>
#include <QCommandLineParser>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <tuple>

namespace {

using namespace corvanel;

cli::Definition windowCommandLine()
{
    cli::Definition definition;
    definition.program = QStringLiteral("corvanel");
    definition.summary = QStringLiteral("load firmware into a device's bootloader over UDP");
    definition.usage = {QStringLiteral("[--help | --version]")};
    definition.description = {
        QStringLiteral(
            "Opens the Corvanel window. The operator picks the device's IP address, connects, "
            "and opens an Intel HEX file; the window sends the file to the bootloader over UDP, "
            "one line per datagram, waiting for the device's \"OK\" after each, then sends it "
            "again as a verify pass and shows \"END\" on a green bar. \"Install\" tells the "
            "device to start the new firmware."),
        QStringLiteral(
            "The address box lists the devices kept in BOOTLOADER.ini in the current folder; "
            "\"Add\" and \"Del\" edit the list and \"Save\" writes it. \"Connect\" opens the link "
            "from a random local port from 5500 to 6499 to the device's port 111 and sends an "
            "inquiry every 500 ms until the device answers."),
    };
    definition.options = {
        {{QStringLiteral("h"), QStringLiteral("help")}, {}, QStringLiteral("Show this help.")},
        {{QStringLiteral("version")}, {}, QStringLiteral("Show the version.")},
    };
    definition.notes = {
        QStringLiteral("The window also takes the Qt toolkit's own options, such as -platform "
                       "and -style. Both options above are answered without a display."),
        QStringLiteral("The window needs a desktop session: DISPLAY or WAYLAND_DISPLAY set, or "
                       "a platform that needs none, such as QT_QPA_PLATFORM=offscreen. Without "
                       "one it says so in one line and exits 2; corvanel-flash needs no display."),
    };
    definition.exitCodes = {
        {QStringLiteral("0"), QStringLiteral("the window was closed")},
        {QStringLiteral("2"), QStringLiteral("bad usage, or no display to open the window on")},
    };
    definition.examples = {
        {QStringLiteral("Work with the address list of one production line:"),
         QStringLiteral("cd line-3 && corvanel")},
    };
    definition.operands = cli::Definition::Operands::None;
    definition.seeAlso = {QStringLiteral("corvanel-flash(1)"),
                          QStringLiteral("corvanel-devsim(1)")};
    return definition;
}

void print(std::FILE *stream, const QString &text)
{
    std::fputs(text.toLocal8Bit().constData(), stream);
    std::fflush(stream);
}

constexpr const char kNoDisplay[] =
    "no display: set DISPLAY or WAYLAND_DISPLAY, or use corvanel-flash\n";

// The options QGuiApplication, QApplication and the X11 platform take out of
// the command line, without dashes. Before the application exists they are no
// usage error.
const QStringList &qtOptionNames()
{
    static const QStringList names{
        QStringLiteral("platform"),        QStringLiteral("platformpluginpath"),
        QStringLiteral("platformtheme"),   QStringLiteral("plugin"),
        QStringLiteral("qwindowgeometry"), QStringLiteral("geometry"),
        QStringLiteral("qwindowtitle"),    QStringLiteral("title"),
        QStringLiteral("qwindowicon"),     QStringLiteral("icon"),
        QStringLiteral("reverse"),         QStringLiteral("session"),
        QStringLiteral("display"),         QStringLiteral("name"),
        QStringLiteral("style"),           QStringLiteral("stylesheet"),
        QStringLiteral("widgetcount"),     QStringLiteral("testability"),
        QStringLiteral("qmljsdebugger"),   QStringLiteral("sync"),
        QStringLiteral("nograb"),          QStringLiteral("dograb"),
        QStringLiteral("visual")};
    return names;
}

// The value of Qt's option `-name VALUE` (or `--name VALUE`), if given.
std::optional<QString> qtOptionValue(const QStringList &arguments, QLatin1StringView name)
{
    for (qsizetype i = 1; i + 1 < arguments.size(); ++i) {
        QStringView argument = arguments[i];
        if (argument.startsWith(QLatin1StringView("--")))
            argument = argument.mid(1);
        if (argument.startsWith(QLatin1Char('-')) && argument.mid(1) == name)
            return arguments[i + 1];
    }
    return std::nullopt;
}

// Whether any platform Qt would try can have a display. Only what surely has
// none is refused here: no DISPLAY and no WAYLAND_DISPLAY for Qt's default
// choice, no DISPLAY for X11 alone. Any other platform asked for (offscreen,
// wayland with its default socket, a frame buffer) is left to Qt.
bool displayPossible(const QStringList &arguments)
{
    const bool x11 = !qEnvironmentVariableIsEmpty("DISPLAY") ||
                     qtOptionValue(arguments, QLatin1StringView("display")).has_value();
    const bool wayland = !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
    const QString asked = qtOptionValue(arguments, QLatin1StringView("platform"))
                              .value_or(qEnvironmentVariable("QT_QPA_PLATFORM"));
    // "xcb;offscreen:option": tried in order, each with its own options.
    QStringList platforms;
    for (const QString &entry : asked.split(QLatin1Char(';'), Qt::SkipEmptyParts))
        platforms << entry.section(QLatin1Char(':'), 0, 0).trimmed();
    platforms.removeAll(QString());
    if (platforms.isEmpty())
        return x11 || wayland;
    return std::any_of(platforms.cbegin(), platforms.cend(), [&](const QString &name) {
        return name != QLatin1StringView("xcb") || x11;
    });
}

// While the application is made: its messages are held, and a fatal one,
// which Qt gives when no platform could start, ends the program with the
// no-display line instead of an abort. The held messages go on afterwards,
// but for the plugin loader's, which only repeat that no platform started.
QtMessageHandler previousHandler = nullptr;
QList<std::tuple<QtMsgType, QByteArray, QString>> heldMessages;

void passOn(QtMsgType type, const char *category, const QString &message)
{
    const QMessageLogContext context(nullptr, 0, nullptr, category);
    if (previousHandler)
        previousHandler(type, context, message);
    else
        print(stderr, qFormatLogMessage(type, context, message) + QLatin1Char('\n'));
}

void holdWhileStarting(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type != QtFatalMsg) {
        heldMessages.append({type, QByteArray(context.category), message});
        return;
    }
    for (const auto &[heldType, category, text] : std::as_const(heldMessages)) {
        if (category != "qt.qpa.plugin")
            passOn(heldType, category.constData(), text);
    }
    std::fputs(kNoDisplay, stderr);
    std::fflush(stderr);
    std::_Exit(2);
}

void releaseMessages()
{
    qInstallMessageHandler(previousHandler);
    for (const auto &[type, category, text] : std::as_const(heldMessages))
        passOn(type, category.constData(), text);
    heldMessages.clear();
}

// What the command line asks for other than the window: an exit code once
// answered. Before the application exists (`final` false), an option the
// window does not know may be one of Qt's, which the application takes out;
// the second reading, of what is left, refuses it. Without a display there
// will be no application, so a name that is not Qt's is refused at once.
std::optional<int> answerCommandLine(const QStringList &arguments,
                                     const cli::Definition &definition, bool final)
{
    const QString version = QStringLiteral(CORVANEL_VERSION);
    // The build asks for the man page and the completion script this way.
    if (const auto file = cli::generatedFile(arguments, definition, version)) {
        print(stdout, *file);
        return 0;
    }
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    cli::addOptions(parser, definition);
    const bool parsed = parser.parse(arguments);
    if (parsed && parser.isSet(QStringLiteral("help"))) {
        print(stdout, cli::helpText(definition));
        return 0;
    }
    if (parsed && parser.isSet(QStringLiteral("version"))) {
        print(stdout, QStringLiteral("%1 %2\n").arg(definition.program, version));
        return 0;
    }
    QString error;
    if (parsed && !parser.positionalArguments().isEmpty()) {
        error = QStringLiteral("unexpected argument \"%1\"").arg(parser.positionalArguments()[0]);
    } else if (!parsed) {
        const QStringList unknown = parser.unknownOptionNames();
        const auto notQt = [](const QString &name) { return !qtOptionNames().contains(name); };
        const auto refused = final ? unknown.cbegin()
                             : displayPossible(arguments)
                                 ? unknown.cend()
                                 : std::find_if(unknown.cbegin(), unknown.cend(), notQt);
        if (refused != unknown.cend()) {
            error = QStringLiteral("Unknown option '%1'.").arg(*refused);
            if (const QString close = cli::closestOption(*refused, definition); !close.isEmpty())
                error += QStringLiteral(" Did you mean --%1?").arg(close);
        } else if (unknown.isEmpty()) {
            error = cli::parseError(parser, definition);
        }
    }
    if (error.isEmpty())
        return std::nullopt;
    QString usage;
    for (qsizetype i = 0; i < definition.usage.size(); ++i)
        usage += (i == 0 ? QStringLiteral("Usage: ") : QStringLiteral("       ")) +
                 definition.program + QLatin1Char(' ') + definition.usage[i] + QLatin1Char('\n');
    print(stderr,
          QStringLiteral("%1: %2\n%3Try '%1 --help'.\n").arg(definition.program, error, usage));
    return 2;
}

QStringList argumentList(int argc, char *argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    return arguments;
}

} // namespace

int main(int argc, char *argv[])
{
    // --help, --version and usage errors need no display, so they come before
    // the application; so does the want of a display, which Qt would answer
    // with an abort.
    const cli::Definition definition = windowCommandLine();
    const QStringList arguments = argumentList(argc, argv);
    if (const auto code = answerCommandLine(arguments, definition, false))
        return *code;
    if (!displayPossible(arguments)) {
        std::fputs(kNoDisplay, stderr);
        return 2;
    }

    previousHandler = qInstallMessageHandler(holdWhileStarting);
    QApplication app(argc, argv);
    releaseMessages();
    QApplication::setApplicationName(QString(corvanel::kProductName));
    QApplication::setApplicationVersion(QStringLiteral(CORVANEL_VERSION));
    // Desktops match the window to its installed entry and icon by this name.
    QGuiApplication::setDesktopFileName(QStringLiteral(CORVANEL_APP_ID));
    if (const auto code = answerCommandLine(QApplication::arguments(), definition, true))
        return *code;

    corvanel::MainWindow window;
    window.StartWindow(); // the load event, before the window is seen
    window.show();
    return QApplication::exec();
}
