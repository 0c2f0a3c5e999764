#pragma once

#include "display/devicepicture.h"

#include <QImage>
#include <QWidget>

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

class QPainter;

// One entry of the screen's palette table, in the byte order the table is filled in.
struct TPaletteEntry
{
    std::uint8_t Blue = 0;
    std::uint8_t Green = 0;
    std::uint8_t Red = 0;
    std::uint8_t Reserved = 0;
};

// An 8-bit palette bitmap: one block of Width() * Height() bytes whose rows lie
// exactly Width() bytes apart, with a row table in which row 0 is the bottom row
// of the picture. A new size gives a new, all-black (index 0) picture; the
// same size again keeps the picture.
class TXBitmap
{
public:
    TXBitmap() = default;
    // The row table points into the bitmap's own pixels: a copy's rows would
    // still point into the original's.
    TXBitmap(const TXBitmap&) = delete;
    TXBitmap& operator=(const TXBitmap&) = delete;

    int Height() const { return height_; }
    int Width() const { return width_; }
    void SetHeight(int height);
    void SetWidth(int width);

    // rows[y][x] is pixel (x, y); rows[0] is the start of the block.
    std::uint8_t* const* Rows() const { return rows_.data(); }
    const std::uint8_t* Row(int y) const { return rows_[y]; }

    // Colours of the 256 indexes, as assigned by TXImage3::AssignPalette.
    std::array<QRgb, 256> colourTable;

private:
    void reallocate();

    int height_ = 0;
    int width_ = 0;
    std::vector<std::uint8_t> pixels_;
    std::vector<std::uint8_t*> rows_;
};

// The monitor's screen: two palette bitmaps, of which bitmap 0 is shown. The
// program writes pixels of bitmap 0 through its row table and calls Draw() to
// put the picture on the screen as it is at that moment. Until the first
// Draw there is no picture, and the widget shows the window's face.
//
// On a scaled screen the picture fills the device pixels it covers, each
// picture pixel giving them its light in proportion to the area it covers
// (DevicePicture): whole blocks at 200 %, and at 125 % or 150 % every grid
// line as bright as the others.
class TXImage3 : public QWidget
{
    Q_OBJECT

public:
    explicit TXImage3(QWidget* parent = nullptr);

    std::array<TXBitmap, 2> bmp;

    // Filled by the program, then made a bitmap's colours by AssignPalette.
    std::array<TPaletteEntry, 256> Palette{};

    // Makes the palette table the colour table of bitmap index.
    void AssignPalette(int index);
    // Makes bitmap index width by height; its colours stay as assigned.
    void ResizeBmp(int index, int width, int height);
    // Row table of bitmap 0.
    std::uint8_t* const* rows() const { return bmp[0].Rows(); }

    // Copies bitmap 0 onto the screen at (0, 0), one to one; it shows when the
    // window next processes its events.
    void Draw();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void paintSpread(QPainter& painter, const QRect& area, const QRect& covered);

    // The picture as converted and shown by the last Draw, and its colours.
    QImage picture_;
    std::vector<std::uint8_t> shownPixels_;
    std::array<QRgb, 256> shownColours_{};

    // On a scaled screen, from its first paint there: the picture in device
    // pixels, which each Draw brings up to date where the picture changed.
    std::optional<DevicePicture> devicePicture_;
};
