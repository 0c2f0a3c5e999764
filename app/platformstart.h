#pragma once

#include <QString>

// Qt opens the display while it builds the application object, and when it
// cannot, it aborts with a core dump after several lines that suggest
// reinstalling the program. While a PlatformStart is open, that end becomes one
// line on standard error and exit status 1 instead. Qt's other messages are
// held meanwhile: a failed start shows none of them, an open one passes them on.
class PlatformStart
{
public:
    // `failure` is the whole line shown if no platform can be opened.
    explicit PlatformStart(const QString& failure);
    ~PlatformStart();
    PlatformStart(const PlatformStart&) = delete;
    PlatformStart& operator=(const PlatformStart&) = delete;

    // The platform is open: Qt's own message handling is back (a fatal
    // message aborts again) and the held messages go out through it.
    void Opened();

private:
    bool holding_ = true;
};

// What could not be opened, for the failure line: the display of each platform
// in `platforms` (Qt's list, "wayland;xcb"), in the order Qt tries them. With
// no list, Qt tries Wayland when a Wayland display is named, then X.
QString DisplayFailure(const QString& platforms, const QString& xDisplay, const QString& waylandDisplay);
