// Laying the clip into the sound stream: whole plays, silence, restarts and
// stops that fade instead of clicking.

#include "sound/clipvoice.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>
#include <vector>

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
    voice.Restart();
    EXPECT_TRUE(voice.Sounding());
    std::vector<std::int16_t> expected = ramp;
    expected.resize(150, 0);
    EXPECT_EQ(Take(voice, 150), expected);
    EXPECT_FALSE(voice.Sounding());
}

TEST(ClipVoice, RestartBeginsAgainWhileTheInterruptedPlayFadesOut)
{
    const wav::Clip clip = MonoClip(std::vector<std::int16_t>(200, 1000));
    ClipVoice voice(clip);
    voice.Restart();
    Take(voice, 50);
    voice.Restart();

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
    voice.Restart();
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
    const wav::Clip clip = MonoClip(std::vector<std::int16_t>(100, 30000));
    ClipVoice voice(clip);
    voice.Restart();
    Take(voice, 20);
    voice.Restart();
    EXPECT_EQ(Take(voice, 1)[0], 32767);
}

TEST(ClipVoice, StereoFramesKeepTheirChannels)
{
    const wav::Clip clip{2, kRate, {1, -1, 2, -2, 3, -3}};
    ClipVoice voice(clip);
    voice.Restart();
    EXPECT_EQ(Take(voice, 10, 4), (std::vector<std::int16_t>{1, -1, 2, -2, 3, -3, 0, 0, 0, 0}));
}
