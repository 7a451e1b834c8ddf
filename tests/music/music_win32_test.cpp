// Background music on Windows through MCI (run under Wine by
// tests/integration/music_wine.sh, which starts an audio server). A hidden
// message-only window stands in for the launcher window: it receives
// MM_MCINOTIFY and hands the code to OnMusicNotify, as the launcher's window
// procedure does. The MP3 tones come from the script (folder in the
// environment variable MUSIC_TEST_TONES): low.mp3 0.3 s, long.mp3 1.5 s.
// Which file plays shows in how long a play lasts: MCI plays in real time.
#include <windows.h>
#include <mmsystem.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "base/state.h"
#include "platform/media.h"
#include "platform/test_hooks.h"
#include "platform/thread.h"
#include "services/music.h"
#include "window_recording.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr auto Deadline = 30s;
constexpr auto LongToneAtLeast = 1200ms;  // long.mp3 lasts 1.5 s

typedef std::chrono::steady_clock Clock;

static std::vector<int> s_handled;               // MM_MCINOTIFY codes, in arrival order
static std::vector<Clock::time_point> s_endTimes;  // arrival of each normal end

static LRESULT CALLBACK NotifyWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == MM_MCINOTIFY) {
        s_handled.push_back(int(wParam));
        if (wParam == MCI_NOTIFY_SUCCESSFUL) s_endTimes.push_back(Clock::now());
        OnMusicNotify(int(wParam));
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

static HWND CreateNotifyWindow() {
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = NotifyWindowProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"MusicTestNotify";
    RegisterClassW(&windowClass);
    return CreateWindowExW(0, L"MusicTestNotify", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                           windowClass.hInstance, nullptr);
}

// The user-interface thread's part: dispatch messages until done() holds.
template <typename Done>
static bool PumpUntil(Done done) {
    auto deadline = Clock::now() + Deadline;
    for (;;) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
        if (done()) return true;
        if (Clock::now() > deadline) return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
}

static int NormalEnds() { return int(std::count(s_handled.begin(), s_handled.end(), 1)); }

class MusicThroughMci : public testing::Test {
protected:
    void SetUp() override {
        const char *tones = std::getenv("MUSIC_TEST_TONES");
        ASSERT_NE(tones, nullptr) << "run through tests/integration/music_wine.sh";
        toneFolder = fs::path(tones);
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        folder = fs::path(temp) / ("launcher-music-" + std::to_string(GetCurrentProcessId()) + "-" +
                                   testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(folder);
        ResetLauncherState(&g_state);
        window = CreateNotifyWindow();
        ASSERT_NE(window, nullptr);
        SetRecordedWindowHandle(window);
        s_handled.clear();
        s_endTimes.clear();
    }
    void TearDown() override {
        CloseMusic();
        PumpUntil([] { return true; });
        DestroyWindow(window);
        std::error_code ignored;
        fs::remove_all(folder, ignored);
    }

    void UseProgramFolder(const fs::path &path) {
        fs::create_directories(path);
        wcsncpy(g_state.programDir, path.wstring().c_str(), ProgramDirUnits - 1);
    }
    void Place(const char *tone, const fs::path &target) {
        fs::copy_file(toneFolder / tone, target, fs::copy_options::overwrite_existing);
    }
    static void WriteText(const fs::path &target, const char *text) {
        std::ofstream(target, std::ios::binary) << text;
    }

    fs::path toneFolder, folder;
    HWND window = nullptr;
};

TEST_F(MusicThroughMci, TheFirstCandidatePlaysWholeOnEveryLoopUntilClosed) {
    UseProgramFolder(folder);
    Place("long.mp3", folder / "music.mp3");
    Place("low.mp3", folder / "theme.mp3");
    Clock::time_point started = Clock::now();
    ASSERT_TRUE(StartWorker(MusicThread));
    ASSERT_TRUE(PumpUntil([] { return NormalEnds() >= 3; }))
        << "plays that ended normally: " << NormalEnds() << ", musicOpen " << g_state.musicOpen;
    EXPECT_TRUE(g_state.musicOpen);
    EXPECT_TRUE(g_state.musicPlaying);
    // Opened on the worker, replayed from this thread: each play is the
    // whole of music.mp3 (a replay without the rewind would end at once).
    EXPECT_GE(s_endTimes[0] - started, LongToneAtLeast);
    EXPECT_GE(s_endTimes[1] - s_endTimes[0], LongToneAtLeast);
    EXPECT_GE(s_endTimes[2] - s_endTimes[1], LongToneAtLeast);

    // Closing, from this thread too, frees the alias for a new open.
    CloseMusic();
    std::wstring reopen = L"open \"" + (folder / "music.mp3").wstring() + L"\" alias bgm";
    EXPECT_EQ(SendMediaCommand(reopen.c_str(), false), 0);
    EXPECT_EQ(SendMediaCommand(L"close bgm", false), 0);
}

TEST_F(MusicThroughMci, CandidatesThatCannotBeOpenedAreSkipped) {
    // Text under an MP3 name opens with neither command.
    UseProgramFolder(folder / "text");
    WriteText(folder / "text" / "music.mp3", "not music at all\n");
    Place("long.mp3", folder / "text" / "theme.mp3");
    Clock::time_point started = Clock::now();
    StartMusic();
    ASSERT_TRUE(g_state.musicOpen);
    ASSERT_TRUE(PumpUntil([] { return NormalEnds() >= 1; }));
    EXPECT_GE(s_endTimes[0] - started, LongToneAtLeast);
    CloseMusic();

    // A folder exists, but is no music; the missing name is passed over.
    ResetLauncherState(&g_state);
    SetRecordedWindowHandle(window);
    s_handled.clear();
    UseProgramFolder(folder / "folder");
    fs::create_directories(folder / "folder" / "music.mp3");
    Place("low.mp3", folder / "folder" / "bgm.mp3");
    StartMusic();
    ASSERT_TRUE(g_state.musicOpen);
    EXPECT_TRUE(PumpUntil([] { return NormalEnds() >= 1; }));
}

TEST_F(MusicThroughMci, WithNothingToPlayNoCommandIsSent) {
    UseProgramFolder(folder);
    WriteText(folder / "readme.txt", "no music here\n");
    int sentBefore = MediaCommandsSent();
    StartMusic();
    EXPECT_FALSE(g_state.musicOpen);
    EXPECT_FALSE(g_state.musicPlaying);
    CloseMusic();
    EXPECT_EQ(MediaCommandsSent(), sentBefore);
}
