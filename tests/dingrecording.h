#pragma once

// Listening to what a sound server really played, to check the heartbeat
// dings in it: a recorder for the FIFO of a pipe sink (see tests/with-pulse),
// the analysis that finds the dings in a recording and holds them against the
// clip and the plays that asked for them, and a collector for the lines a
// sound stream reports.

#include <chrono>
#include <condition_variable>
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
// when each stretch arrived. A writer that goes away (a server killed) may
// come back; the recording then goes on where it stopped.
class PipeRecorder {
public:
    explicit PipeRecorder(const std::string& fifoPath);  // throws if the FIFO cannot be opened
    ~PipeRecorder();

    PipeRecorder(const PipeRecorder&) = delete;
    PipeRecorder& operator=(const PipeRecorder&) = delete;

    // How many samples have arrived so far.
    std::size_t Recorded() const;
    // Everything recorded so far, and when each sample had arrived.
    std::vector<std::int16_t> Samples() const;
    Clock::time_point ArrivalOf(std::size_t sample) const;
    // Stops reading and returns everything recorded.
    std::vector<std::int16_t> Stop();

private:
    void Read();

    int fd_ = -1;
    bool stop_ = false;
    mutable std::mutex mutex_;
    std::condition_variable stopRequested_;
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

// The clip as the recording should hold it, with the threshold that finds
// sounds in both and the one sound FindSounds finds in the clip itself.
struct ClipSound {
    std::vector<std::int16_t> samples;
    int sampleRate = 0;
    int threshold = 0;
    Sound sound;
};

// Throws if the clip is not one sound.
ClipSound MakeClipSound(std::vector<std::int16_t> samples, int sampleRate);

// How well the recording matches the clip laid at sample start: their
// normalised correlation, the best within a few samples either way. A whole
// ding gives 1; one whose attack came twice gives 0.92 to 0.98.
double Correlation(std::span<const std::int16_t> recording, std::ptrdiff_t start, const ClipSound& clip);

// A ding that matches less than this is not the clip played once, whole.
inline constexpr double kWholeDing = 0.99;

// How a sound matches the clip played once, whole, from its attack: its
// correlation with the clip, and what is wrong with it (empty when nothing is).
struct DingMatch {
    double correlation = 0.0;
    std::string fault;
};

DingMatch MatchDing(std::span<const std::int16_t> recording, const Sound& sound, const ClipSound& clip);

// The plays of one beat, which make one ding.
struct PlayGroup {
    double first = 0.0;  // seconds
    double last = 0.0;
};

// Plays closer than the clip's length to the one before belong to one group.
std::vector<PlayGroup> GroupPlays(std::span<const double> playSeconds, double clipSeconds);

// How the sounds of a recording match the groups of plays: one sound per
// group, the clip once and whole, coming after the group's first play and
// before the next group's.
struct DingCheck {
    std::vector<std::string> faults;   // empty when the recording matches
    std::vector<double> correlations;  // each sound against the clip
    std::vector<double> latencies;     // seconds from each group's first play to its sound's arrival
};

// onsets[k]: when sound k arrived, in seconds on the plays' clock.
DingCheck CheckDings(std::span<const std::int16_t> recording, std::span<const Sound> sounds,
                     std::span<const double> onsets, std::span<const PlayGroup> groups, const ClipSound& clip);

// How many playback streams the server has open; -1 if pactl fails.
int OpenStreams();

// Collects the lines a sound stream reports, from whatever thread.
class ReportedLines {
public:
    // The function to hand to the stream; it must not outlive this.
    auto Sink()
    {
        return [this](const std::string& line) {
            std::lock_guard lock(mutex_);
            lines_.push_back(line);
            changed_.notify_all();
        };
    }
    // Waits until there are at least count lines, or the time is up; returns the lines.
    std::vector<std::string> WaitFor(std::size_t count, std::chrono::milliseconds limit);
    std::vector<std::string> Lines() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
};

}  // namespace dingcheck
