// Downloads on several workers, results in manifest order: whatever order
// the workers finish in, entries come back in the order they were queued,
// each with its own outcome, and never more run at once than asked for.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "patch/transfers.h"

namespace {

std::atomic<int> s_running{0};
std::atomic<int> s_mostRunning{0};

// Stands in for a download: takes a few ms that vary with the entry (so
// later entries often finish first), and fails every seventh one.
bool FakeTransfer(QueuedEntry *queued, char *buffer) {
    int now = ++s_running;
    for (int seen = s_mostRunning; now > seen && !s_mostRunning.compare_exchange_weak(seen, now);) {
    }
    buffer[0] = char(queued->entry.expectedSize);  // every worker has a buffer of its own
    std::this_thread::sleep_for(std::chrono::milliseconds((queued->entry.expectedSize * 37) % 11));
    s_running--;
    if (queued->entry.expectedSize % 7 == 0) {
        snprintf(queued->failure, FailureTextBytes, "failed %d", int(queued->entry.expectedSize));
        return false;
    }
    return true;
}

void ExpectInOrder(const QueuedEntry *finished, int expected) {
    ASSERT_NE(finished, nullptr);
    EXPECT_EQ(finished->entry.expectedSize, expected);
    bool download = expected % 3 != 0;
    EXPECT_EQ(finished->failed, download && expected % 7 == 0) << expected;
}

}  // namespace

TEST(Transfers, EntriesComeBackInQueueOrderWithTheirOwnOutcomes) {
    const int jobs = 4, entries = 300;
    StartTransfers(jobs, FakeTransfer);
    int next = 0;
    for (int i = 0; i < entries; i++) {
        QueuedEntry *queued;
        while ((queued = NextQueueSlot()) == nullptr) ExpectInOrder(TakeFinishedEntry(true), next++);
        queued->entry.expectedSize = i;
        queued->action = i % 3 != 0 ? PlanDownload : PlanInPlace;  // every third needs no download
        queued->failed = false;
        queued->failure[0] = 0;
        QueueEntry(queued);
        while (const QueuedEntry *finished = TakeFinishedEntry(false)) ExpectInOrder(finished, next++);
    }
    while (const QueuedEntry *finished = TakeFinishedEntry(true)) ExpectInOrder(finished, next++);
    StopTransfers();
    EXPECT_EQ(next, entries);
    EXPECT_LE(s_mostRunning, jobs);
    EXPECT_GT(s_mostRunning, 1);  // they really ran side by side
}
