#include "raster/raster.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <random>
#include <set>
#include <utility>
#include <vector>

using namespace raster;

namespace {

using Pixels = std::vector<std::uint8_t>;

constexpr std::uint8_t kGuard = 0xA5;

enum class Layout { BottomUp, TopDown };

// A picture in one block with a guard row (and then some) on each side, and a
// row table over it. The block starts misalignment bytes past a cache-line
// boundary. BottomUp is the program's layout: rows[0] is the block's first row.
// TopDown puts rows[0] at the block's last row, so the stride is negative. The
// table has one entry past the top row, pointing into a guard, so that a line
// drawn one row too high is caught rather than undefined.
class Canvas {
public:
    Canvas(int height, int width, std::uint8_t background, Layout layout = Layout::BottomUp,
           std::size_t misalignment = 0)
        : height_(height), width_(width), size_(std::size_t(height) * std::size_t(width)),
          memory_(size_ + 2 * (std::size_t(width) + 128), kGuard)
    {
        const auto address = reinterpret_cast<std::uintptr_t>(memory_.data()) + width + 64;
        start_ = width + 64 + (misalignment + 64 - address % 64) % 64;
        std::uint8_t* const block = memory_.data() + start_;
        std::fill_n(block, size_, background);
        for (int y = 0; y <= height; ++y) {
            const int blockRow = layout == Layout::BottomUp ? y : height - 1 - y;
            rows_.push_back(block + std::ptrdiff_t(blockRow) * width);
        }
    }

    std::uint8_t* const* rows() const { return rows_.data(); }
    int width() const { return width_; }
    std::uint8_t& at(int x, int y) { return rows_[y][x]; }

    // The pixels in coordinate order, row 0 first, whatever the layout.
    Pixels picture() const
    {
        Pixels pixels;
        for (int y = 0; y < height_; ++y)
            pixels.insert(pixels.end(), rows_[y], rows_[y] + width_);
        return pixels;
    }

    bool guardsIntact() const
    {
        const auto isGuard = [](std::uint8_t b) { return b == kGuard; };
        return std::all_of(memory_.begin(), memory_.begin() + start_, isGuard)
            && std::all_of(memory_.begin() + start_ + size_, memory_.end(), isGuard);
    }

private:
    int height_;
    int width_;
    std::size_t size_;
    std::size_t start_ = 0;
    std::vector<std::uint8_t> memory_;
    std::vector<std::uint8_t*> rows_;
};

// The expected picture: a copy of the canvas's current one, edited by (x, y).
class Expected {
public:
    explicit Expected(const Canvas& canvas) : pixels_(canvas.picture()), width_(canvas.width()) {}
    std::uint8_t& at(int x, int y) { return pixels_[std::size_t(y) * width_ + x]; }
    const Pixels& picture() const { return pixels_; }

private:
    Pixels pixels_;
    int width_;
};

class RowStepping : public testing::TestWithParam<Layout> {};

INSTANTIATE_TEST_SUITE_P(Layouts, RowStepping, testing::Values(Layout::BottomUp, Layout::TopDown),
                         [](const auto& info) { return info.param == Layout::BottomUp ? "BottomUp" : "TopDown"; });

} // namespace

TEST(BandFade, EveryValueStepsDownItsBandThenTurnsBlack)
{
    struct Fade { void (*fade)(std::uint8_t* const*, int, int); int levels; };
    for (const Fade f : {Fade{FadeBmp64, 64}, Fade{FadeBmp32, 32}}) {
        Canvas canvas(1, 256, 0);
        for (int v = 0; v < 256; ++v)
            canvas.at(v, 0) = std::uint8_t(v);
        // A value at level L above its band's base reaches the base after L
        // calls and black at the next; black stays black.
        for (int call = 1; call <= f.levels; ++call) {
            f.fade(canvas.rows(), 1, 256);
            for (int v = 0; v < 256; ++v) {
                const int level = v % f.levels;
                ASSERT_EQ(canvas.at(v, 0), call <= level ? v - call : 0)
                    << f.levels << " levels, start " << v << ", call " << call;
            }
        }
    }
}

