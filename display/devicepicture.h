#pragma once

#include <QImage>
#include <QSize>

#include <cstdint>
#include <utility>
#include <vector>

// The screen's picture as a scaled screen shows it: spread over a larger grid
// of device pixels, each device pixel showing the picture pixels it covers,
// each in proportion to the part of it that they cover (a box filter). A
// picture pixel so gives the same light wherever it falls: at 125 % a
// one-pixel line lights one device column fully and the next a quarter, or
// two columns a half and three quarters, never one column here and two there.
// At a whole ratio each picture pixel becomes a block of whole device pixels.
class DevicePicture
{
public:
    // Changes are noted in parts of this many picture columns.
    static constexpr int kPartWidth = 4;

    // picture, an RGB32 image, spread over size device pixels, which must be
    // at least as many as the picture's along each side.
    DevicePicture(const QImage& picture, QSize size);

    QSize PictureSize() const { return pictureSize_; }
    const QImage& Image() const { return image_; }

    // Notes that pixels first .. end - 1 of picture row `row` have changed.
    void MarkChanged(int row, int first, int end);
    // Spreads what was noted as changed again, from the picture as it is now.
    void Update(const QImage& picture);
    // Spreads the whole picture again.
    void UpdateAll(const QImage& picture);

private:
    // A device pixel covers at most two picture pixels along a side: `first`
    // with `weight` 256ths of it, and `second` with the rest.
    struct Cover
    {
        int first = 0;
        int second = 0;
        std::uint32_t weight = 0;
    };
    static std::vector<Cover> Covers(int pictureLength, int deviceLength);

    template <typename Run>
    void ForEachPartRun(const std::uint64_t* bits, Run run) const;

    QSize pictureSize_;
    std::vector<Cover> columns_;
    std::vector<Cover> rows_;
    // Each picture row spread across the device columns; the device rows are
    // blended from these.
    std::vector<QRgb> spread_;
    QImage image_;

    // The parts of each picture row noted as changed, one bit each, and the
    // device columns that each part covers.
    int partsPerRow_ = 0;
    int wordsPerRow_ = 0;
    std::vector<std::uint64_t> changedParts_;
    std::vector<std::pair<int, int>> partColumns_;
};
