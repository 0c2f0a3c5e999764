#pragma once

// Reading the beat sound from a WAV file, checked before anything plays it.
//
// Accepted: uncompressed PCM (format tag 1) with 8-bit unsigned or 16-bit
// signed samples, one or two channels, 8000 to 192000 frames per second, in a
// file of at most kMaxFileBytes holding at least one whole frame. Chunks other
// than "fmt " and "data" are skipped. Everything else is rejected with a short
// reason: compressed or extensible formats, other sample sizes or channel
// counts, a header whose sizes disagree with each other or with the file, and
// bytes that are not a RIFF WAVE file at all. Nothing is read past the bytes
// at hand.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace wav {

inline constexpr std::size_t kMaxFileBytes = 4 * 1024 * 1024;
inline constexpr int kMinSampleRate = 8000;
inline constexpr int kMaxSampleRate = 192000;

// A clip as 16-bit samples, the channels of a frame next to each other.
struct Clip {
    int channels = 0;
    int sampleRate = 0;
    std::vector<std::int16_t> samples;
};

struct ReadResult {
    Clip clip;
    std::string error;  // why the file was rejected; empty when the clip is good
    bool notFound = false;  // nothing by that name: the error says "cannot open"

    bool ok() const { return error.empty(); }
};

ReadResult ParseWav(std::span<const std::uint8_t> bytes);
// Never waits: a FIFO or a device in the file's place is refused, not read.
ReadResult ReadWavFile(const std::string& path);

}  // namespace wav
