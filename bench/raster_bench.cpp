// Each raster operation on the sweep's 600 by 200 picture, with memcpy and memset
// of the same block beside them: the whole-raster operations should run close
// to the speed of copying the block.

#include "raster/raster.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

namespace {

constexpr int kWidth = 600;
constexpr int kHeight = 200;
constexpr std::size_t kBytes = std::size_t(kWidth) * kHeight;

// The program's layout: one block, row 0 first, filled with a lit picture. The
// block starts misalignment bytes past a cache-line boundary.
struct Picture {
    std::vector<std::uint8_t> memory = std::vector<std::uint8_t>(kBytes + 64);
    std::vector<std::uint8_t*> rows;

    explicit Picture(std::size_t misalignment)
    {
        const auto address = reinterpret_cast<std::uintptr_t>(memory.data());
        std::uint8_t* const block = memory.data() + (misalignment + 64 - address % 64) % 64;
        std::mt19937 generator(7);
        for (std::size_t i = 0; i < kBytes; ++i)
            block[i] = std::uint8_t(generator());
        for (int y = 0; y < kHeight; ++y)
            rows.push_back(block + std::size_t(y) * kWidth);
    }
};

template <typename Operation>
void Run(benchmark::State& state, std::int64_t bytesPerCall, Operation operation,
         std::size_t misalignment = 0)
{
    Picture picture(misalignment);
    for (auto _ : state) {
        operation(picture.rows.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * bytesPerCall);
}

void Memcpy(benchmark::State& state)
{
    std::vector<std::uint8_t> source(kBytes, 150);
    Run(state, kBytes,
        [&](std::uint8_t* const* rows) { std::memcpy(rows[0], source.data(), kBytes); });
}

void Memset(benchmark::State& state)
{
    Run(state, kBytes, [](std::uint8_t* const* rows) { std::memset(rows[0], 0, kBytes); });
}

// The argument is the block's distance past a cache-line boundary.
void FadeBmp64(benchmark::State& state)
{
    Run(state, kBytes, [](std::uint8_t* const* rows) { raster::FadeBmp64(rows, kHeight, kWidth); },
        std::size_t(state.range(0)));
}

void FadeBmp32(benchmark::State& state)
{
    Run(state, kBytes, [](std::uint8_t* const* rows) { raster::FadeBmp32(rows, kHeight, kWidth); });
}

void DarkenBmp(benchmark::State& state)
{
    Run(state, kBytes,
        [](std::uint8_t* const* rows) { raster::DarkenBmp(rows, kHeight, kWidth, 1); });
}

void PlotGlow(benchmark::State& state)
{
    Run(state, 5, [](std::uint8_t* const* rows) { raster::PlotGlow(rows, 300, 100, 191); });
}

void HLine(benchmark::State& state)
{
    Run(state, kWidth,
        [](std::uint8_t* const* rows) { raster::HLine(rows, 0, 100, kWidth - 1, 2); });
}

void VLine(benchmark::State& state)
{
    Run(state, kHeight,
        [](std::uint8_t* const* rows) { raster::VLine(rows, 300, 0, kHeight - 1, 2); });
}

void HLineStyled(benchmark::State& state)
{
    std::uint16_t pattern = 0x0F0F;
    Run(state, kWidth, [&](std::uint8_t* const* rows) {
        raster::HLineStyled(rows, 0, 100, kWidth - 1, 2, &pattern);
    });
}

void VLineStyled(benchmark::State& state)
{
    std::uint16_t pattern = 0x0F0F;
    Run(state, kHeight, [&](std::uint8_t* const* rows) {
        raster::VLineStyled(rows, 300, 0, kHeight - 1, 2, &pattern);
    });
}

void HLineShaded(benchmark::State& state)
{
    Run(state, kWidth, [](std::uint8_t* const* rows) {
        raster::HLineShaded(rows, 0, 100, kWidth - 1, 0, 255);
    });
}

void DrawGrid(benchmark::State& state)
{
    // 11 full rows and 21 full columns.
    Run(state, 11 * kWidth + 21 * kHeight, [](std::uint8_t* const* rows) {
        raster::DrawGrid(rows, kHeight, kWidth, 21, 11, 2);
    });
}

} // namespace

BENCHMARK(Memcpy);
BENCHMARK(Memset);
BENCHMARK(FadeBmp64)->Arg(0)->Arg(1)->Arg(16);
BENCHMARK(FadeBmp32);
BENCHMARK(DarkenBmp);
BENCHMARK(PlotGlow);
BENCHMARK(HLine);
BENCHMARK(VLine);
BENCHMARK(HLineStyled);
BENCHMARK(VLineStyled);
BENCHMARK(HLineShaded);
BENCHMARK(DrawGrid);
