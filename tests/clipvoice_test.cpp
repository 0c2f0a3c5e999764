// From plays to sound: one play let through per beat however often it is
// cued, and the clip laid into the stream whole, with silence between,
// restarts and stops that fade instead of clicking.

#include "sound/beatgate.h"
#include "sound/clipvoice.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <future>
#include <latch>
#include <numeric>
#include <vector>

using sound::BeatGate;
using sound::ClipVoice;
using namespace std::chrono_literals;

namespace {

constexpr int kRate = 8000;
constexpr int kFadeFrames = kRate * ClipVoice::kFadeMilliseconds / 1000;

wav::Clip MonoClip(std::vector<std::int16_t> samples)
{
    return wav::Clip{1, kRate, std::move(samples)};
}

// Runs the voice for the given number of samples, in chunks of an awkward size.
std::vector<std::int16_t> Take(ClipVoice& voice, std::size_t samples, std::size_t chunk = 7)
{
    std::vector<std::int16_t> out(samples);
    for (std::size_t at = 0; at < samples; at += chunk)
        voice.Fill(std::span(out).subspan(at, std::min(chunk, samples - at)));
    return out;
}

}  // namespace

TEST(ClipVoice, PlaysTheWholeClipOnceBetweenSilences)
{
    std::vector<std::int16_t> ramp(100);
    std::iota(ramp.begin(), ramp.end(), std::int16_t{1});
    const wav::Clip clip = MonoClip(ramp);
    ClipVoice voice(clip);

    EXPECT_EQ(Take(voice, 30), std::vector<std::int16_t>(30, 0));
    voice.Play();
    EXPECT_TRUE(voice.Sounding());
    Take(voice, 30);
    EXPECT_EQ(voice.FramesLeft(), 70u);
    std::vector<std::int16_t> expected(ramp.begin() + 30, ramp.end());
    expected.resize(120, 0);
    EXPECT_EQ(Take(voice, 120), expected);
    EXPECT_FALSE(voice.Sounding());
}

TEST(ClipVoice, RestartBeginsAgainWhileTheInterruptedPlayFadesOut)
{
    const wav::Clip clip = MonoClip(std::vector<std::int16_t>(200, 1000));
    ClipVoice voice(clip);
    voice.Play();
    Take(voice, 50);
    voice.Play();
    EXPECT_EQ(voice.FramesLeft(), 200u);

    const std::vector<std::int16_t> out = Take(voice, 200);
    // The new play at full level, plus the old one falling away step by step.
    EXPECT_GT(out[0], 1900);
    for (int n = 1; n < kFadeFrames; ++n) {
        EXPECT_LE(out[n], out[n - 1]) << n;
        EXPECT_GT(out[n], 1000) << n;
    }
    for (std::size_t n = kFadeFrames; n < out.size(); ++n)
        ASSERT_EQ(out[n], 1000) << n;
    EXPECT_FALSE(voice.Sounding());
}

TEST(ClipVoice, StopFadesOutWithinAFewMilliseconds)
{
    const wav::Clip clip = MonoClip(std::vector<std::int16_t>(400, -3000));
    ClipVoice voice(clip);
    voice.Play();
    Take(voice, 10);
    voice.Stop();
    EXPECT_EQ(voice.FramesLeft(), static_cast<std::size_t>(kFadeFrames));

    const std::vector<std::int16_t> out = Take(voice, 100);
    // Even steps from the full level to silence, the first and the last included.
    for (int n = 0; n <= kFadeFrames; ++n)
        EXPECT_NEAR(out[n] - (n == 0 ? -3000 : out[n - 1]), 3000 / (kFadeFrames + 1), 1) << n;
    EXPECT_EQ(std::vector<std::int16_t>(out.begin() + kFadeFrames, out.end()),
              std::vector<std::int16_t>(100 - kFadeFrames, 0));
    EXPECT_FALSE(voice.Sounding());
}

TEST(ClipVoice, LoudOverlapClampsInsteadOfWrappingAround)
{
    const wav::Clip clip = MonoClip(std::vector<std::int16_t>(100, 30000));
    ClipVoice voice(clip);
    voice.Play();
    Take(voice, 20);
    voice.Play();
    EXPECT_EQ(Take(voice, 1)[0], 32767);
}

TEST(ClipVoice, StereoFramesKeepTheirChannels)
{
    const wav::Clip clip{2, kRate, {1, -1, 2, -2, 3, -3}};
    ClipVoice voice(clip);
    voice.Play();
    EXPECT_EQ(voice.FramesLeft(), 3u);
    EXPECT_EQ(Take(voice, 10, 4), (std::vector<std::int16_t>{1, -1, 2, -2, 3, -3, 0, 0, 0, 0}));
}

// A beat cued twice, a sample apart or a stalled window's moment apart, is
// one play; the next beat is another.
TEST(BeatGate, LetsThroughOnePlayPerBeat)
{
    BeatGate gate;
    const BeatGate::Clock::time_point t0{};
    std::vector<int> passed;
    for (int ms : {0, 5, 15, 60, 99, 100, 105, 350, 351, 700})
        if (gate.Pass(t0 + std::chrono::milliseconds(ms)))
            passed.push_back(ms);
    EXPECT_EQ(passed, (std::vector<int>{0, 100, 350, 700}));
}

// Plays at the same moment from two threads: exactly one gets through. The
// threads play through a row of gates, each on a cache line of its own, one
// beat at a time, one from each end, so that they meet at a gate in every
// beat and touch different ones in between. The thread behind is turned away
// at once, catches up, and from then on meets the other. A latch starts
// them; nothing spins waiting for the other.
TEST(BeatGate, OnePlayOfManyAtOnceGetsThrough)
{
    constexpr int kBeats = 500000;
    struct alignas(64) OwnLine {
        BeatGate gate;
    };
    std::vector<OwnLine> row(64);
    const auto start = BeatGate::Clock::now();
    std::latch bothReady(2);
    const auto play = [&](bool fromTheEnd) {
        bothReady.arrive_and_wait();
        int passed = 0;
        for (int beat = 0; beat < kBeats; ++beat)
            for (std::size_t k = 0; k < row.size(); ++k)
                passed += row[fromTheEnd ? row.size() - 1 - k : k].gate.Pass(start + beat * BeatGate::kSameBeat);
        return passed;
    };
    std::future<int> other = std::async(std::launch::async, play, true);
    EXPECT_EQ(play(false) + other.get(), kBeats * static_cast<int>(row.size()));
}
