// The busy protocol around the check/patch worker, with a real thread and a
// patch server that refuses connections.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "base/state.h"
#include "app/workers.h"
#include "patch/manifest.h"
#include "platform/files.h"
#include "test_files.h"
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

static std::vector<std::string> ShownTexts() {
    std::vector<std::string> texts;
    for (const ShownStatus &shown : ShownStatuses()) texts.push_back(shown.text);
    return texts;
}

TEST(Workers, AFolderAnotherPassHoldsShowsTheWaitThenThePassGoesOn) {
    ResetLauncherState(&g_state);
    ClearWindowRecords();
    WideString game = MakeScratchFolder();
    CopyText(g_state.programDir, ProgramDirUnits, game.c_str());
    CopyText(g_state.patchUrl, PatchUrlUnits, WTEXT("http://127.0.0.1:1/manifest.txt"));
    FolderLock *held = nullptr;
    ASSERT_EQ(TryLockFolder(game.c_str(), &held), FolderLocked);
    ASSERT_TRUE(StartPassWorker(Check));
    // The status line is the one thing shared with the pass while it runs.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    WideChar shown[StatusTextUnits] = {0};
    while (!TextEqual(shown, WTEXT("Waiting for another launcher to finish...")) &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ReadStatusText(&g_state, shown);
    }
    UnlockFolder(held);
    ASSERT_TRUE(WaitUntilIdle(std::chrono::seconds(20)));
    EXPECT_EQ(ShownTexts(), (std::vector<std::string>{"Contacting patch server...",
                                                      "Waiting for another launcher to finish...",
                                                      "Contacting patch server...",
                                                      "Could not reach patch server (launcher.ini)."}));
    RemoveTree(game);
}

TEST(Workers, BusyRefusesANewRunWithoutStartingOne) {
    ResetLauncherState(&g_state);
    g_state.busy = 1;
    EXPECT_FALSE(StartPassWorker(Patch));
    EXPECT_EQ(g_state.busy, 1);
    g_state.busy = 0;
}
