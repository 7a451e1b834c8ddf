// The pass's bandwidth cap: one allowance behind a mutex, charged by every
// transfer as its body bytes arrive.
#include "patch/rate_cap.h"

#include <atomic>
#include <mutex>

#include "platform/clock.h"

int64_t RateCapWaitMs(RateCapState *state, int64_t nowMs, int64_t bytes, int64_t bytesPerSecond) {
    if (bytesPerSecond <= 0 || bytes <= 0) return 0;
    int64_t nowUs = nowMs * 1000;
    int64_t earliest = nowUs - RateCapBurstMs * 1000;  // idle time is credited up to a burst, no more
    if (state->paidUntilUs < earliest) state->paidUntilUs = earliest;
    state->paidUntilUs += bytes * 1000000 / bytesPerSecond;
    return state->paidUntilUs > nowUs ? (state->paidUntilUs - nowUs) / 1000 : 0;
}

static std::atomic<int64_t> s_capBytesPerSecond{0};
static std::mutex s_capLock;
static RateCapState s_cap;
static uint32_t s_lastTick;  // the tick count, widened to 64 bits (it wraps after 49 days)
static int64_t s_nowMs;

void SetRateCap(int32_t kibPerSecond) {
    std::lock_guard<std::mutex> hold(s_capLock);
    s_lastTick = TickCountMs();
    s_nowMs = 0;
    s_cap.paidUntilUs = 0;
    s_capBytesPerSecond = kibPerSecond > 0 ? int64_t(kibPerSecond) * 1024 : 0;
}

void PaceReceivedBytes(int64_t bytes) {
    int64_t rate = s_capBytesPerSecond;
    if (rate <= 0) return;
    int64_t waitMs;
    {
        std::lock_guard<std::mutex> hold(s_capLock);
        uint32_t tick = TickCountMs();
        s_nowMs += uint32_t(tick - s_lastTick);
        s_lastTick = tick;
        waitMs = RateCapWaitMs(&s_cap, s_nowMs, bytes, rate);
    }
    if (waitMs > 0) SleepMs(int(waitMs));
}
