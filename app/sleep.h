#pragma once

#include <chrono>

// Suspends the calling thread until the steady clock reaches the deadline,
// overshooting by microseconds at most; returns at once if it has passed.
void SleepUntil(std::chrono::steady_clock::time_point deadline);
