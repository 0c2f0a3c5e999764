// The dot, the runs and the grid: operations that address pixels through the row table.

#include "raster/raster.h"

#include <algorithm>
#include <bit>
#include <cassert>
#include <cstddef>
#include <utility>

namespace raster {
namespace {

std::uint8_t Low8(std::uint32_t colour)
{
    return static_cast<std::uint8_t>(colour);
}

// Distance from a row to the one above it; negative for a top-down table.
std::ptrdiff_t RowStride(std::uint8_t* const* rows)
{
    return rows[1] - rows[0];
}

// The end points of a run, compared as unsigned numbers, smaller first.
struct Run {
    std::uint32_t first;
    std::uint32_t last;
    std::ptrdiff_t length() const { return std::ptrdiff_t(last) - std::ptrdiff_t(first) + 1; }
};

Run Ordered(int end0, int end1)
{
    const auto a = static_cast<std::uint32_t>(end0);
    const auto b = static_cast<std::uint32_t>(end1);
    return a <= b ? Run{a, b} : Run{b, a};
}

// Calls drawLine with the position of every line of a grid of count evenly
// spaced lines across extent pixels. The position accumulates in single
// precision and each line lands on the nearest pixel (halves go up), so over
// 200 rows the 11 lines fall on 0, 20, 40, 60, 80, 100, 119, ..., 199.
template <typename DrawLine>
void ForEachGridLine(int extent, int count, DrawLine drawLine)
{
    const float spacing = static_cast<float>(extent - 1) / static_cast<float>(count - 1);
    float position = 0.0f;
    for (;;) {
        // Exact in double, so nothing rounds before the truncation.
        const double nearest = static_cast<double>(position) + 0.5;
        // A position in the last half pixel would land just past the raster,
        // as more lines than pixels do; those lines are left out.
        if (!(nearest < extent))
            return;
        drawLine(static_cast<int>(nearest));
        const float next = position + spacing;
        // A one-pixel extent has no spacing: its single line is the whole grid.
        if (next == position)
            return;
        position = next;
    }
}

// Visits count pixels step bytes apart from first, rotating the pattern right
// once per pixel and painting the pixel when the bit rotated out was 1.
void PaintThroughPattern(std::uint8_t* first, std::ptrdiff_t step, std::ptrdiff_t count, std::uint8_t colour,
                         std::uint16_t* pattern)
{
    std::uint16_t bits = *pattern;
    for (std::ptrdiff_t i = 0; i < count; ++i) {
        const bool on = (bits & 1u) != 0;
        bits = std::rotr(bits, 1);
        if (on)
            first[i * step] = colour;
    }
    *pattern = bits;
}

} // namespace

void PlotGlow(std::uint8_t* const* rows, int x, int y, std::uint32_t colour)
{
    assert(x >= 0 && y >= 1);
    const std::ptrdiff_t s = RowStride(rows);
    std::uint8_t* const below = rows[y - 1] + x;
    const std::uint8_t dot = Low8(colour);
    // Wraps below 18, so a dark dot gets a bright halo.
    const std::uint8_t halo = static_cast<std::uint8_t>(dot - 18);

    below[s + 1] = dot;
    // The halo only ever raises a pixel, so a trace crossing itself stays bright.
    below[1] = std::max(below[1], halo);
    below[s] = std::max(below[s], halo);
    below[s + 2] = std::max(below[s + 2], halo);
    below[2 * s + 1] = std::max(below[2 * s + 1], halo);
}

void HLine(std::uint8_t* const* rows, int x0, int y, int x1, std::uint32_t colour)
{
    assert(x0 >= 0 && x1 >= 0 && y >= 0);
    const Run run = Ordered(x0, x1);
    std::fill_n(rows[y] + run.first, run.length(), Low8(colour));
}

void VLine(std::uint8_t* const* rows, int x, int y0, int y1, std::uint32_t colour)
{
    assert(x >= 0 && y0 >= 0 && y1 >= 0);
    const Run run = Ordered(y0, y1);
    // A single pixel needs no stride, and a one-row table has no rows[1].
    const std::ptrdiff_t s = run.length() > 1 ? RowStride(rows) : 0;
    std::uint8_t* const bottom = rows[run.first] + x;
    const std::uint8_t c = Low8(colour);
    for (std::ptrdiff_t i = 0; i < run.length(); ++i)
        bottom[i * s] = c;
}

void HLineStyled(std::uint8_t* const* rows, int x0, int y, int x1, std::uint32_t colour,
                 std::uint16_t* pattern)
{
    assert(x0 >= 0 && x1 >= 0 && y >= 0);
    const Run run = Ordered(x0, x1);
    PaintThroughPattern(rows[y] + run.first, 1, run.length(), Low8(colour), pattern);
}

void VLineStyled(std::uint8_t* const* rows, int x, int y0, int y1, std::uint32_t colour,
                 std::uint16_t* pattern)
{
    assert(x >= 0 && y0 >= 0 && y1 >= 0);
    const Run run = Ordered(y0, y1);
    const std::ptrdiff_t s = run.length() > 1 ? RowStride(rows) : 0;
    PaintThroughPattern(rows[run.first] + x, s, run.length(), Low8(colour), pattern);
}

void HLineShaded(std::uint8_t* const* rows, int x0, int y, int x1, std::uint32_t colour0,
                 std::uint32_t colour1)
{
    assert(x0 >= 0 && x1 >= 0 && y >= 0);
    // The ramp always climbs, from the darker colour's end towards the other.
    std::uint8_t dark = Low8(colour0);
    std::uint8_t bright = Low8(colour1);
    auto from = static_cast<std::uint32_t>(x0);
    auto to = static_cast<std::uint32_t>(x1);
    if (dark > bright) {
        std::swap(dark, bright);
        std::swap(from, to);
    }
    if (from == to)
        return;
    const std::uint32_t steps = from < to ? to - from : from - to;
    assert(steps < 65536);

    // 8.8 fixed point. The level starts half a colour up so that its high byte
    // rounds; the step is truncated, so the bright end can fall a little short.
    const auto step = static_cast<std::uint16_t>((bright - dark) * 256u / steps);
    auto level = static_cast<std::uint16_t>(dark * 256u + 128u);
    const std::ptrdiff_t direction = from < to ? 1 : -1;
    std::uint8_t* const start = rows[y] + from;
    for (std::ptrdiff_t i = 0; i <= std::ptrdiff_t(steps); ++i) {
        start[i * direction] = static_cast<std::uint8_t>(level >> 8);
        level = static_cast<std::uint16_t>(level + step);
    }
}

void DrawGrid(std::uint8_t* const* rows, int height, int width, int columns, int lines,
              std::uint32_t colour)
{
    assert(height >= 1 && width >= 1 && columns >= 2 && lines >= 2);
    ForEachGridLine(height, lines, [&](int y) { HLine(rows, 0, y, width - 1, colour); });
    ForEachGridLine(width, columns, [&](int x) { VLine(rows, x, 0, height - 1, colour); });
}

} // namespace raster
