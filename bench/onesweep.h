#pragma once

// A window in which the sweep runs one whole sweep per call, with no waits,
// for benchmarks of the sweep's drawing: the window itself only holds the
// picture and decides what showing it costs.

#include "ecg/signal.h"
#include "ecg/sweep.h"

#include <benchmark/benchmark.h>

#include <vector>

class OneSweepWindow : public ecg::SweepHost
{
public:
    static constexpr int kPicturesPerSweep = 149;  // i = 4, 8, ..., 596

    // Ends the sweep after its last picture's message call.
    void ProcessMessages() override { state.stop = ++pictures_ % kPicturesPerSweep == 0; }
    std::chrono::steady_clock::time_point Now() const override { return {}; }
    void SleepUntil(std::chrono::steady_clock::time_point) override {}
    void PlayBeat() override {}
    bool SoundOn() const override { return false; }
    void SweepStarting() override {}
    void SweepStopping() override {}
    void StopDone() override {}

    ecg::RunState state;

private:
    int pictures_ = 0;
};

// Sweeps the synthesised signal once per iteration.
inline void SweepOncePerIteration(benchmark::State& state, OneSweepWindow& window)
{
    std::vector<std::int32_t> signal(ecg::kSignalSamples);
    const ecg::RandomFn random = ecg::DefaultRandom();
    ecg::SynthesizeSignal(signal.data(), random);
    for (auto _ : state)
        ecg::RunClicked(window, window.state, std::span(signal).first<ecg::kSignalSamples>(), random);
}
