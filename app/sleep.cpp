#include "app/sleep.h"

#include <sys/prctl.h>
#include <time.h>

#include <cerrno>

void SleepUntil(std::chrono::steady_clock::time_point deadline)
{
    // Linux lets a sleep run late by the thread's timer slack, 50 us by
    // default; the sweep's pictures and beats are due on the microsecond, so
    // the slack is kept close to zero. Set once per thread.
    [[maybe_unused]] thread_local const bool slackLowered = prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL) == 0;

    // The steady clock reads CLOCK_MONOTONIC, so its time points are that
    // clock's times. An absolute wake-up time is immune to a delay between
    // reading the clock and going to sleep.
    const auto sinceBoot = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline.time_since_epoch());
    timespec wakeAt{};
    wakeAt.tv_sec = time_t(sinceBoot.count() / 1'000'000'000);
    wakeAt.tv_nsec = long(sinceBoot.count() % 1'000'000'000);
    // A signal handler may end the sleep early; the deadline stays the same.
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wakeAt, nullptr) == EINTR) {
    }
}
