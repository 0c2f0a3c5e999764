#include "ecg/signal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <vector>

namespace {

constexpr std::int32_t kGuard = 12345;  // never a sample value
constexpr int kRPeak = 35;              // template entry of the R peak

using NoiseFn = std::function<std::uint32_t(int sampleInBeat)>;

std::uint32_t NoNoise(int)
{
    return 0;
}

// A random source that plays back the draws of hand-written beats in the order
// the synthesis must take them: length, amplitude, then one noise draw per sample.
class ScriptedBeats {
public:
    // Draw values are scripted above their modulus so that a missing remainder shows.
    void AddBeat(int length, std::uint32_t amplitudeDraw, const NoiseFn& noise = NoNoise)
    {
        starts_.push_back(total_);
        total_ += length;
        draws_.push_back(18 * 1000 + static_cast<std::uint32_t>(length - 70));
        draws_.push_back(amplitudeDraw);
        for (int j = 0; j < length; ++j)
            draws_.push_back(noise(j));
    }

    // Adds beats of one length, amplitude 4.5 and no noise until 7800 samples are covered.
    void FillWith(int length)
    {
        while (total_ < 7800)
            AddBeat(length, 0);
    }

    ecg::RandomFn Source()
    {
        return [this]() -> std::uint32_t {
            if (taken_ == draws_.size()) {
                ADD_FAILURE() << "the synthesis drew more than the script holds";
                return 0;
            }
            return draws_[taken_++];
        };
    }