TEST(WholeRaster, MatchesThePerPixelRuleOnAnySizeAndAlignment)
{
    std::mt19937 generator(1234);
    // Runs the operation on random pixels and checks each against the rule.
    const auto check = [&](Canvas& canvas, int height, int width, auto operation, auto rule) {
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x)
                canvas.at(x, y) = std::uint8_t(generator());
        const Pixels before = canvas.picture();
        operation(canvas.rows(), height, width);
        const Pixels after = canvas.picture();
        for (std::size_t n = 0; n < before.size(); ++n)
            ASSERT_EQ(after[n], rule(before[n])) << "byte " << n;
        ASSERT_TRUE(canvas.guardsIntact());
    };
    struct Size { int height; int width; };
    const Size sizes[] = {{1, 1},  {1, 15}, {1, 17},   {3, 31},   {5, 33},
                          {7, 63}, {2, 65}, {13, 129}, {1, 1001}, {200, 600}};
    // Blocks shorter than a vector, and blocks starting on, just past and well
    // past a cache-line boundary, which the vector loop treats differently.
    for (const auto& [height, width] : sizes) {
        for (std::size_t misalignment : {0, 1, 17, 63}) {
            SCOPED_TRACE(testing::Message() << height << "x" << width << " starting "
                                            << misalignment << " past a line");
            Canvas canvas(height, width, 0, Layout::BottomUp, misalignment);
            check(canvas, height, width, FadeBmp64, [](int v) { return v % 64 != 0 ? v - 1 : 0; });
            check(canvas, height, width, FadeBmp32, [](int v) { return v % 32 != 0 ? v - 1 : 0; });
            for (std::uint32_t amount : {0u, 1u, 10u, 200u, 255u, 0x10Au}) {
                const auto darken = [amount](std::uint8_t* const* rows, int h, int w) {
                    DarkenBmp(rows, h, w, amount);
                };
                check(canvas, height, width, darken,
                      [amount](int v) { return std::max(0, v - int(amount % 256)); });
            }
        }
    }
}

TEST(WholeRaster, DarkenStopsAtBlackAndUsesTheAmountsLowByte)
{
    Canvas canvas(2, 2, 0);
    canvas.at(0, 0) = 5;
    canvas.at(1, 0) = 200;
    canvas.at(0, 1) = 10;
    canvas.at(1, 1) = 255;
    DarkenBmp(canvas.rows(), 2, 2, 10);
    EXPECT_EQ(canvas.picture(), (Pixels{0, 190, 0, 245}));
    DarkenBmp(canvas.rows(), 2, 2, 0x105); // darkens by 5
    EXPECT_EQ(canvas.picture(), (Pixels{0, 185, 0, 240}));
}

TEST_P(RowStepping, GlowDotSitsRightOfXAndItsHaloOnlyRaises)
{
    Canvas canvas(100, 40, 100, GetParam());
    canvas.at(12, 50) = 180;
    canvas.at(11, 51) = 174;
    canvas.at(11, 49) = 180;
    Expected expected(canvas);
    expected.at(11, 50) = 191;
    expected.at(10, 50) = 173;
    PlotGlow(canvas.rows(), 10, 50, 191);
    EXPECT_EQ(canvas.picture(), expected.picture());

    // Below 18 the halo wraps round to the top of the palette.
    canvas.at(31, 20) = 255;
    canvas.at(30, 20) = 250;
    canvas.at(32, 20) = 248;
    expected = Expected(canvas);
    expected.at(31, 20) = 10;
    expected.at(31, 19) = 248;
    expected.at(31, 21) = 248;
    PlotGlow(canvas.rows(), 30, 20, 10);
    EXPECT_EQ(canvas.picture(), expected.picture());
    EXPECT_TRUE(canvas.guardsIntact());
}

TEST_P(RowStepping, SolidRunsCoverBothEndsInEitherOrder)
{
    Canvas canvas(12, 10, 0, GetParam());
    Expected expected(canvas);
    for (int x = 3; x <= 7; ++x)
        expected.at(x, 2) = 1;
    for (int y = 1; y <= 9; ++y)
        expected.at(4, y) = 2;
    expected.at(9, 11) = 3;
    expected.at(0, 0) = 4;
    HLine(canvas.rows(), 7, 2, 3, 1);
    VLine(canvas.rows(), 4, 9, 1, 2);
    HLine(canvas.rows(), 9, 11, 9, 3);
    VLine(canvas.rows(), 0, 0, 0, 0x104); // only the low byte is the colour
    EXPECT_EQ(canvas.picture(), expected.picture());
    EXPECT_TRUE(canvas.guardsIntact());
}

