// A check/patch worker that cannot be started must not leave busy set, or
// every later click would be ignored until the launcher restarts.
#include <gtest/gtest.h>

#include "base/state.h"
#include "app/workers.h"
#include "patch/manifest.h"

extern int g_workerStartAttempts;

TEST(WorkerStartFailureWithSubstituteThreads, BusyIsClearedAgainAndTheNextClickTriesAgain) {
    ResetLauncherState(&g_state);
    EXPECT_FALSE(StartPassWorker(Patch));
    EXPECT_EQ(g_state.busy, 0);
    EXPECT_FALSE(StartPassWorker(Check));
    EXPECT_EQ(g_state.busy, 0);
    EXPECT_EQ(g_workerStartAttempts, 2);
}
