// Clock seam on POSIX: milliseconds of the monotonic clock, cut to 32 bits
// so it wraps like the Windows tick count. Needs clock_gettime only.
// The tick count is not affected by changes of the wall-clock time; the
// wall-clock seconds are CLOCK_REALTIME's.
// Leaves out: anything finer than a millisecond.
#include <time.h>

#include "platform/clock.h"

uint32_t TickCountMs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return uint32_t(uint64_t(now.tv_sec) * 1000u + uint64_t(now.tv_nsec) / 1000000u);
}

// nanosleep goes on after a signal for the time that is left.
void SleepMs(int ms) {
    if (ms <= 0) return;
    timespec left = {ms / 1000, long(ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0) {
    }
}

int64_t WallClockSeconds() {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return int64_t(now.tv_sec);
}
