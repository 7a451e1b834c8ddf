// The bandwidth cap a player may set (MaxDownloadKiBps= in launcher.ini,
// launcher-patch --limit-rate): every transfer of a pass takes its body
// bytes from one allowance, so the pass as a whole keeps to the cap however
// many downloads run at once. A reader that got ahead of the allowance
// waits before it reads on; while it waits, the server's sending stalls
// behind full buffers. Platform-neutral over the clock seam.
#pragma once
#include <cstdint>

// How far the allowance may run ahead when the transfers were idle: a
// short burst, so the average over any long stretch stays at the cap.
constexpr int64_t RateCapBurstMs = 250;

// The allowance: the moment (on a monotonic clock, in microseconds, so that
// many small charges do not round up) by which the bytes received so far
// have been paid for at the cap.
struct RateCapState {
    int64_t paidUntilUs;
};

// Charges bytes just received at bytesPerSecond: how long the reader must
// wait (0 when it is within the allowance), and the allowance moved on.
int64_t RateCapWaitMs(RateCapState *state, int64_t nowMs, int64_t bytes, int64_t bytesPerSecond);

// Sets the pass's cap, KiB/s (0 or less: none), and starts a fresh allowance.
void SetRateCap(int32_t kibPerSecond);

// Charges bytes a transfer just received to the pass's allowance, waiting
// as long as the cap asks; returns at once when there is no cap.
void PaceReceivedBytes(int64_t bytes);
