#pragma once

// Suspends the calling thread for the given time, overshooting by microseconds
// at most.
void Sleep(int milliseconds);
