#pragma once

// One clip laid into a continuous stream: the clip from its beginning after
// each play, silence otherwise. A play that is interrupted, by a new play or a
// stop, fades out over a few milliseconds instead of breaking off with a click.

#include "sound/wavfile.h"

#include <cstddef>
#include <cstdint>
#include <span>

namespace sound {

class ClipVoice {
public:
    static constexpr int kFadeMilliseconds = 3;

    // The clip must outlive the voice.
    explicit ClipVoice(const wav::Clip& clip);

    // Starts the clip from its beginning.
    void Play();
    void Stop();
    bool Sounding() const;
    // How many frames are left before the voice falls silent.
    std::size_t FramesLeft() const;

    // Fills out, a whole number of frames, with the next stretch of the stream.
    void Fill(std::span<std::int16_t> out);

private:
    static constexpr std::size_t kSilent = static_cast<std::size_t>(-1);

    const wav::Clip& clip_;
    const int fadeFrames_;
    std::size_t position_ = kSilent;  // next sample of the clip, or kSilent
    std::size_t fadingPosition_ = kSilent;  // next sample of the play that fades out
    int fadeLeft_ = 0;  // frames the fading play still sounds
};

}  // namespace sound
