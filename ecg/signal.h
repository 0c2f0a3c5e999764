#pragma once

// The synthetic heart signal: a chain of beats made from one fixed beat template,
// each with a random length and amplitude and every sample with a little noise.
// A sample is a height in screen rows above the baseline.

#include <cstdint>
#include <functional>

namespace ecg {

inline constexpr int kSignalSamples = 8000;
// The synthesis chains beats until the signal reaches this many samples; the
// last beat goes up to 87 samples past it, still inside the buffer.
inline constexpr int kSignalFilled = 7800;

// Yields non-negative integers; the program's own source starts from the same state on every run.
using RandomFn = std::function<std::uint32_t()>;

// Fills signal[0 .. n) with a chain of beats and returns n, which lies between
// kSignalFilled and kSignalFilled + 86: the last beat starts before sample
// kSignalFilled and is at most 87 samples long.
int SynthesizeSignal(std::int32_t* signal, const RandomFn& random);

// The program's own random source, at its fixed starting state.
RandomFn DefaultRandom();

}  // namespace ecg
