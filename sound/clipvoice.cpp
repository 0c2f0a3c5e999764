#include "sound/clipvoice.h"

#include <algorithm>
#include <limits>

namespace sound {

ClipVoice::ClipVoice(const wav::Clip& clip)
    : clip_(clip), fadeFrames_(std::max(1, clip.sampleRate * kFadeMilliseconds / 1000))
{
}

void ClipVoice::Play()
{
    Stop();
    position_ = 0;
}

void ClipVoice::Stop()
{
    if (position_ < clip_.samples.size()) {
        fadingPosition_ = position_;
        fadeLeft_ = fadeFrames_;
    }
    position_ = kSilent;
}

bool ClipVoice::Sounding() const
{
    return FramesLeft() > 0;
}

std::size_t ClipVoice::FramesLeft() const
{
    const std::size_t end = clip_.samples.size();
    const auto channels = static_cast<std::size_t>(clip_.channels);
    const std::size_t playing = position_ < end ? (end - position_) / channels : 0;
    const std::size_t fading =
        fadeLeft_ > 0 && fadingPosition_ < end ? std::min<std::size_t>(fadeLeft_, (end - fadingPosition_) / channels) : 0;
    return std::max(playing, fading);
}

void ClipVoice::Fill(std::span<std::int16_t> out)
{
    const std::size_t end = clip_.samples.size();
    const auto channels = static_cast<std::size_t>(clip_.channels);
    for (std::size_t at = 0; at < out.size(); at += channels) {
        for (std::size_t channel = 0; channel < channels; ++channel) {
            int value = 0;
            if (position_ < end)
                value += clip_.samples[position_++];
            if (fadeLeft_ > 0 && fadingPosition_ < end)
                value += clip_.samples[fadingPosition_++] * fadeLeft_ / (fadeFrames_ + 1);
            out[at + channel] = static_cast<std::int16_t>(
                std::clamp(value, int{std::numeric_limits<std::int16_t>::min()},
                           int{std::numeric_limits<std::int16_t>::max()}));
        }
        if (fadeLeft_ > 0)
            --fadeLeft_;
    }
}

}  // namespace sound
