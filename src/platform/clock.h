// Clock seam: a millisecond tick count for seeding and coarse timing,
// sleeping, and the wall-clock time in seconds.
// Backends: win32/clock_win32.cpp (GetTickCount, GetSystemTimeAsFileTime)
// and posix/clock_posix.cpp (clock_gettime with CLOCK_MONOTONIC and
// CLOCK_REALTIME).
// The count starts at an arbitrary point and wraps after about 49.7 days.
#pragma once
#include <cstdint>

uint32_t TickCountMs();

// Sleeps the calling thread for about ms milliseconds (at least that long,
// unless the process ends); the back-off between download attempts.
void SleepMs(int ms);

// The system's wall-clock time: whole seconds since 1970-01-01 00:00 UTC.
// It follows every change of the system's clock; for comparing with times
// that were signed elsewhere (a manifest's expiry), not for measuring.
int64_t WallClockSeconds();
