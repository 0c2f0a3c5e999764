#include "app/sleep.h"

#include <sys/prctl.h>

#include <chrono>
#include <thread>

void Sleep(int milliseconds)
{
    // Linux lets a sleep run late by the thread's timer slack, 50 us by
    // default; a sweep sleeps hundreds of times, so its pace needs the slack
    // close to zero. Set once per thread.
    [[maybe_unused]] thread_local const bool slackLowered = prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL) == 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}