TEST(StyledRun, AlternatingPatternPaintsEveryOtherPixelAndComesRoundAfter16)
{
    Canvas canvas(1, 16, 0);
    std::uint16_t pattern = 0x5555;
    HLineStyled(canvas.rows(), 0, 0, 15, 9, &pattern);
    EXPECT_EQ(canvas.picture(), (Pixels{9, 0, 9, 0, 9, 0, 9, 0, 9, 0, 9, 0, 9, 0, 9, 0}));
    EXPECT_EQ(pattern, 0x5555);
}

TEST_P(RowStepping, StyledRunsStartFromTheSmallerEnd)
{
    Canvas canvas(12, 12, 0, GetParam());
    Expected expected(canvas);
    for (int i = 0; i <= 7; ++i) {
        expected.at(i, 11) = 6;
        expected.at(11, i) = 7;
    }
    std::uint16_t across = 0x00FF;
    std::uint16_t up = 0x00FF;
    HLineStyled(canvas.rows(), 9, 11, 0, 6, &across);
    VLineStyled(canvas.rows(), 11, 9, 0, 7, &up);
    EXPECT_EQ(canvas.picture(), expected.picture());
    // Ten pixels turned the word right by ten: bits 0..7 moved to 6..13.
    EXPECT_EQ(across, 0x3FC0);
    EXPECT_EQ(up, 0x3FC0);
}

TEST_P(RowStepping, DashesContinueAcrossCalls)
{
    // Pixel i of a run, counted over all calls, is painted when bit i mod 16 of
    // the starting word is set.
    constexpr std::uint16_t start = 0x0F33;
    Canvas canvas(41, 40, 0, GetParam());
    Expected expected(canvas);
    for (int i = 0; i < 40; ++i) {
        if ((start >> (i % 16)) & 1) {
            expected.at(i, 0) = 1;
            expected.at(39, i + 1) = 2;
        }
    }
    std::uint16_t across = start;
    std::uint16_t up = start;
    const std::pair<int, int> runs[] = {{0, 4}, {5, 5}, {38, 6}, {39, 39}};
    for (const auto& [from, to] : runs) {
        HLineStyled(canvas.rows(), from, 0, to, 1, &across);
        VLineStyled(canvas.rows(), 39, from + 1, to + 1, 2, &up);
    }
    EXPECT_EQ(canvas.picture(), expected.picture());
    // 40 pixels leave the word turned by 8: its bytes swapped.
    EXPECT_EQ(across, 0x330F);
    EXPECT_EQ(up, 0x330F);
}

TEST(ShadedRun, WorkedRamps)
{
    Canvas canvas(6, 600, 99);
    const auto row = [&](int y, int from, int to) {
        return Pixels(canvas.rows()[y] + from, canvas.rows()[y] + to + 1);
    };
    HLineShaded(canvas.rows(), 0, 0, 10, 10, 20);
    EXPECT_EQ(row(0, 0, 10), (Pixels{10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20}));
    HLineShaded(canvas.rows(), 0, 1, 2, 0, 3);
    EXPECT_EQ(row(1, 0, 2), (Pixels{0, 2, 3}));

    // Either way round, the colour belongs to its end.
    HLineShaded(canvas.rows(), 0, 2, 10, 20, 10);
    HLineShaded(canvas.rows(), 10, 3, 0, 10, 20);
    EXPECT_EQ(row(2, 0, 10), (Pixels{20, 19, 18, 17, 16, 15, 14, 13, 12, 11, 10}));
    EXPECT_EQ(row(3, 0, 10), row(2, 0, 10));

    // A step of 65280 / 599 = 108.98 truncates to 108, and the far end falls short.
    HLineShaded(canvas.rows(), 0, 4, 599, 0, 255);
    EXPECT_EQ(canvas.at(0, 4), 0);
    EXPECT_EQ(canvas.at(2, 4), 1); // 128 + 2 * 108 = 344
    EXPECT_EQ(canvas.at(300, 4), 127); // 128 + 300 * 108 = 32528
    EXPECT_EQ(canvas.at(599, 4), 253);
    // 256 / 300 truncates to a step of 0.
    HLineShaded(canvas.rows(), 0, 5, 300, 0, 1);
    EXPECT_EQ(row(5, 0, 300), Pixels(301, 0));

    const Pixels before = canvas.picture();
    HLineShaded(canvas.rows(), 5, 0, 5, 10, 20);
    HLineShaded(canvas.rows(), 7, 1, 7, 30, 30);
    EXPECT_EQ(canvas.picture(), before) << "equal ends paint nothing";
    EXPECT_TRUE(canvas.guardsIntact());
}

