// Clock seam on POSIX: milliseconds of the monotonic clock, cut to 32 bits
// so it wraps like the Windows tick count. Needs clock_gettime only.
// Not affected by changes of the wall-clock time.
// Leaves out: anything finer than a millisecond, and wall-clock time.
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
