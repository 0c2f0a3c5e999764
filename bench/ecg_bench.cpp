#include "bench/onesweep.h"
#include "ecg/signal.h"
#include "ecg/sweep.h"

#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <vector>

namespace {

// The whole start-up synthesis, from a fresh source each time.
void BM_SynthesizeSignal(benchmark::State& state)
{
    std::vector<std::int32_t> signal(ecg::kSignalSamples);
    for (auto _ : state) {
        const int written = ecg::SynthesizeSignal(signal.data(), ecg::DefaultRandom());
        benchmark::DoNotOptimize(written);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_SynthesizeSignal)->Unit(benchmark::kMicrosecond);

// A window that does nothing but hold the picture, so only the sweep's own
// drawing is measured; the real window paces it at 5 ms a sample.
class IdleWindow : public OneSweepWindow
{
public:
    IdleWindow()
    {
        for (int y = 0; y < ecg::kScreenHeight; ++y)
            rows_[y] = pixels_.data() + y * ecg::kScreenWidth;
    }

    std::uint8_t* const* ScreenRows() override { return rows_.data(); }
    void ShowPicture() override {}

private:
    std::vector<std::uint8_t> pixels_ = std::vector<std::uint8_t>(ecg::kScreenWidth * ecg::kScreenHeight);
    std::array<std::uint8_t*, ecg::kScreenHeight> rows_{};
};

// One full sweep over the synthesised signal, without the waits.
void BM_OneSweepDrawing(benchmark::State& state)
{
    IdleWindow window;
    SweepOncePerIteration(state, window);
}
BENCHMARK(BM_OneSweepDrawing)->Unit(benchmark::kMicrosecond);

}  // namespace
