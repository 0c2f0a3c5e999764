#pragma once

#include <QApplication>
#include <QIcon>

#include <exception>

// The program's application object: a QApplication that never lets an
// exception unwind through Qt's event loop. An exception that escapes an event
// handler is shown to the user and the program goes on.
class TApplication : public QApplication
{
public:
    TApplication(int& argc, char** argv);

    bool notify(QObject* receiver, QEvent* event) override;

    // Shows the exception's message in a message box titled with the program's
    // name. The box runs its own event loop, where a paint or a timer may fail
    // again: such an error goes to standard error, never into a second box.
    void ShowException(const std::exception& error);

    // The beta mark in every size the build rendered, from the program's resources.
    static QIcon ProgramIcon();

private:
    bool showingException_ = false;
};
