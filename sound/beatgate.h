#pragma once

// One ding per beat. A beat may be cued twice, a sample or two apart: a play
// that comes less than kSameBeat after the last one let through is that beat
// again and is dropped. Judged by when the plays come, not by how far the
// sound stream has got, which a late sound thread would skew.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <limits>

namespace sound {

class BeatGate {
public:
    using Clock = std::chrono::steady_clock;
    // Far above the 5 to 15 ms between one beat's cues, with room for the
    // window's thread to stall between them; far below the shortest beat, 350 ms.
    static constexpr Clock::duration kSameBeat = std::chrono::milliseconds(100);

    // True for the first play of a beat. Lock-free; plays may come from any thread.
    bool Pass(Clock::time_point now)
    {
        const std::int64_t at = now.time_since_epoch().count();
        std::int64_t last = lastPassed_.load(std::memory_order_relaxed);
        return at - last >= kSameBeat.count() &&
               lastPassed_.compare_exchange_strong(last, at, std::memory_order_relaxed);
    }

private:
    std::atomic<std::int64_t> lastPassed_{std::numeric_limits<std::int64_t>::min() / 2};
};

}  // namespace sound
