#pragma once

// Listening to what a sound server really played, to check the heartbeat
// dings in it: a recorder for the FIFO of a pipe sink (see tests/with-pulse)
// and the analysis that finds the dings in a recording and holds them against
// the times of the plays that asked for them.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace dingcheck {

using Clock = std::chrono::steady_clock;

// Reads signed 16-bit mono samples from a FIFO on a thread of its own, noting
// when each stretch arrived. The pipe sink writes in real time, silence
// included, so sample n of the recording sounded n / rate seconds after sample 0.
class PipeRecorder {
public:
    explicit PipeRecorder(const std::string& fifoPath);  // throws if the FIFO cannot be opened
    ~PipeRecorder();

    PipeRecorder(const PipeRecorder&) = delete;
    PipeRecorder& operator=(const PipeRecorder&) = delete;

    // How many samples have arrived so far.
    std::size_t Recorded() const;
    // Stops reading and returns everything recorded.
    std::vector<std::int16_t> Stop();
    // When the sample with the given index had arrived. Valid after Stop.
    Clock::time_point ArrivalOf(std::size_t sample) const;

private:
    void Read();

    int fd_ = -1;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::vector<std::int16_t> samples_;
    std::vector<std::pair<std::size_t, Clock::time_point>> arrivals_;  // samples so far, and when
    std::thread thread_;
};

// A stretch of sound: from the first to the last sample that reaches the
// threshold, with no quiet stretch of kGapMilliseconds or more inside.
struct Sound {
    std::size_t onset = 0;   // sample index
    std::size_t length = 0;  // samples
};

inline constexpr int kGapMilliseconds = 2;

std::vector<Sound> FindSounds(std::span<const std::int16_t> recording, int sampleRate, int threshold);

// Plays that come while the clip still sounds restart it, so they make one sound together.
struct PlayGroup {
    double first = 0.0;  // seconds
    double last = 0.0;
};

std::vector<PlayGroup> GroupPlays(std::span<const double> playSeconds, double clipSeconds);

// The player closes its stream after about a second without a play; the
// next play opens it again.
inline constexpr double kStreamReopenSeconds = 1.0;
// A sound that opens the stream comes out up to this much sooner or later,
// against its play, than the sounds that follow in the open stream: it
// depends on where the server's rendering stands when the stream starts.
inline constexpr double kStreamOpeningSlackSeconds = 0.050;

// How the recording matches the plays: one sound per group of plays, each
// whole (as long as the clip, plus the time between the first and the last
// play of its group) and each starting as far after the previous one as its
// plays did. A restart inside a group lands with the same uncertainty as an
// onset; next to a sound that opens the stream, both allow the opening slack.
struct Comparison {
    std::vector<std::string> faults;      // empty when the recording matches
    std::vector<double> spacingErrors;    // seconds, sound minus play spacing, inside an open stream
};

Comparison CompareWithPlays(std::span<const Sound> sounds, int sampleRate, std::span<const PlayGroup> groups,
                            double clipSoundSeconds, double spacingTolerance, double lengthTolerance);

}  // namespace dingcheck
