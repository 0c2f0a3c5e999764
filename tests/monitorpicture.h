#pragma once

// What the monitor's window should show, for the tests that look at it: the
// grid on the screen, the trace's colours, and the scale beside the screen.
// A picture here is of the window's client area; screen row 0 is the bottom
// row of the screen.

#include <QImage>
#include <QRect>
#include <QString>

#include <set>

namespace monitor {

inline const QRect kScreen(50, 20, 600, 200);
inline const std::set<int> kGridRows{0, 20, 40, 60, 80, 100, 119, 139, 159, 179, 199};
inline const std::set<int> kGridColumns{0,   30,  60,  90,  120, 150, 180, 210, 240, 270, 300,
                                        329, 359, 389, 419, 449, 479, 509, 539, 569, 599};
inline const QRgb kBlack = qRgb(0, 0, 0);
inline const QRgb kGridGreen = qRgb(0, 128, 0);

inline QRgb ScreenPixel(const QImage& window, int x, int row)
{
    return window.pixel(kScreen.left() + x, kScreen.bottom() - row);
}

inline bool OnGrid(int x, int row)
{
    return kGridRows.count(row) || kGridColumns.count(x);
}

// The trace's band, black at its base: red = green = 4k, no blue.
inline bool InYellowBand(QRgb pixel)
{
    return qRed(pixel) == qGreen(pixel) && qBlue(pixel) == 0 && qRed(pixel) % 4 == 0;
}

inline bool IsDark(QRgb pixel)
{
    return qGray(pixel) < 128;
}

inline QString DescribePixel(int x, int row, QRgb pixel)
{
    return QStringLiteral("screen pixel (%1, row %2) is #%3").arg(x).arg(row).arg(pixel & 0xffffff, 6, 16, QChar('0'));
}

// Empty when the screen shows the grid and nothing else; else the first pixel
// that differs.
inline QString GridFault(const QImage& window)
{
    for (int row = 0; row < kScreen.height(); ++row) {
        for (int x = 0; x < kScreen.width(); ++x) {
            const QRgb pixel = ScreenPixel(window, x, row);
            if (pixel != (OnGrid(x, row) ? kGridGreen : kBlack))
                return DescribePixel(x, row, pixel);
        }
    }
    return {};
}

// Empty when the scale stands beside the screen: the axis at x 40 from y 220
// up to y 21, ticks ending at x 40 (major ones every 40 px from x 30, minor
// ones every 10 px from x 34), a label at each major tick, and the window's
// face just past every line's end, which a line never paints.
inline QString ScaleFault(const QImage& window)
{
    const QRgb face = window.pixel(1, 1);
    auto fault = [](const char* what, int x, int y) { return QStringLiteral("%1 at (%2, %3)").arg(what).arg(x).arg(y); };
    for (int y = 21; y <= 220; ++y) {
        if (!IsDark(window.pixel(40, y)))
            return fault("no axis", 40, y);
    }
    if (window.pixel(40, 221) != face)
        return fault("axis too long", 40, 221);
    for (int y = 20; y <= 220; y += 10) {
        const bool major = (y - 20) % 40 == 0;
        for (int x = major ? 30 : 34; x <= 40; ++x) {
            if (!IsDark(window.pixel(x, y)))
                return fault("no tick", x, y);
        }
        if (window.pixel(41, y) != face)
            return fault("tick too long", 41, y);
        if (!major && window.pixel(33, y) != face)
            return fault("minor tick too long", 33, y);
    }
    for (int y = 15; y <= 215; y += 40) {
        bool inked = false;
        for (int x = 6; x < 30; ++x)
            for (int dy = 0; dy < 13; ++dy)
                inked = inked || IsDark(window.pixel(x, y + dy));
        if (!inked)
            return fault("no label", 6, y);
    }
    return {};
}

}  // namespace monitor