    const std::vector<int>& BeatStarts() const { return starts_; }
    int TotalLength() const { return total_; }
    bool AllTaken() const { return taken_ == draws_.size(); }

private:
    std::vector<std::uint32_t> draws_;
    std::size_t taken_ = 0;
    std::vector<int> starts_;
    int total_ = 0;
};

struct Synthesis {
    std::vector<std::int32_t> signal = std::vector<std::int32_t>(ecg::kSignalSamples, kGuard);
    int written = 0;
};

Synthesis Synthesize(ScriptedBeats& script)
{
    Synthesis result;
    result.written = ecg::SynthesizeSignal(result.signal.data(), script.Source());
    EXPECT_TRUE(script.AllTaken()) << "the synthesis left scripted draws unused";
    return result;
}

// The R peak of a single scripted beat with the given amplitude and peak noise draws.
std::int32_t RPeakOf(std::uint32_t amplitudeDraw, std::uint32_t noiseDraw)
{
    ScriptedBeats script;
    script.AddBeat(70, amplitudeDraw, [=](int j) { return j == kRPeak ? noiseDraw : 0u; });
    script.FillWith(70);
    return Synthesize(script).signal[kRPeak];
}

TEST(SignalSynthesis, DrawsLengthThenAmplitudeThenOneNoisePerSample)
{
    ScriptedBeats script;
    script.AddBeat(87, 0, [](int j) { return j == kRPeak ? 99u : 0u; });
    script.AddBeat(70, 99, [](int j) { return j == kRPeak ? 60u : 0u; });
    script.FillWith(75);
    const Synthesis result = Synthesize(script);

    EXPECT_EQ(result.signal[kRPeak], 82);            // 4.5 x 18 + 1.98
    EXPECT_EQ(result.signal[87 + kRPeak], 100);      // 5.49 x 18 + 1.2
    EXPECT_EQ(result.signal[87 + 70 + kRPeak], 81);  // 4.5 x 18
    EXPECT_EQ(result.written, script.TotalLength());
}

TEST(SignalSynthesis, BeatWithLowestAmplitudeAndNoNoise)
{
    ScriptedBeats script;
    script.FillWith(70);
    const Synthesis result = Synthesize(script);

    EXPECT_EQ(result.signal[21], 9);      // P peak, 4.5 x 2.0
    EXPECT_EQ(result.signal[kRPeak], 81); // R peak, 4.5 x 18.0
    EXPECT_EQ(result.signal[37], -4);     // 4.5 x -0.9 = -4.05
    EXPECT_EQ(result.signal[55], 13);     // T peak, 4.5 x 3.0 = 13.5
}

TEST(SignalSynthesis, TruncatesTowardZero)
{
    for (const std::uint32_t amplitudeDraw : {50u, 99u}) {  // 5.0 and 5.49
        ScriptedBeats script;
        script.AddBeat(70, amplitudeDraw);
        script.FillWith(70);
        // -4.5 and -4.94 both become -4, not -5.
        EXPECT_EQ(Synthesize(script).signal[37], -4) << "amplitude draw " << amplitudeDraw;
    }
}

TEST(SignalSynthesis, ComputesEachSampleInDoublePrecision)
{
    // Both land within a millionth of an integer, on the other side of it in
    // single precision: 1.72 + 5.46f x 18 = 100.0000007 and
    // 0.86 + 5.4f x -0.9f = -3.99999996.
    EXPECT_EQ(RPeakOf(96, 86), 100);

    ScriptedBeats script;
    script.AddBeat(70, 90, [](int j) { return j == 37 ? 43u : 0u; });
    script.FillWith(70);
    EXPECT_EQ(Synthesize(script).signal[37], -3);
}

TEST(SignalSynthesis, OnlyHighAmplitudeAndNoiseReachOneHundred)
{
    struct Case {
        std::uint32_t amplitudeDraw;
        std::uint32_t noiseDraw;
        std::int32_t peak;
    };
    const Case cases[] = {
        {99, 60, 100}, {99, 59, 99}, {99, 99, 100}, {1099, 160, 100},  // 5.49
        {95, 96, 100}, {95, 95, 99},                                   // 5.45
        {94, 99, 99},                                                  // 5.44
        {0, 0, 81},    {0, 99, 82},                                    // 4.5
    };
    for (const Case& c : cases)
        EXPECT_EQ(RPeakOf(c.amplitudeDraw, c.noiseDraw), c.peak)
            << "amplitude draw " << c.amplitudeDraw << ", noise draw " << c.noiseDraw;

    for (std::uint32_t amplitudeDraw = 0; amplitudeDraw < 95; ++amplitudeDraw)
        EXPECT_LT(RPeakOf(amplitudeDraw, 99), 100) << "amplitude draw " << amplitudeDraw;
}

TEST(SignalSynthesis, SamplesStayBetweenMinusFourAndOneHundred)
{
    for (std::uint32_t amplitudeDraw = 0; amplitudeDraw < 100; ++amplitudeDraw) {
        for (const std::uint32_t noiseDraw : {0u, 99u}) {
            ScriptedBeats script;
            script.AddBeat(87, amplitudeDraw, [=](int) { return noiseDraw; });
            script.FillWith(70);
            const Synthesis result = Synthesize(script);
            const auto [low, high] = std::minmax_element(result.signal.begin(),
                                                         result.signal.begin() + 87);
            EXPECT_GE(*low, -4) << "amplitude draw " << amplitudeDraw;
            EXPECT_LE(*high, 100) << "amplitude draw " << amplitudeDraw;
        }
    }
}

TEST(SignalSynthesis, BeatsFollowOneLengthApart)
{
    ScriptedBeats script;
    for (int length = 70; script.TotalLength() < 7800; length = length == 87 ? 70 : length + 1)
        script.AddBeat(length, 0);
    const Synthesis result = Synthesize(script);

    // With amplitude 4.5 and no noise only the R peaks reach 81.
    std::vector<int> peaks;
    for (int n = 0; n < result.written; ++n) {
        if (result.signal[n] == 81)
            peaks.push_back(n - kRPeak);
    }
    EXPECT_EQ(peaks, script.BeatStarts());
    EXPECT_EQ(result.written, script.TotalLength());
}

TEST(SignalSynthesis, StopsAtTheBeatThatReaches7800)
{
    ScriptedBeats exact;
    exact.FillWith(78);  // 100 beats end exactly at 7800
    EXPECT_EQ(Synthesize(exact).written, 7800);

    // The longest possible signal: the last beat starts at 7799 and is 87 long.
    ScriptedBeats longest;
    for (int beat = 0; beat < 111; ++beat)
        longest.AddBeat(beat < 29 ? 71 : 70, 0);
    longest.AddBeat(87, 0);
    ASSERT_EQ(longest.BeatStarts().back(), 7799);
    const Synthesis result = Synthesize(longest);

    EXPECT_EQ(result.written, 7886);
    EXPECT_NE(result.signal[7885], kGuard);
    EXPECT_TRUE(std::all_of(result.signal.begin() + 7886, result.signal.end(),
                            [](std::int32_t v) { return v == kGuard; }));
}

TEST(SignalSynthesis, WritesNothingPastTheLastBeat)
{
    for (const int length : {70, 79, 87}) {
        ScriptedBeats script;
        script.FillWith(length);
        const Synthesis result = Synthesize(script);
        ASSERT_GE(result.written, 7800);
        ASSERT_LE(result.written, 7886);
        EXPECT_TRUE(std::none_of(result.signal.begin(), result.signal.begin() + result.written,
                                 [](std::int32_t v) { return v == kGuard; }));
        EXPECT_TRUE(std::all_of(result.signal.begin() + result.written, result.signal.end(),
                                [](std::int32_t v) { return v == kGuard; }))
            << "beat length " << length;
    }
}

TEST(DefaultRandom, IsTheStandardMinimalStandardGenerator)
{
    // The C++ standard fixes the 10000th value of a default-constructed
    // minstd_rand, so this pins the sequence to its published definition.
    const ecg::RandomFn random = ecg::DefaultRandom();
    std::uint32_t value = 0;
    for (int n = 0; n < 10000; ++n)
        value = random();
    EXPECT_EQ(value, 399268537u);
}

TEST(DefaultRandom, EachSourceStartsAtTheSameState)
{
    const ecg::RandomFn first = ecg::DefaultRandom();
    const ecg::RandomFn second = ecg::DefaultRandom();
    std::uint32_t lowestOffset = 7000;
    std::uint32_t highestOffset = 0;
    for (int n = 0; n < 1000; ++n) {
        const std::uint32_t value = first();
        ASSERT_EQ(second(), value) << "draw " << n;
        lowestOffset = std::min(lowestOffset, value % 7000);
        highestOffset = std::max(highestOffset, value % 7000);
    }
    // Sweep start offsets spread over the whole signal.
    EXPECT_LT(lowestOffset, 100u);
    EXPECT_GT(highestOffset, 6900u);
}

TEST(DefaultRandom, SynthesisIsTheSameOnEveryRun)
{
    std::vector<std::int32_t> first(ecg::kSignalSamples, kGuard);
    std::vector<std::int32_t> second(ecg::kSignalSamples, kGuard);
    const int written = ecg::SynthesizeSignal(first.data(), ecg::DefaultRandom());
    EXPECT_EQ(ecg::SynthesizeSignal(second.data(), ecg::DefaultRandom()), written);
    EXPECT_EQ(first, second);

    // Not a statement of correctness: this checksum only flags an accidental
    // change of the generator, the template or the arithmetic, which would
    // change the signal every user sees. Update it when such a change is meant.
    std::uint64_t hash = 14695981039346656037ull;  // FNV-1a
    for (int n = 0; n < written; ++n) {
        hash ^= static_cast<std::uint32_t>(first[n]);
        hash *= 1099511628211ull;
    }
    EXPECT_EQ(written, 7872);
    EXPECT_EQ(hash, 12055510707374228705ull);
}

}  // namespace
