#include "app/ekgunit2.h"
#include "app/platformstart.h"
#include "app/tapplication.h"

#include <QCommandLineParser>
#include <QStringList>

#include <cstdio>
#include <cstdlib>
#include <exception>

namespace {

// Exit status for a command line the program does not understand.
constexpr int kBadCommandLine = 2;

// The options Qt 6.4 takes out of the command line itself, those with a value
// and those without; from "display" and from "nograb" on, only on X. Known to
// our parser too, so that it judges the command line before the application
// object opens a display. Kept out of --help, which points to the manual page.
constexpr const char* kQtValueOptions[] = {
    "platform", "platformpluginpath", "platformtheme", "plugin", "qwindowgeometry", "qwindowicon",
    "qwindowtitle", "session", "style", "stylesheet", "qmljsdebugger",
    "display", "geometry", "title", "icon", "name", "visual",
};
constexpr const char* kQtFlagOptions[] = {"reverse", "widgetcount", "testability", "nograb", "dograb"};

void AddQtOptions(QCommandLineParser& parser)
{
    const auto add = [&parser](const char* name, const QString& valueName) {
        QCommandLineOption option(QString::fromLatin1(name), QString(), valueName);
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    };
    for (const char* name : kQtValueOptions)
        add(name, QStringLiteral("value"));
    for (const char* name : kQtFlagOptions)
        add(name, QString());
}

QStringList Arguments(int argc, char* argv[])
{
    QStringList arguments;
    for (int k = 0; k < argc; ++k)
        arguments << QString::fromLocal8Bit(argv[k]);
    return arguments;
}

// The option's value, else the environment variable's; Qt gives the option
// precedence too.
QString OptionOrVariable(const QCommandLineParser& parser, const char* option, const char* variable)
{
    const QString value = parser.value(QString::fromLatin1(option));
    return value.isEmpty() ? qEnvironmentVariable(variable) : value;
}

void PrintLine(std::FILE* stream, const QString& text)
{
    std::fprintf(stream, "%s\n", qPrintable(text));
}

}  // namespace

int main(int argc, char* argv[])
{
    const QString name = QStringLiteral("ekgdemo");
    QCommandLineParser parser;
    // Qt's own options are single-dash words (-platform, -style), and so are ours.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setApplicationDescription(
        QStringLiteral("Shows a simulated electrocardiogram on an oscilloscope-style screen.\n"
                       "Qt's own options, such as -platform and -style, work too; see ekgdemo(1)."));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Shows this help and exits."));
    const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")},
                                     QStringLiteral("Shows the program's version and exits."));
    parser.addOption(help);
    parser.addOption(version);
    AddQtOptions(parser);

    // --help and --version answer before there is an application object, so
    // they need no display. A Qt option left without its value is no error:
    // Qt ignores it as well.
    parser.parse(Arguments(argc, argv));
    if (parser.isSet(help)) {
        // Without an application object the parser does not know our name.
        std::fputs(qPrintable(parser.helpText().replace(QStringLiteral("<executable_name>"), name)), stdout);
        return EXIT_SUCCESS;
    }
    if (parser.isSet(version)) {
        PrintLine(stdout, name + QStringLiteral(" " EKGDEMO_VERSION));
        return EXIT_SUCCESS;
    }
    const QStringList unknown = parser.unknownOptionNames();
    if (!unknown.isEmpty() || !parser.positionalArguments().isEmpty()) {
        const QString problem = unknown.isEmpty()
            ? QStringLiteral("Unexpected argument '%1'.").arg(parser.positionalArguments().constFirst())
            : QStringLiteral("Unknown option '%1'.").arg(unknown.constFirst());
        PrintLine(stderr, QStringLiteral("%1: %2 Try '%1 --help'.").arg(name, problem));
        return kBadCommandLine;
    }

    const QString platforms = OptionOrVariable(parser, "platform", "QT_QPA_PLATFORM");
    const QString xDisplay = OptionOrVariable(parser, "display", "DISPLAY");
    const QString waylandDisplay = qEnvironmentVariable("WAYLAND_DISPLAY");
    // Qt would abort with a hint about reinstalling; one plain line says more.
    if (platforms.isEmpty() && xDisplay.isEmpty() && waylandDisplay.isEmpty()) {
        PrintLine(stderr, name + QStringLiteral(": no display found (set DISPLAY or WAYLAND_DISPLAY,"
                                                " or choose a Qt platform with -platform)"));
        return EXIT_FAILURE;
    }

    // The application object is built outside the exception guard below:
    // without it there is nothing to show an error with.
    PlatformStart platformStart(name, xDisplay, waylandDisplay);
    TApplication Application(argc, argv);
    platformStart.Opened();

    try {
        // Lets a desktop match the window to the menu entry and its icon.
        Application.setDesktopFileName(name);
        TForm1 Form1;
        Form1.show();
        return Application.exec();
    } catch (const std::exception& error) {
        // The error ended the program, so the exit status says it failed.
        Application.ShowException(error);
        return EXIT_FAILURE;
    }
}
