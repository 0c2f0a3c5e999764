#pragma once

#include <chrono>

// Suspends the calling thread until the steady clock reaches the deadline;
// returns at once if it has passed. The thread wakes within microseconds of
// it on an idle machine, later when the kernel has other work to run first.
void SleepUntil(std::chrono::steady_clock::time_point deadline);
