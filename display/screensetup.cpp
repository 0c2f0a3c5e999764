#include "display/screensetup.h"

#include "display/ximage3.h"

namespace {

using ecg::kScreenHeight;
using ecg::kScreenWidth;

// The trace's band: black at its base up to the trace's own colour at its
// top, the 64 levels FadeBmp64 steps a pixel down through, counted in the
// pixel's low six bits. The blue band is FadeBmp32's, 32 levels.
constexpr int kTraceBandBase = 128;
constexpr int kTraceBandLevels = 64;
static_assert(ecg::kTraceColour == kTraceBandBase + kTraceBandLevels - 1, "the trace is its band's brightest level");
static_assert(kTraceBandBase % kTraceBandLevels == 0, "the band starts where the low six bits are 0");
constexpr int kBlueBandBase = 96;
constexpr int kBlueBandLevels = 32;
static_assert(kBlueBandBase % kBlueBandLevels == 0, "the band starts where the low five bits are 0");

void SetEntry(TXImage3& xmg, int index, int blue, int green, int red)
{
    xmg.Palette[index] = TPaletteEntry{std::uint8_t(blue), std::uint8_t(green), std::uint8_t(red), 0};
}

// Pixel values form brightness bands that the fades step down through; each
// band starts with a black entry, so a pixel at its band's base already looks
// like background before the next fade sets it to 0.
void FillPalette(TXImage3& xmg)
{
    for (int k = 0; k < kTraceBandLevels; ++k)  // yellow
        SetEntry(xmg, kTraceBandBase + k, 0, 4 * k, 4 * k);
    for (int k = 0; k < kBlueBandLevels; ++k)  // blue
        SetEntry(xmg, kBlueBandBase + k, 8 * k, 0, 0);
    SetEntry(xmg, 0, 0, 0, 0);        // background
    SetEntry(xmg, ecg::kGridColour, 0, 128, 0);  // the grid's dark green
    SetEntry(xmg, 8, 128, 128, 128);  // grey
    SetEntry(xmg, 10, 0, 255, 0);     // bright green
    SetEntry(xmg, 11, 0, 255, 255);   // yellow
    SetEntry(xmg, 12, 255, 0, 0);     // blue
    SetEntry(xmg, 14, 255, 255, 0);   // aqua
    SetEntry(xmg, 15, 255, 255, 255); // white
}

}  // namespace

void SetUpScreen(TXImage3& xmg)
{
    xmg.setGeometry(kScreenLeft, kScreenTop, kScreenWidth, kScreenHeight);

    for (TXBitmap& bitmap : xmg.bmp) {
        bitmap.SetHeight(kScreenHeight);
        bitmap.SetWidth(kScreenWidth);
    }

    FillPalette(xmg);
    xmg.AssignPalette(0);
    xmg.ResizeBmp(0, kScreenWidth, kScreenHeight);
    xmg.AssignPalette(1);
    xmg.ResizeBmp(1, kScreenWidth, kScreenHeight);

    xmg.Draw();
}
