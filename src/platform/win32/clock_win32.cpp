// Clock seam on Windows: the system tick count (GetTickCount), which is
// milliseconds since boot, wrapping at 2^32; the wall-clock time from
// GetSystemTimeAsFileTime. Needs kernel32 only.
// Leaves out: anything finer than the tick (10-16 ms on most systems).
#include <windows.h>

#include "platform/clock.h"

uint32_t TickCountMs() { return GetTickCount(); }

void SleepMs(int ms) {
    if (ms > 0) Sleep(DWORD(ms));
}

// A FILETIME counts 100 ns units since 1601-01-01 UTC.
constexpr uint64_t FileTimeUnitsPerSecond = 10000000ull;
constexpr uint64_t FileTimeUnitsBefore1970 = 116444736000000000ull;

int64_t WallClockSeconds() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    uint64_t units = (uint64_t(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    return int64_t((units - FileTimeUnitsBefore1970) / FileTimeUnitsPerSecond);
}
