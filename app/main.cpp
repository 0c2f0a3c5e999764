#include "app/ekgunit2.h"
#include "app/tapplication.h"

#include <QCommandLineParser>
#include <QFileInfo>
#include <QStringList>

#include <cstdio>
#include <cstdlib>
#include <exception>

namespace {

// Exit status for a command line the program does not understand.
constexpr int kBadCommandLine = 2;

QStringList Arguments(int argc, char* argv[])
{
    QStringList arguments;
    for (int k = 0; k < argc; ++k)
        arguments << QString::fromLocal8Bit(argv[k]);
    return arguments;
}

// Whether Qt has somewhere to open the window: a display in the environment, a
// platform chosen there or by -platform, or an X display named by -display.
bool DisplayGiven(const QStringList& arguments)
{
    for (const char* variable : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        if (!qEnvironmentVariableIsEmpty(variable))
            return true;
    for (const QString& argument : arguments)
        for (const char* option : {"-platform", "--platform", "-display", "--display"})
            if (argument == QLatin1String(option))
                return true;
    return false;
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

    // --help and --version answer before there is an application object, so
    // they need no display. Qt's options are still in the list, hence no
    // error check yet.
    const QStringList arguments = Arguments(argc, argv);
    parser.parse(arguments);
    if (parser.isSet(help)) {
        // Without an application object the parser does not know our name.
        std::fputs(qPrintable(parser.helpText().replace(QStringLiteral("<executable_name>"), name)), stdout);
        return EXIT_SUCCESS;
    }
    if (parser.isSet(version)) {
        PrintLine(stdout, name + QStringLiteral(" " EKGDEMO_VERSION));
        return EXIT_SUCCESS;
    }
    // Qt would abort with a hint about reinstalling; one plain line says more.
    if (!DisplayGiven(arguments)) {
        PrintLine(stderr, name + QStringLiteral(": no display found (set DISPLAY or WAYLAND_DISPLAY,"
                                                " or choose a Qt platform with -platform)"));
        return EXIT_FAILURE;
    }

    // Outside the guard: without the application object there is nothing to
    // show an error with.
    TApplication Application(argc, argv);
    // The application object has taken Qt's options out; the rest must be ours.
    const bool understood = parser.parse(QCoreApplication::arguments());
    if (!understood || !parser.positionalArguments().isEmpty()) {
        const QString problem = understood
            ? QStringLiteral("Unexpected argument '%1'.").arg(parser.positionalArguments().constFirst())
            : parser.errorText();
        PrintLine(stderr, QStringLiteral("%1: %2 Try '%1 --help'.").arg(name, problem));
        return kBadCommandLine;
    }

    try {
        Application.setApplicationDisplayName(QStringLiteral("EKG Demo using QUOR"));
        // Lets a desktop match the window to the menu entry and its icon.
        Application.setDesktopFileName(name);
        Application.setWindowIcon(TApplication::ProgramIcon());
        TForm1 Form1;
        Form1.show();
        return Application.exec();
    } catch (const std::exception& error) {
        // The error ended the program, so the exit status says it failed.
        Application.ShowException(error);
        return EXIT_FAILURE;
    }
}