TEST(ShadedRun, RampClimbsFromTheDarkEndAndReachesTheBrightEndWhenTheRemainderAllows)
{
    constexpr int kWidth = 65537;
    Canvas canvas(1, kWidth, 77);
    const int darks[] = {0, 1, 17, 100, 254};
    const int brights[] = {1, 18, 101, 200, 255};
    for (int dark : darks) {
        for (int bright : brights) {
            if (bright <= dark)
                continue;
            for (int n : {1, 2, 3, 7, 100, 255, 256, 257, 599, 1000, 65535}) {
                // The bright end on the left, so the ramp runs right to left.
                canvas.at(n + 1, 0) = 77;
                HLineShaded(canvas.rows(), n, 0, 0, std::uint32_t(dark), std::uint32_t(bright));
                const int remainder = (bright - dark) * 256 % n;
                SCOPED_TRACE(testing::Message() << dark << " to " << bright << " over " << n);
                ASSERT_EQ(canvas.at(n, 0), dark);
                ASSERT_EQ(canvas.at(0, 0) == bright, remainder <= 128);
                for (int x = n; x > 0; --x)
                    ASSERT_LE(canvas.at(x, 0), canvas.at(x - 1, 0)) << "at " << x;
                ASSERT_LE(canvas.at(0, 0), bright);
                ASSERT_EQ(canvas.at(n + 1, 0), 77) << "past the run";
            }
        }
    }
    EXPECT_TRUE(canvas.guardsIntact());
}

TEST_P(RowStepping, SweepGridFallsOnItsRowsAndColumns)
{
    const std::set<int> gridRows = {0, 20, 40, 60, 80, 100, 119, 139, 159, 179, 199};
    const std::set<int> gridColumns = {0,   30,  60,  90,  120, 150, 180, 210, 240, 270, 300,
                                       329, 359, 389, 419, 449, 479, 509, 539, 569, 599};
    Canvas canvas(200, 600, 9, GetParam());
    Expected expected(canvas);
    for (int y = 0; y < 200; ++y)
        for (int x = 0; x < 600; ++x)
            if (gridRows.count(y) || gridColumns.count(x))
                expected.at(x, y) = 2;
    DrawGrid(canvas.rows(), 200, 600, 21, 11, 2);
    EXPECT_EQ(canvas.picture(), expected.picture());
    EXPECT_TRUE(canvas.guardsIntact());
}

TEST_P(RowStepping, GridWithMoreLinesThanPixelsStaysInsideTheRaster)
{
    // After the last line, the next position falls in the last half pixel and
    // would round to just past the edge: 9.9 with 11 lines over 10 rows, 11.9
    // with 13 over 12 columns, and exactly 9.5 and 11.5 with a spacing of 0.5.
    Canvas canvas(10, 12, 0, GetParam());
    DrawGrid(canvas.rows(), 10, 12, 13, 11, 2);
    DrawGrid(canvas.rows(), 10, 12, 23, 19, 2);
    EXPECT_EQ(canvas.picture(), Pixels(120, 2));
    EXPECT_TRUE(canvas.guardsIntact());
}

TEST(Grid, OnePixelRasterGetsItsLineAndReadsOnlyItsOneRow)
{
    std::uint8_t pixel = 0;
    const std::vector<std::uint8_t*> rows = {&pixel}; // exactly one entry
    DrawGrid(rows.data(), 1, 1, 2, 2, 7);
    EXPECT_EQ(pixel, 7);
}

TEST(RasterLimits, AreAssertedInDebugBuilds)
{
#ifdef NDEBUG
    GTEST_SKIP() << "assertions are compiled out of this build";
#else
    Canvas canvas(4, 4, 0);
    Canvas topDown(4, 4, 0, Layout::TopDown);
    std::uint16_t pattern = 1;
    EXPECT_DEATH(PlotGlow(canvas.rows(), 0, 0, 191), "Assertion");
    EXPECT_DEATH(HLine(canvas.rows(), -1, 0, 2, 1), "Assertion");
    EXPECT_DEATH(VLineStyled(canvas.rows(), 0, 2, -1, 1, &pattern), "Assertion");
    EXPECT_DEATH(HLineShaded(canvas.rows(), 0, 0, 65536, 0, 255), "Assertion");
    EXPECT_DEATH(DrawGrid(canvas.rows(), 4, 4, 2, 1, 2), "Assertion");
    EXPECT_DEATH(FadeBmp64(canvas.rows(), 0, 4), "Assertion");
    EXPECT_DEATH(FadeBmp32(topDown.rows(), 4, 4), "Assertion") << "not one block from rows[0] up";
#endif
}
