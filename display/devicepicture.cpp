#include "display/devicepicture.h"

#include <algorithm>
#include <bit>
#include <cassert>
#include <functional>

namespace {

// weight 256ths of each byte of one row and the rest of the other's, rounded
// to the nearest: a plain loop over bytes, which the compiler turns into
// vector code. A colour's bytes are its channels.
void BlendRows(const std::uint8_t* one, const std::uint8_t* other, std::uint32_t weight, std::uint8_t* out,
               std::size_t count)
{
    const std::uint32_t rest = 256 - weight;
    for (std::size_t i = 0; i < count; ++i)
        out[i] = std::uint8_t((128 + one[i] * weight + other[i] * rest) >> 8);
}

// The same for one pair of colours, which a loop over their four bytes would
// make several times slower: red and blue are summed side by side in one
// word, green in another, each channel's sum staying below 256 * 256.
QRgb Blend(QRgb one, QRgb other, std::uint32_t weight)
{
    const std::uint32_t rest = 256 - weight;
    const std::uint32_t redBlue = 0x00800080u + (one & 0x00ff00ffu) * weight + (other & 0x00ff00ffu) * rest;
    const std::uint32_t green = 0x00008000u + (one & 0x0000ff00u) * weight + (other & 0x0000ff00u) * rest;
    return 0xff000000u | ((redBlue >> 8) & 0x00ff00ffu) | ((green >> 8) & 0x0000ff00u);
}

// The device pixels that picture pixels first .. end - 1 cover, wholly or in
// part, along a side of pictureLength picture and deviceLength device pixels.
std::pair<int, int> Covering(int first, int end, int pictureLength, int deviceLength)
{
    const auto scaled = [&](int i) { return std::int64_t(i) * deviceLength; };
    return {int(scaled(first) / pictureLength), int((scaled(end) + pictureLength - 1) / pictureLength)};
}

// The first part from `from` on whose bit is `set`, else `count`.
int FindPart(const std::uint64_t* bits, int from, int count, bool set)
{
    while (from < count) {
        const std::uint64_t word = (bits[from / 64] ^ (set ? 0 : ~std::uint64_t(0))) >> (from % 64);
        if (word != 0)
            return std::min(count, from + std::countr_zero(word));
        from += 64 - from % 64;
    }
    return count;
}

}  // namespace

DevicePicture::DevicePicture(const QImage& picture, QSize size)
    : pictureSize_(picture.size())
    , columns_(Covers(picture.width(), size.width()))
    , rows_(Covers(picture.height(), size.height()))
    , spread_(std::size_t(size.width()) * std::size_t(picture.height()))
    , image_(size, QImage::Format_RGB32)
    , partsPerRow_((picture.width() + kPartWidth - 1) / kPartWidth)
    , wordsPerRow_((partsPerRow_ + 63) / 64)
    , changedParts_(std::size_t(wordsPerRow_) * std::size_t(picture.height()))
{
    for (int part = 0; part < partsPerRow_; ++part) {
        const int end = std::min((part + 1) * kPartWidth, picture.width());
        partColumns_.push_back(Covering(part * kPartWidth, end, picture.width(), size.width()));
    }
    UpdateAll(picture);
}

// Measured in 1/deviceLength of a picture pixel, device pixel j covers
// [j * pictureLength, (j + 1) * pictureLength) and picture pixel i covers
// [i * deviceLength, (i + 1) * deviceLength), so the overlaps are whole numbers.
std::vector<DevicePicture::Cover> DevicePicture::Covers(int pictureLength, int deviceLength)
{
    assert(pictureLength > 0 && deviceLength >= pictureLength);
    std::vector<Cover> covers(static_cast<std::size_t>(deviceLength));
    for (int j = 0; j < deviceLength; ++j) {
        const std::int64_t start = std::int64_t(j) * pictureLength;
        const std::int64_t end = start + pictureLength;
        Cover& cover = covers[std::size_t(j)];
        cover.first = int(start / deviceLength);
        cover.second = std::min(cover.first + 1, pictureLength - 1);
        const std::int64_t overlap = std::min(end, std::int64_t(cover.first + 1) * deviceLength) - start;
        cover.weight = std::uint32_t((overlap * 256 + pictureLength / 2) / pictureLength);
    }
    return covers;
}

