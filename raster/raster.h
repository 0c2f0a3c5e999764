#pragma once

// Drawing operations on an 8-bit palette raster addressed through a row table.
//
// A row table is an array of row addresses: pixel (x, y) is rows[y][x], row 0 is
// the bottom row of the picture, and the row stride is rows[1] - rows[0] (it may
// be negative). The whole-raster operations treat the picture as one block of
// height * width bytes starting at rows[0], so they need a table whose rows go up
// width bytes at a time. Colours are palette indexes; only the low 8 bits of a
// colour argument are used. Nothing clips: coordinates are never negative and
// every pixel an operation touches must lie inside the raster. Debug builds
// assert the limits given below.

#include <cstdint>

namespace raster {

// Lowers every pixel one level inside its 32-level band; the band's base
// (low five bits zero) becomes 0.
void FadeBmp32(std::uint8_t* const* rows, int height, int width);
// Lowers every pixel one level inside its 64-level band; the band's base
// (low six bits zero) becomes 0.
void FadeBmp64(std::uint8_t* const* rows, int height, int width);
// Subtracts amount from every pixel, stopping at 0. Each whole-raster operation
// needs height, width >= 1.
void DarkenBmp(std::uint8_t* const* rows, int height, int width, std::uint32_t amount);

// A dot of colour at (x + 1, y) whose four neighbours are raised to colour - 18
// (modulo 256) where they are lower. Needs 1 <= y <= height - 2, 0 <= x <= width - 3.
void PlotGlow(std::uint8_t* const* rows, int x, int y, std::uint32_t colour);

// Solid runs, end points inclusive, in either order.
void HLine(std::uint8_t* const* rows, int x0, int y, int x1, std::uint32_t colour);
void VLine(std::uint8_t* const* rows, int x, int y0, int y1, std::uint32_t colour);

// Runs through a 16-bit on/off pattern, from the smaller end: the pattern is
// rotated right once per pixel and the pixel is painted when the bit rotated out
// was 1. The rotated word is left in *pattern, so dashes continue across calls.
void HLineStyled(std::uint8_t* const* rows, int x0, int y, int x1, std::uint32_t colour,
                 std::uint16_t* pattern);
void VLineStyled(std::uint8_t* const* rows, int x, int y0, int y1, std::uint32_t colour,
                 std::uint16_t* pattern);

// A run whose colour ramps from colour0 at x0 to colour1 at x1 in 8.8 fixed
// point. The darker end gets exactly its colour; the step is truncated, so the
// brighter end can fall short of its own. Equal ends paint nothing. Needs
// |x1 - x0| < 65536.
void HLineShaded(std::uint8_t* const* rows, int x0, int y, int x1, std::uint32_t colour0,
                 std::uint32_t colour1);

// lines evenly spaced rows and columns evenly spaced columns over the whole
// raster, rows first. A line's position accumulates in single precision and
// the line falls on the nearest pixel; with (200, 600, 21, 11) that is rows 0,
// 20, ..., 100, 119, ..., 199 and columns 0, 30, ..., 300, 329, ..., 599. A
// position in the last half pixel (as with more lines than pixels) would fall
// just past the raster; that line is left out. Needs height, width >= 1 and
// columns, lines >= 2.
void DrawGrid(std::uint8_t* const* rows, int height, int width, int columns, int lines,
              std::uint32_t colour);

}  // namespace raster
