#include "common/command_line.h"
#include "window/main_window.h"
#include "window/qt_prompts.h"

#include <QApplication>
#include <QCommandLineParser>

#include <cstdio>
#include <optional>

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
    };
    definition.exitCodes = {
        {QStringLiteral("0"), QStringLiteral("the window was closed")},
        {QStringLiteral("2"), QStringLiteral("bad usage")},
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

// What the command line asks for other than the window: an exit code once
// answered. Before the application exists (`final` false), a command line it
// cannot read may hold Qt's own options, which the application takes out; the
// second reading, of what is left, refuses it.
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
    QString error = cli::parseError(parser, definition);
    if (parsed && parser.isSet(QStringLiteral("help"))) {
        print(stdout, cli::helpText(definition));
        return 0;
    }
    if (parsed && parser.isSet(QStringLiteral("version"))) {
        print(stdout, QStringLiteral("%1 %2\n").arg(definition.program, version));
        return 0;
    }
    if (parsed && !parser.positionalArguments().isEmpty())
        error = QStringLiteral("unexpected argument \"%1\"").arg(parser.positionalArguments()[0]);
    else if (parsed || !final)
        return std::nullopt;
    print(stderr, QStringLiteral("%1: %2\nTry '%1 --help'.\n").arg(definition.program, error));
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
    // --help and --version need no display, so they come before the application.
    const cli::Definition definition = windowCommandLine();
    if (const auto code = answerCommandLine(argumentList(argc, argv), definition, false))
        return *code;

    QApplication app(argc, argv);
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
