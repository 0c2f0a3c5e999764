#include "display/screensetup.h"

#include "display/ximage3.h"

namespace {

using ecg::kScreenHeight;
using ecg::kScreenWidth;

void SetEntry(TXImage3& xmg, int index, int blue, int green, int red)
{
    xmg.Palette[index] = TPaletteEntry{std::uint8_t(blue), std::uint8_t(green), std::uint8_t(red), 0};
}

// Pixel values form brightness bands that the fades step down through; each
// band starts with a black entry, so a pixel at its band's base already looks
// like background before the next fade sets it to 0.
void FillPalette(TXImage3& xmg)
{
    for (int k = 0; k < 64; ++k)  // yellow, the trace's band
        SetEntry(xmg, 128 + k, 0, 4 * k, 4 * k);
    for (int k = 0; k < 32; ++k)  // blue
        SetEntry(xmg, 96 + k, 8 * k, 0, 0);
    SetEntry(xmg, 0, 0, 0, 0);        // background
    SetEntry(xmg, 2, 0, 128, 0);      // grid, dark green
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
