// Clock seam: a millisecond tick count for seeding and coarse timing, and
// sleeping.
// Backends: win32/clock_win32.cpp (GetTickCount) and
// posix/clock_posix.cpp (clock_gettime with CLOCK_MONOTONIC).
// The count starts at an arbitrary point and wraps after about 49.7 days.
#pragma once
#include <cstdint>

uint32_t TickCountMs();

// Sleeps the calling thread for about ms milliseconds (at least that long,
// unless the process ends); the back-off between download attempts.
void SleepMs(int ms);
