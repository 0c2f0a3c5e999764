#include "ecg/signal.h"

#include <benchmark/benchmark.h>

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

}  // namespace
