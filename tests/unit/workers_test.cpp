// The busy protocol around the check/patch worker, with a real thread and a
// patch server that refuses connections.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "base/state.h"
#include "app/workers.h"
#include "patch/engine.h"
#include "window_recording.h"

static bool WaitUntilIdle(std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (g_state.busy) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

TEST(Workers, OneRunAtATimeAndBusyClearsOnlyAfterTheClosingMessage) {
    ResetLauncherState(&g_state);
    ClearWindowRecords();
    // Port 1 on loopback: nothing listens, the connection is refused at once.
    CopyText(g_state.patchUrl, PatchUrlUnits, WTEXT("http://127.0.0.1:1/manifest.txt"));
    ASSERT_TRUE(StartPassWorker(Patch));
    bool secondStarted = StartPassWorker(Check);  // busy is still set, or the run already ended
    ASSERT_TRUE(WaitUntilIdle(std::chrono::seconds(20)));
    if (secondStarted) {
        ASSERT_TRUE(WaitUntilIdle(std::chrono::seconds(20)));
    }
    EXPECT_EQ(ShownStatuses().back().text, "Could not reach patch server (launcher.ini).");
    EXPECT_EQ(g_state.progress, -1);
    EXPECT_EQ(ShownStatuses().front().text, "Contacting patch server...");
    EXPECT_EQ(ShownStatuses().front().progress, 0);
}

TEST(Workers, BusyRefusesANewRunWithoutStartingOne) {
    ResetLauncherState(&g_state);
    g_state.busy = 1;
    EXPECT_FALSE(StartPassWorker(Patch));
    EXPECT_EQ(g_state.busy, 1);
    g_state.busy = 0;
}
