#include "display/ximage3.h"

#include <QPaintEvent>
#include <QPainter>

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstring>

namespace {

// Pixels first .. end - 1 of a row, through the colour table.
void ConvertSpan(const std::uint8_t* source, int first, int end, const QRgb* colours, QRgb* target)
{
    for (int x = first; x < end; ++x)
        target[x] = colours[source[x]];
}

// Only the parts of a changed span that did change: a fade dims a few
// stretches of trail along a row, which the span joins up.
void MarkChangedParts(DevicePicture& device, int row, const std::uint8_t* source, const std::uint8_t* shown,
                      int first, int end, int width)
{
    constexpr int kPart = DevicePicture::kPartWidth;
    for (int x = first - first % kPart; x < end; x += kPart) {
        const int partEnd = std::min(x + kPart, width);
        // A whole part is compared as one word.
        const bool changed = partEnd - x == kPart ? std::memcmp(source + x, shown + x, kPart) != 0
                                                  : !std::equal(source + x, source + partEnd, shown + x);
        if (changed)
            device.MarkChanged(row, x, partEnd);
    }
}

// The device pixels that an area of size at the widget's top-left corner
// covers, under the painter's transform to device pixels: those whose centres
// lie inside it. That is how Qt clips a widget whose edges fall between device
// pixels, as the screen's left edge does at 125 % (x 50 is device x 62.5).
QRect CoveredDevicePixels(const QTransform& toDevice, QSize size)
{
    const QPoint topLeft = toDevice.map(QPointF(0, 0)).toPoint();
    const QPoint end = toDevice.map(QPointF(size.width(), size.height())).toPoint();
    return QRect(topLeft, end - QPoint(1, 1));
}

}  // namespace

// The set-up gives a size in three steps (height, width, then both again
// through ResizeBmp): only a change makes a new picture, and a picture
// without pixels takes no memory, so the pixels are allocated once.
void TXBitmap::SetHeight(int height)
{
    if (height == height_)
        return;
    height_ = height;
    reallocate();
}

void TXBitmap::SetWidth(int width)
{
    if (width == width_)
        return;
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
    // Row 0 is the bottom row on screen.
    auto targetRow = [&](int y) { return reinterpret_cast<QRgb*>(picture_.scanLine(height - 1 - y)); };

    // A new size or new colours change the whole picture.
    const bool resized = picture_.width() != width || picture_.height() != height;
    if (resized || shownColours_ != bitmap.colourTable) {
        if (resized)
            picture_ = QImage(width, height, QImage::Format_RGB32);
        shownColours_ = bitmap.colourTable;
        shownPixels_.resize(std::size_t(width) * std::size_t(height));
        for (int y = 0; y < height; ++y) {
            std::copy_n(bitmap.Row(y), width, shownPixels_.begin() + std::ptrdiff_t(y) * width);
            ConvertSpan(bitmap.Row(y), 0, width, shownColours_.data(), targetRow(y));
        }
        if (resized)
            devicePicture_.reset();
        else if (devicePicture_)
            devicePicture_->UpdateAll(picture_);
        update();
        return;
    }

    // Otherwise only what differs from the last Draw is converted and
    // repainted: between two Draws of a sweep that is a few columns of new
    // trace, or the rows a fade has dimmed.
    QRect changed;
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* source = bitmap.Row(y);
        std::uint8_t* shown = shownPixels_.data() + std::ptrdiff_t(y) * width;
        if (std::equal(source, source + width, shown))
            continue;
        int first = 0;
        while (source[first] == shown[first])
            ++first;
        int end = width;
        while (source[end - 1] == shown[end - 1])
            --end;
        ConvertSpan(source, first, end, shownColours_.data(), targetRow(y));
        if (devicePicture_)
            MarkChangedParts(*devicePicture_, height - 1 - y, source, shown, first, end, width);
        std::copy(source + first, source + end, shown + first);
        changed |= QRect(first, height - 1 - y, end - first, 1);
    }
    if (changed.isEmpty())
        return;
    if (devicePicture_)
        devicePicture_->Update(picture_);
    // Enlarged by a fraction, a picture pixel's light reaches into device
    // pixels that Qt counts to its neighbours: two device pixels at most,
    // fewer than two picture pixels.
    const qreal ratio = devicePixelRatioF();
    if (ratio > 1 && ratio != std::floor(ratio))
        changed.adjust(-2, -2, 2, 2);
    update(changed);
}

void TXImage3::paintEvent(QPaintEvent* event)
{
    QPainter painter(this);
    // The widget is opaque: what the picture does not cover, all of it before
    // the first Draw, would show whatever memory was there.
    if (!picture_.rect().contains(event->rect()))
        painter.fillRect(event->rect(), palette().window());
    if (picture_.isNull())
        return;
    // Enlarged, the picture is spread over the device pixels it covers. At
    // 100 %, or on a screen scaled below it, Qt copies its pixels.
    const QTransform toDevice = painter.deviceTransform();
    const QRect covered = CoveredDevicePixels(toDevice, picture_.size());
    if (toDevice.isScaling() && covered.width() >= picture_.width() && covered.height() >= picture_.height()) {
        paintSpread(painter, event->rect(), covered);
        return;
    }
    // The picture's pixels are the widget's: only the part asked for is
    // copied, and Draw need keep no device picture up to date.
    devicePicture_.reset();
    painter.drawImage(event->rect(), picture_, event->rect());
}

// The picture spread over the device pixels it covers, its edges on theirs, so
// that no picture pixel gives any of its light outside them, and copied one
// to one where asked.
void TXImage3::paintSpread(QPainter& painter, const QRect& area, const QRect& covered)
{
    if (!devicePicture_ || devicePicture_->PictureSize() != picture_.size()
        || devicePicture_->Image().size() != covered.size())
        devicePicture_.emplace(picture_, covered.size());
    const QTransform toDevice = painter.deviceTransform();
    const QRect asked = toDevice.mapRect(QRectF(area)).toAlignedRect().translated(-covered.topLeft());
    const QRect part = asked & devicePicture_->Image().rect();
    painter.setWorldTransform(toDevice.inverted());
    painter.drawImage(part.topLeft() + covered.topLeft(), devicePicture_->Image(), part);
}
