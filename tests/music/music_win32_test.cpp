// Background music on Windows through MCI (run under Wine by
// tests/integration/music_wine.sh, which starts an audio server). A hidden
// message-only window stands in for the launcher window: it receives
// MM_MCINOTIFY and hands the code to OnMusicNotify, as the launcher's window
// procedure does. The MP3 tones come from the script (folder in the
// environment variable MUSIC_TEST_TONES): low.mp3 0.3 s, long.mp3 1.5 s.
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

#include "app/state.h"
#include "platform/media.h"
#include "platform/thread.h"
#include "services/music.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr auto Deadline = 30s;
constexpr int LongToneMs = 1500;
constexpr int ShortToneMs = 300;

static std::vector<int> handled;  // MM_MCINOTIFY codes, in arrival order

static LRESULT CALLBACK NotifyWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == MM_MCINOTIFY) {
        handled.push_back(int(wParam));
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
    auto deadline = std::chrono::steady_clock::now() + Deadline;
    for (;;) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
        if (done()) return true;
        if (std::chrono::steady_clock::now() > deadline) return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
}

static int NormalEnds() { return int(std::count(handled.begin(), handled.end(), 1)); }

// Length in ms of the open music, as MCI reports it; -1 when unknown.
static int OpenMusicLengthMs() {
    wchar_t answer[64] = L"";
    if (mciSendStringW(L"set bgm time format milliseconds", nullptr, 0, nullptr) != 0) return -1;
    if (mciSendStringW(L"status bgm length", answer, 64, nullptr) != 0) return -1;
    return _wtoi(answer);
}

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
        g_state.mainWindow = window;
        handled.clear();
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

TEST_F(MusicThroughMci, TheFirstCandidateOpensPlaysAndLoopsUntilClosed) {
    UseProgramFolder(folder);
    Place("low.mp3", folder / "music.mp3");
    Place("long.mp3", folder / "theme.mp3");
    ASSERT_TRUE(StartWorker(MusicThread));
    ASSERT_TRUE(PumpUntil([] { return NormalEnds() >= 3; }))
        << "plays that ended normally: " << NormalEnds() << ", musicOpen " << g_state.musicOpen;
    EXPECT_TRUE(g_state.musicOpen);
    EXPECT_TRUE(g_state.musicPlaying);
    EXPECT_NEAR(OpenMusicLengthMs(), ShortToneMs, 150);

    // Closing releases the alias: nothing is left that could play again.
    CloseMusic();
    EXPECT_NE(mciSendStringW(L"status bgm mode", nullptr, 0, nullptr), 0u);
}

TEST_F(MusicThroughMci, CandidatesThatCannotBeOpenedAreSkipped) {
    // Text under an MP3 name opens with neither command.
    UseProgramFolder(folder / "text");
    WriteText(folder / "text" / "music.mp3", "not music at all\n");
    Place("long.mp3", folder / "text" / "theme.mp3");
    StartMusic();
    ASSERT_TRUE(g_state.musicOpen);
    EXPECT_NEAR(OpenMusicLengthMs(), LongToneMs, 150);
    EXPECT_TRUE(PumpUntil([] { return NormalEnds() >= 1; }));
    CloseMusic();

    // A folder exists, but is no music; the missing name is passed over.
    ResetLauncherState(&g_state);
    g_state.mainWindow = window;
    handled.clear();
    UseProgramFolder(folder / "folder");
    fs::create_directories(folder / "folder" / "music.mp3");
    Place("low.mp3", folder / "folder" / "bgm.mp3");
    StartMusic();
    ASSERT_TRUE(g_state.musicOpen);
    EXPECT_NEAR(OpenMusicLengthMs(), ShortToneMs, 150);
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
