#include "tests/dingrecording.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace dingcheck {

PipeRecorder::PipeRecorder(const std::string& fifoPath)
{
    // Non-blocking, so that a FIFO without a writer cannot hang the open.
    fd_ = ::open(fifoPath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0)
        throw std::runtime_error(fifoPath + ": " + std::strerror(errno));
    thread_ = std::thread([this] { Read(); });
}

PipeRecorder::~PipeRecorder()
{
    Stop();
}

void PipeRecorder::Read()
{
    std::uint8_t buffer[4096];
    std::size_t carried = 0;  // a byte left over from a read that ended inside a sample
    for (;;) {
        {
            std::unique_lock lock(mutex_);
            if (stop_)
                return;
        }
        pollfd ready{fd_, POLLIN, 0};
        if (::poll(&ready, 1, 100) <= 0)
            continue;
        const ssize_t got = ::read(fd_, buffer + carried, sizeof buffer - carried);
        if (got == 0) {
            // No writer just now: the server is gone, perhaps to come back.
            std::unique_lock lock(mutex_);
            stopRequested_.wait_for(lock, std::chrono::milliseconds(20), [this] { return stop_; });
            continue;
        }
        if (got < 0) {
            if (errno == EAGAIN || errno == EINTR)
                continue;
            return;
        }
        const std::size_t bytes = carried + static_cast<std::size_t>(got);
        const Clock::time_point now = Clock::now();
        std::lock_guard lock(mutex_);
        for (std::size_t at = 0; at + 1 < bytes; at += 2)
            samples_.push_back(static_cast<std::int16_t>(buffer[at] | buffer[at + 1] << 8));
        arrivals_.emplace_back(samples_.size(), now);
        carried = bytes % 2;
        if (carried)
            buffer[0] = buffer[bytes - 1];
    }
}

std::size_t PipeRecorder::Recorded() const
{
    std::lock_guard lock(mutex_);
    return samples_.size();
}

std::vector<std::int16_t> PipeRecorder::Samples() const
{
    std::lock_guard lock(mutex_);
    return samples_;
}

std::vector<std::int16_t> PipeRecorder::Stop()
{
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    stopRequested_.notify_all();
    if (thread_.joinable())
        thread_.join();
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    return samples_;
}

Clock::time_point PipeRecorder::ArrivalOf(std::size_t sample) const
{
    std::lock_guard lock(mutex_);
    const auto arrived = std::upper_bound(
        arrivals_.begin(), arrivals_.end(), sample,
        [](std::size_t index, const auto& arrival) { return index < arrival.first; });
    return arrived == arrivals_.end() ? Clock::time_point::max() : arrived->second;
}

std::vector<Sound> FindSounds(std::span<const std::int16_t> recording, int sampleRate, int threshold)
{
    const std::size_t gap = static_cast<std::size_t>(sampleRate) * kGapMilliseconds / 1000;
    std::vector<Sound> sounds;
    std::size_t lastLoud = 0;
    for (std::size_t n = 0; n < recording.size(); ++n) {
        if (std::abs(int{recording[n]}) < threshold)
            continue;
        if (!sounds.empty() && n - lastLoud <= gap)
            sounds.back().length = n + 1 - sounds.back().onset;
        else
            sounds.push_back(Sound{n, 1});
        lastLoud = n;
    }
    return sounds;
}

std::vector<PlayGroup> GroupPlays(std::span<const double> playSeconds, double clipSeconds)
{
    std::vector<PlayGroup> groups;
    for (double play : playSeconds) {
        if (!groups.empty() && play - groups.back().last < clipSeconds)
            groups.back().last = play;
        else
            groups.push_back(PlayGroup{play, play});
    }
    return groups;
}

ClipSound MakeClipSound(std::vector<std::int16_t> samples, int sampleRate)
{
    int peak = 0;
    for (std::int16_t s : samples)
        peak = std::max(peak, std::abs(int{s}));
    ClipSound clip{std::move(samples), sampleRate, peak / 50, {}};
    const std::vector<Sound> sounds = FindSounds(clip.samples, sampleRate, clip.threshold);
    if (sounds.size() != 1)
        throw std::runtime_error("the clip holds " + std::to_string(sounds.size()) + " sounds, not one");
    clip.sound = sounds.front();
    return clip;
}

