// Downloads on several workers, results in manifest order: whatever order
// the workers finish in, entries come back in the order they were queued,
// each with its own outcome, and never more run at once than asked for.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "patch/rate_cap.h"
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

// Also once widened (a multiplexed server): more run at once than the
// jobs, within the bound, and never for a pass of one job.
TEST(Transfers, EntriesComeBackInQueueOrderWithTheirOwnOutcomes) {
    struct Case {
        int jobs;
        bool widened;
        int mostAllowed;
    } cases[] = {{4, false, 4}, {4, true, 4 * MultiplexedDownloadsPerJob}, {1, true, 1}};
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.jobs << " jobs" << (c.widened ? ", widened" : ""));
        const int entries = 300;
        s_mostRunning = 0;
        StartTransfers(c.jobs, FakeTransfer);
        if (c.widened) WidenTransfers();
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
        EXPECT_LE(s_mostRunning, c.mostAllowed);
        if (c.jobs > 1) {
            EXPECT_GT(s_mostRunning, c.widened ? c.jobs : 1);  // they really ran side by side
        }
    }
}

namespace {

// Work shared by one download: pieces taken one per call, and how many
// calls are inside the work right now.
struct SharedPieces {
    std::atomic<int> left{40};
    std::atomic<int> inside{0};
    std::atomic<int> done{0};
};
SharedPieces s_shared;

bool TakePiece(void *context, char *) {
    SharedPieces *shared = static_cast<SharedPieces *>(context);
    shared->inside++;
    bool took = shared->left.fetch_sub(1) > 0;
    if (took) std::this_thread::sleep_for(std::chrono::milliseconds(2)), shared->done++;
    shared->inside--;
    return took;
}

// Offers its pieces and leaves them all to the idle workers.
bool OfferingTransfer(QueuedEntry *, char *) {
    if (!OfferWork(TakePiece, &s_shared)) return false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (s_shared.done < 40 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    WithdrawWork(&s_shared);
    return s_shared.inside == 0;  // nobody is still at it once withdrawn
}

}  // namespace

TEST(Transfers, IdleWorkersTakeTheWorkADownloadOffersUntilItIsWithdrawn) {
    StartTransfers(3, OfferingTransfer);
    QueuedEntry *queued = NextQueueSlot();
    ASSERT_NE(queued, nullptr);
    queued->action = PlanDownload;
    queued->failed = false;
    QueueEntry(queued);
    const QueuedEntry *finished = TakeFinishedEntry(true);
    StopTransfers();
    ASSERT_NE(finished, nullptr);
    EXPECT_FALSE(finished->failed);
    EXPECT_EQ(s_shared.done, 40);
    // With one worker there is nobody to share with: the caller does it all.
    StartTransfers(1, OfferingTransfer);
    EXPECT_FALSE(OfferWork(TakePiece, &s_shared));
    StopTransfers();
}

// The cap every transfer of a pass shares: each byte is paid for at the
// cap, and idle time is credited for at most a short burst.
TEST(Transfers, TheCapChargesEveryByteAndCreditsIdleTimeOnlyUpToABurst) {
    struct Step {
        int64_t nowMs, bytes, waitMs;
    };
    const int64_t rate = 1000;  // bytes per second: a byte costs 1 ms
    const Step steps[] = {
        {10000, 100, 0},    // after a long idle time only the burst is credited: 250 ms, of which 100 are used
        {10000, 150, 0},    // the rest of the burst
        {10000, 100, 100},  // beyond it the reader waits for the bytes' time
        {10050, 100, 150},  // a second reader at once queues behind the first
        {10300, 400, 300},  // the 100 ms since the last byte was paid for count, the rest is waited for
        {20000, 1, 0},      // idle again
    };
    RateCapState state = {0};
    for (const Step &step : steps)
        EXPECT_EQ(RateCapWaitMs(&state, step.nowMs, step.bytes, rate), step.waitMs) << step.nowMs << " " << step.bytes;
    EXPECT_EQ(RateCapWaitMs(&state, 20000, 5000, 0), 0);  // no cap
    // Small charges are not each rounded up: 1,998 bytes at 1,000 B/s in
    // pieces of 3 cost 1,998 ms, of which the burst pays 250.
    RateCapState small = {0};
    int64_t lastWait = 0;
    for (int i = 0; i < 666; i++) lastWait = RateCapWaitMs(&small, 50000, 3, rate);
    EXPECT_EQ(lastWait, 1748);
}
