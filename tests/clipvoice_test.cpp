// Laying the clip into the sound stream: whole plays, silence, one play per
// beat however often it is cued, restarts and stops that fade instead of clicking.

#include "sound/clipvoice.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>
#include <vector>

using sound::ClipVoice;

namespace {

constexpr int kRate = 8000;
constexpr int kFadeFrames = kRate * ClipVoice::kFadeMilliseconds / 1000;
constexpr int kSameBeatFrames = kRate * ClipVoice::kSameBeatMilliseconds / 1000;

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
    std::vector<std::int16_t> expected = ramp;
    expected.resize(150, 0);
    EXPECT_EQ(Take(voice, 150), expected);
    EXPECT_FALSE(voice.Sounding());
}

// Plays every millisecond: the clip restarts only once it is past its first
// part, and the restarted play starts whole while the interrupted one fades.
TEST(ClipVoice, PlaysInTheClipsFirstPartAreIgnoredLaterOnesRestartIt)
{
    std::vector<std::int16_t> ramp(3 * kSameBeatFrames);
    std::iota(ramp.begin(), ramp.end(), std::int16_t{1});
    const wav::Clip clip = MonoClip(ramp);
    ClipVoice voice(clip);
    constexpr int kMillisecond = kRate / 1000;

    std::vector<std::int16_t> out;
    for (int ms = 0; ms < 2 * ClipVoice::kSameBeatMilliseconds + 5; ++ms) {
        voice.Play();
        const std::vector<std::int16_t> chunk = Take(voice, kMillisecond);
        out.insert(out.end(), chunk.begin(), chunk.end());
    }
    const std::vector<std::int16_t> tail = Take(voice, ramp.size());
    out.insert(out.end(), tail.begin(), tail.end());

    // The first play, untouched by the 49 plays that came in its first part.
    for (int n = 0; n < kSameBeatFrames; ++n)
        ASSERT_EQ(out[n], n + 1) << n;
    // Restarts at 50 and 100 ms: the new play plus the old one falling away.
    // Each interrupted play had sounded kSameBeatFrames samples.
    for (int restart : {kSameBeatFrames, 2 * kSameBeatFrames}) {
        for (int n = 0; n < kFadeFrames; ++n) {
            const int fading = out[restart + n] - (n + 1);
            EXPECT_GT(fading, 0) << restart << "+" << n;
            EXPECT_LT(fading, kSameBeatFrames + n + 1) << restart << "+" << n;
        }
        for (int n = kFadeFrames; n < kSameBeatFrames; ++n)
            ASSERT_EQ(out[restart + n], n + 1) << restart << "+" << n;
    }
    // The last play runs whole to its end, then silence.
    const std::size_t lastStart = 2 * kSameBeatFrames;
    for (std::size_t n = kFadeFrames; n < ramp.size(); ++n)
        ASSERT_EQ(out[lastStart + n], ramp[n]) << n;
    EXPECT_EQ(out[lastStart + ramp.size()], 0);
    EXPECT_FALSE(voice.Sounding());
}

// A clip shorter than its first part: once it has ended, the next play sounds.
TEST(ClipVoice, AShortClipThatEndedPlaysAgain)
{
    const wav::Clip clip = MonoClip(std::vector<std::int16_t>(10, 500));
    ClipVoice voice(clip);
    voice.Play();
    Take(voice, 20);
    voice.Play();
    EXPECT_EQ(Take(voice, 12), (std::vector<std::int16_t>{500, 500, 500, 500, 500, 500, 500, 500, 500, 500, 0, 0}));
}

TEST(ClipVoice, StopFadesOutWithinAFewMilliseconds)
{
    const wav::Clip clip = MonoClip(std::vector<std::int16_t>(400, -3000));
    ClipVoice voice(clip);
    voice.Play();
    Take(voice, 10);
    voice.Stop();
    EXPECT_TRUE(voice.Sounding());

    const std::vector<std::int16_t> out = Take(voice, 100);
    EXPECT_LT(out[0], -2500);
    for (int n = 1; n < kFadeFrames; ++n)
        EXPECT_GE(out[n], out[n - 1]) << n;
    EXPECT_GT(out[kFadeFrames - 1], -3000 / 10);
    EXPECT_EQ(std::vector<std::int16_t>(out.begin() + kFadeFrames, out.end()),
              std::vector<std::int16_t>(100 - kFadeFrames, 0));
    EXPECT_FALSE(voice.Sounding());
}

TEST(ClipVoice, LoudOverlapClampsInsteadOfWrappingAround)
{
    const wav::Clip clip = MonoClip(std::vector<std::int16_t>(2 * kSameBeatFrames, 30000));
    ClipVoice voice(clip);
    voice.Play();
    Take(voice, kSameBeatFrames);
    voice.Play();
    EXPECT_EQ(Take(voice, 1)[0], 32767);
}

TEST(ClipVoice, StereoFramesKeepTheirChannels)
{
    const wav::Clip clip{2, kRate, {1, -1, 2, -2, 3, -3}};
    ClipVoice voice(clip);
    voice.Play();
    EXPECT_EQ(Take(voice, 10, 4), (std::vector<std::int16_t>{1, -1, 2, -2, 3, -3, 0, 0, 0, 0}));
}