double Correlation(std::span<const std::int16_t> recording, std::ptrdiff_t start, const ClipSound& clip)
{
    constexpr std::ptrdiff_t kLag = 3;
    const auto size = static_cast<std::ptrdiff_t>(recording.size());
    double best = 0.0;
    for (std::ptrdiff_t lag = -kLag; lag <= kLag; ++lag) {
        double xy = 0.0, xx = 0.0, yy = 0.0;
        for (std::size_t n = 0; n < clip.samples.size(); ++n) {
            const std::ptrdiff_t at = start + lag + static_cast<std::ptrdiff_t>(n);
            const double x = at >= 0 && at < size ? recording[static_cast<std::size_t>(at)] : 0.0;
            const double y = clip.samples[n];
            xy += x * y;
            xx += x * x;
            yy += y * y;
        }
        if (xx > 0.0 && yy > 0.0)
            best = std::max(best, xy / std::sqrt(xx * yy));
    }
    return best;
}

DingMatch MatchDing(std::span<const std::int16_t> recording, const Sound& sound, const ClipSound& clip)
{
    const auto start = static_cast<std::ptrdiff_t>(sound.onset) - static_cast<std::ptrdiff_t>(clip.sound.onset);
    DingMatch match{Correlation(recording, start, clip), {}};
    const auto ms = [&](std::size_t samples) { return std::to_string(samples * 1000 / clip.sampleRate) + " ms"; };
    const std::size_t slack = static_cast<std::size_t>(clip.sampleRate) * 2 / 1000;
    if (sound.length + slack < clip.sound.length || sound.length > clip.sound.length + slack)
        match.fault = "lasts " + ms(sound.length) + ", the clip once " + ms(clip.sound.length);
    else if (match.correlation < kWholeDing)
        match.fault = "matches the clip only to " + std::to_string(match.correlation);
    else if (std::abs(recording[sound.onset]) > 2 * std::abs(clip.samples[clip.sound.onset]))
        match.fault = "jumps in at " + std::to_string(recording[sound.onset]) + ": its attack is missing";
    return match;
}

DingCheck CheckDings(std::span<const std::int16_t> recording, std::span<const Sound> sounds,
                     std::span<const double> onsets, std::span<const PlayGroup> groups, const ClipSound& clip)
{
    DingCheck result;
    if (sounds.size() != groups.size() || onsets.size() != sounds.size()) {
        result.faults.push_back("heard " + std::to_string(sounds.size()) + " sounds for " +
                                std::to_string(groups.size()) + " groups of plays");
        return result;
    }
    const auto ms = [](double seconds) { return std::to_string(std::lround(seconds * 1000)) + " ms"; };
    for (std::size_t k = 0; k < sounds.size(); ++k) {
        const std::string which = "sound " + std::to_string(k) + ": ";
        const DingMatch match = MatchDing(recording, sounds[k], clip);
        result.correlations.push_back(match.correlation);
        if (!match.fault.empty())
            result.faults.push_back(which + match.fault);
        const double latency = onsets[k] - groups[k].first;
        result.latencies.push_back(latency);
        if (latency < 0.0)
            result.faults.push_back(which + "came " + ms(-latency) + " before its play");
        if (k + 1 < groups.size() && onsets[k] >= groups[k + 1].first)
            result.faults.push_back(which + "came " + ms(latency) + " after its play, past the next one");
    }
    return result;
}

int OpenStreams()
{
    std::FILE* pactl = ::popen("pactl list short sink-inputs", "r");
    if (!pactl)
        return -1;
    int lines = 0;
    for (int c; (c = std::fgetc(pactl)) != EOF;)
        lines += c == '\n';
    return ::pclose(pactl) == 0 ? lines : -1;
}

std::vector<std::string> ReportedLines::WaitFor(std::size_t count, std::chrono::milliseconds limit)
{
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, limit, [&] { return lines_.size() >= count; });
    return lines_;
}

std::vector<std::string> ReportedLines::Lines() const
{
    std::lock_guard lock(mutex_);
    return lines_;
}

}  // namespace dingcheck
