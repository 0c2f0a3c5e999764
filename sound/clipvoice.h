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
    // A beat may be cued twice, a sample or two apart: a play that comes while
    // the clip is still this young is the same beat again and is ignored, so
    // that every beat sounds the clip once, whole. Far below the shortest
    // beat, far above the gap between one beat's cues.
    static constexpr int kSameBeatMilliseconds = 50;

    // The clip must outlive the voice.
    explicit ClipVoice(const wav::Clip& clip);

    // Starts the clip from its beginning, unless it started less than
    // kSameBeatMilliseconds ago.
    void Play();
    void Stop();
    bool Sounding() const;

    // Fills out, a whole number of frames, with the next stretch of the stream.
    void Fill(std::span<std::int16_t> out);

private:
    static constexpr std::size_t kSilent = static_cast<std::size_t>(-1);

    const wav::Clip& clip_;
    const int fadeFrames_;
    const std::size_t sameBeatSamples_;
    std::size_t position_ = kSilent;  // next sample of the clip, or kSilent
    std::size_t fadingPosition_ = kSilent;  // next sample of the play that fades out
    int fadeLeft_ = 0;  // frames the fading play still sounds
};

}  // namespace sound
