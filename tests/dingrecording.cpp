#include "tests/dingrecording.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
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
    while (!stop_.load()) {
        pollfd ready{fd_, POLLIN, 0};
        if (::poll(&ready, 1, 100) <= 0)
            continue;
        const ssize_t got = ::read(fd_, buffer + carried, sizeof buffer - carried);
        if (got <= 0) {
            if (got < 0 && (errno == EAGAIN || errno == EINTR))
                continue;
            return;  // the writer is gone
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

std::vector<std::int16_t> PipeRecorder::Stop()
{
    stop_ = true;
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

Comparison CompareWithPlays(std::span<const Sound> sounds, int sampleRate, std::span<const PlayGroup> groups,
                            double clipSoundSeconds, double spacingTolerance, double lengthTolerance)
{
    Comparison result;
    if (sounds.size() != groups.size()) {
        result.faults.push_back("heard " + std::to_string(sounds.size()) + " sounds for " +
                                std::to_string(groups.size()) + " groups of plays");
        return result;
    }
    const double rate = sampleRate;
    const auto opensStream = [&](std::size_t k) {
        return k == 0 || groups[k].first - groups[k - 1].last >= kStreamReopenSeconds;
    };
    for (std::size_t k = 0; k < sounds.size(); ++k) {
        const std::string which = "sound " + std::to_string(k) + ": ";
        const bool restarted = groups[k].last > groups[k].first;
        const double expectedLength = groups[k].last - groups[k].first + clipSoundSeconds;
        const double length = static_cast<double>(sounds[k].length) / rate;
        double lengthSlack = lengthTolerance;
        if (restarted)
            lengthSlack += spacingTolerance + (opensStream(k) ? kStreamOpeningSlackSeconds : 0.0);
        if (std::abs(length - expectedLength) > lengthSlack)
            result.faults.push_back(which + "lasts " + std::to_string(length * 1000) + " ms, expected " +
                                    std::to_string(expectedLength * 1000) + " ms");
        if (k == 0)
            continue;
        const double spacing = static_cast<double>(sounds[k].onset - sounds[k - 1].onset) / rate;
        const double error = spacing - (groups[k].first - groups[k - 1].first);
        const bool nextToOpening = opensStream(k) || opensStream(k - 1);
        if (!nextToOpening)
            result.spacingErrors.push_back(error);
        if (std::abs(error) > spacingTolerance + (nextToOpening ? kStreamOpeningSlackSeconds : 0.0))
            result.faults.push_back(which + "starts " + std::to_string(error * 1000) +
                                    " ms off the spacing of its plays");
    }
    return result;
}

}  // namespace dingcheck
