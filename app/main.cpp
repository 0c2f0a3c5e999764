#include "app/ekgunit2.h"
#include "app/tapplication.h"

#include <exception>

int main(int argc, char* argv[])
{
    // Outside the guard: without the application object there is nothing to
    // show an error with.
    TApplication Application(argc, argv);
    try {
        Application.setApplicationDisplayName(QStringLiteral("EKG Demo using QUOR"));
        // Lets a desktop match the window to the menu entry and its icon.
        Application.setDesktopFileName(QStringLiteral("ekgdemo"));
        Application.setWindowIcon(TApplication::ProgramIcon());
        TForm1 Form1;
        Form1.show();
        Application.exec();
    } catch (const std::exception& error) {
        Application.ShowException(error);
    }
    return 0;
}
