#include "ecg/signal.h"

#include <random>

namespace ecg {

namespace {

// One heartbeat in template units: P wave around entry 21, QRS complex with the
// R peak at entry 35, T wave around entry 55, then a flat tail. A beat uses
// entries 0 .. length - 1, so the tail decides the beat-to-beat interval.
constexpr float kBeatTemplate[90] = {
    0.01f,  0.02f,  -0.01f, 0.01f,  0.015f, -0.01f, 0.01f,  0.01f, -0.01f, 0.02f,
    -0.01f, 0.01f,  -0.03f, -0.01f, -0.02f, 0.01f,  0.1f,   0.3f,  0.6f,   1.1f,
    1.7f,   2.0f,   1.6f,   0.6f,   0.2f,   0.1f,   0.02f,  -0.02f, 0.01f, -0.01f,
    0.005f, -0.02f, -0.2f,  -0.6f,  6.0f,   18.0f,  4.0f,   -0.9f, 0.01f,  0.1f,
    0.01f,  -0.02f, 0.02f,  0.01f,  -0.01f, 0.01f,  0.02f,  0.1f,  0.3f,   0.6f,
    1.0f,   1.4f,   1.9f,   2.5f,   2.8f,   3.0f,   2.7f,   2.0f,  1.4f,   0.8f,
    0.4f,   0.2f,   0.1f,   0.04f,  0.01f,  0.01f,  -0.02f, 0.02f, -0.01f, 0.005f,
    0.01f,  -0.05f, -0.01f, 0.04f,  0.01f,  0.01f,  -0.01f, 0.01f, 0.005f, -0.005f,
    0.005f, -0.01f, 0.01f,  -0.03f, 0.02f,  -0.02f, -0.01f, 0.01f, 0.0f,   0.0f,
};

constexpr int kShortestBeat = 70;
constexpr std::uint32_t kBeatLengths = 18;  // 70 .. 87 samples
static_assert(kSignalFilled - 1 + kShortestBeat + int(kBeatLengths) - 1 <= kSignalSamples,
              "the last beat, begun just short of the filled length, fits in the buffer");

}  // namespace

int SynthesizeSignal(std::int32_t* signal, const RandomFn& random)
{
    int position = 0;
    while (position < kSignalFilled) {
        const int length = static_cast<int>(random() % kBeatLengths) + kShortestBeat;
        // Stored in single precision: the samples depend on this rounding.
        const float amplitude = static_cast<float>((random() % 100) * 0.01 + 4.5);
        for (int j = 0; j < length; ++j) {
            const double noise = (random() % 100) * 0.02;
            // Double precision throughout; the cast truncates toward zero.
            const double sample = noise + static_cast<double>(amplitude) * kBeatTemplate[j];
            signal[position + j] = static_cast<std::int32_t>(sample);
        }
        position += length;
    }
    return position;
}

RandomFn DefaultRandom()
{
    // minstd_rand is defined exactly by the C++ standard (multiplier 48271,
    // modulus 2^31 - 1, seed 1), so every build draws the same sequence.
    return [engine = std::minstd_rand()]() mutable {
        return static_cast<std::uint32_t>(engine());
    };
}

}  // namespace ecg
