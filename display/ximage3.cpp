#include "display/ximage3.h"

#include <QPainter>

#include <cassert>

void TXBitmap::SetHeight(int height)
{
    height_ = height;
    reallocate();
}

void TXBitmap::SetWidth(int width)
{
    width_ = width;
    reallocate();
}

void TXBitmap::reallocate()
{
    assert(height_ >= 0 && width_ >= 0);
    pixels_.assign(std::size_t(height_) * std::size_t(width_), 0);
    rows_.resize(std::size_t(height_));
    for (int y = 0; y < height_; ++y)
        rows_[y] = pixels_.data() + std::size_t(y) * std::size_t(width_);
}

TXImage3::TXImage3(QWidget* parent)
    : QWidget(parent)
{
    // The picture covers the whole widget; nothing behind it needs painting.
    setAttribute(Qt::WA_OpaquePaintEvent);
    // Both bitmaps start with the start palette, all black.
    AssignPalette(0);
    AssignPalette(1);
}

void TXImage3::AssignPalette(int index)
{
    std::array<QRgb, 256>& colours = bmp.at(index).colourTable;
    for (std::size_t i = 0; i < colours.size(); ++i)
        colours[i] = qRgb(Palette[i].Red, Palette[i].Green, Palette[i].Blue);
}

void TXImage3::ResizeBmp(int index, int width, int height)
{
    TXBitmap& bitmap = bmp.at(index);
    bitmap.SetWidth(width);
    bitmap.SetHeight(height);
}

void TXImage3::Draw()
{
    const TXBitmap& bitmap = bmp[0];
    const int width = bitmap.Width();
    const int height = bitmap.Height();
    if (picture_.width() != width || picture_.height() != height)
        picture_ = QImage(width, height, QImage::Format_RGB32);

    // One pass through the colour table into a picture kept from call to call;
    // row 0 is the bottom row on screen.
    const QRgb* colours = bitmap.colourTable.data();
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* source = bitmap.Row(y);
        auto* target = reinterpret_cast<QRgb*>(picture_.scanLine(height - 1 - y));
        for (int x = 0; x < width; ++x)
            target[x] = colours[source[x]];
    }
    update();
}

void TXImage3::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    // On a scaled screen each picture pixel becomes a block of whole device
    // pixels, never a blend of its neighbours.
    painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
    painter.drawImage(QPoint(0, 0), picture_);
}
