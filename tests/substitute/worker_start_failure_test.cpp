// A check/patch worker that cannot be started must not leave busy set, or
// every later click would be ignored until the launcher restarts.
#include <gtest/gtest.h>

#include "app/workers.h"
#include "base/state.h"
#include "patch/manifest.h"
#include "patch/transfers.h"

extern int g_workerStartAttempts;

TEST(WorkerStartFailureWithSubstituteThreads, BusyIsClearedAgainAndTheNextClickTriesAgain) {
    ResetLauncherState(&g_state);
    EXPECT_FALSE(StartPassWorker(Patch));
    EXPECT_EQ(g_state.busy, 0);
    EXPECT_FALSE(StartPassWorker(Check));
    EXPECT_EQ(g_state.busy, 0);
    EXPECT_EQ(g_workerStartAttempts, 2);
}

// Without any worker thread a pass still downloads: each file on the pass's
// own thread as it is queued, so every entry is finished when taken back.
static bool MarkDone(QueuedEntry *queued, char *) {
    queued->entry.expectedSize = -queued->entry.expectedSize;
    return true;
}

TEST(TransfersWithSubstituteThreads, DownloadsRunOnThePassThreadInOrder) {
    StartTransfers(8, MarkDone);
    for (int i = 1; i <= 3; i++) {
        QueuedEntry *queued = NextQueueSlot();
        ASSERT_NE(queued, nullptr);
        queued->entry.expectedSize = i;
        queued->action = PlanDownload;
        QueueEntry(queued);
        const QueuedEntry *finished = TakeFinishedEntry(false);
        ASSERT_NE(finished, nullptr);
        EXPECT_EQ(finished->entry.expectedSize, -i);
        EXPECT_FALSE(finished->failed);
    }
    StopTransfers();
}
