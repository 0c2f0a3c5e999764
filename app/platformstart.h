#pragma once

#include <QString>

// Qt opens the display while it builds the application object, and when it
// cannot, it aborts with a core dump after several lines that suggest
// reinstalling the program. While a PlatformStart is open, that end becomes
// exit status 1 and a last line on standard error that names the real cause:
// the displays that could not be opened, alone on its line when that is all
// that failed; otherwise the platform plugin that is missing or cannot be
// loaded (and why), after the lines Qt gave. Qt's other messages are held
// meanwhile, and an open start passes them on.
class PlatformStart
{
public:
    // `program` begins the last line; the displays are those the command line
    // and the environment name, empty where none is.
    PlatformStart(const QString& program, const QString& xDisplay, const QString& waylandDisplay);
    ~PlatformStart();
    PlatformStart(const PlatformStart&) = delete;
    PlatformStart& operator=(const PlatformStart&) = delete;

    // The platform is open: Qt's own message and logging set-up is back (a
    // fatal message aborts again) and the held messages go out through it.
    void Opened();

private:
    bool holding_ = true;
};