void DevicePicture::MarkChanged(int row, int first, int end)
{
    assert(row >= 0 && row < pictureSize_.height() && first >= 0 && first < end && end <= pictureSize_.width());
    std::uint64_t* bits = changedParts_.data() + std::ptrdiff_t(row) * wordsPerRow_;
    for (int part = first / kPartWidth; part <= (end - 1) / kPartWidth; ++part)
        bits[part / 64] |= std::uint64_t(1) << (part % 64);
}

void DevicePicture::UpdateAll(const QImage& picture)
{
    for (int row = 0; row < pictureSize_.height(); ++row)
        MarkChanged(row, 0, pictureSize_.width());
    Update(picture);
}

// First each changed part of a picture row is spread across its device
// columns again, then each device row that covers a changed part is blended
// again from the spread rows. Enlarging, most device columns lie inside one
// picture column and most device rows inside one picture row: those take its
// colours as they are.
void DevicePicture::Update(const QImage& picture)
{
    assert(picture.size() == pictureSize_ && picture.format() == QImage::Format_RGB32);
    const int width = image_.width();
    for (int row = 0; row < pictureSize_.height(); ++row) {
        const auto* source = reinterpret_cast<const QRgb*>(picture.constScanLine(row));
        QRgb* spread = spread_.data() + std::ptrdiff_t(row) * width;
        ForEachPartRun(changedParts_.data() + std::ptrdiff_t(row) * wordsPerRow_, [&](int left, int end) {
            for (int x = left; x < end; ++x) {
                const Cover& cover = columns_[std::size_t(x)];
                spread[x] = cover.weight == 256 ? source[cover.first]
                                                : Blend(source[cover.first], source[cover.second], cover.weight);
            }
        });
    }

    auto* device = reinterpret_cast<QRgb*>(image_.bits());
    std::vector<std::uint64_t> parts(static_cast<std::size_t>(wordsPerRow_));
    for (int y = 0; y < image_.height(); ++y) {
        const Cover& cover = rows_[std::size_t(y)];
        const std::uint64_t* first = changedParts_.data() + std::ptrdiff_t(cover.first) * wordsPerRow_;
        const std::uint64_t* second = changedParts_.data() + std::ptrdiff_t(cover.second) * wordsPerRow_;
        if (cover.weight == 256)
            std::copy_n(first, wordsPerRow_, parts.begin());
        else
            std::transform(first, first + wordsPerRow_, second, parts.begin(), std::bit_or<>());

        const QRgb* one = spread_.data() + std::ptrdiff_t(cover.first) * width;
        const QRgb* other = spread_.data() + std::ptrdiff_t(cover.second) * width;
        QRgb* target = device + std::ptrdiff_t(y) * width;
        ForEachPartRun(parts.data(), [&](int left, int end) {
            if (cover.weight == 256) {
                std::copy(one + left, one + end, target + left);
                return;
            }
            const auto bytes = [left](const QRgb* row) { return reinterpret_cast<const std::uint8_t*>(row + left); };
            BlendRows(bytes(one), bytes(other), cover.weight, reinterpret_cast<std::uint8_t*>(target + left),
                      std::size_t(end - left) * sizeof(QRgb));
        });
    }
    std::fill(changedParts_.begin(), changedParts_.end(), 0);
}

// Calls run(left, end) with the device columns of each run of parts whose
// bits are set.
template <typename Run>
void DevicePicture::ForEachPartRun(const std::uint64_t* bits, Run run) const
{
    for (int part = FindPart(bits, 0, partsPerRow_, true); part < partsPerRow_;) {
        const int end = FindPart(bits, part, partsPerRow_, false);
        run(partColumns_[std::size_t(part)].first, partColumns_[std::size_t(end - 1)].second);
        part = FindPart(bits, end, partsPerRow_, true);
    }
}
