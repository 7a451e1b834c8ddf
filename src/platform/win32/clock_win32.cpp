// Clock seam on Windows: the system tick count (GetTickCount), which is
// milliseconds since boot, wrapping at 2^32.
// Needs kernel32 only.
// Leaves out: anything finer than the tick (10-16 ms on most systems).
#include <windows.h>

#include "platform/clock.h"

uint32_t TickCountMs() { return GetTickCount(); }

void SleepMs(int ms) {
    if (ms > 0) Sleep(DWORD(ms));
}
