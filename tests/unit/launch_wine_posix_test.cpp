// On Linux a Windows game (a file starting with "MZ") is started through
// Wine with the same arguments; without Wine on PATH it cannot start. Uses
// the Windows build of the stand-in game (build/windows/tests/test_game.exe,
// or the file named by LAUNCHER_WINDOWS_TEST_GAME).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "base/config.h"
#include "base/state.h"
#include "platform/files.h"
#include "services/launch.h"
#include "test_files.h"
#include "window_recording.h"

namespace fs = std::filesystem;

static fs::path WindowsTestGame() {
    const char *given = getenv("LAUNCHER_WINDOWS_TEST_GAME");
    if (given != nullptr) return given;
    WideChar exe[ProgramDirUnits], folder[ProgramDirUnits];
    ExecutablePath(exe, ProgramDirUnits);
    ProgramDirFromExecutablePath(exe, folder);
    return fs::path(Narrow(folder)) / ".." / ".." / "windows" / "tests" / "test_game.exe";
}

// A program folder holding the Windows stand-in game as qorin.exe.
struct WineGameFolder {
    fs::path dir;
    WineGameFolder() {
        ResetLauncherState(&g_state);
        ClearWindowRecords();
        dir = fs::path(Narrow(MakeScratchFolder()));
        CopyText(g_state.programDir, ProgramDirUnits, Wide(dir.string().c_str()).c_str());
        fs::copy_file(WindowsTestGame(), dir / "qorin.exe");
    }
    ~WineGameFolder() { fs::remove_all(dir); }
};

TEST(LaunchThroughWine, AWindowsGameGetsTheSameArgumentsAndNoWineMeansItCannotStart) {
    if (!fs::exists(WindowsTestGame())) GTEST_SKIP() << "no Windows build of the stand-in game at " << WindowsTestGame();
    {
        WineGameFolder folder;
        CopyText(g_state.gameArgs, GameArgsUnits, Wide("Runvale \"Big Harbor\"").c_str());
        LaunchGame();
        EXPECT_EQ(QuitRequests(), 1);
        fs::path record = folder.dir / "game-record.txt";
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
        while (!fs::exists(record) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ASSERT_TRUE(fs::exists(record)) << "the game did not start under Wine";
        std::ifstream in(record);
        std::stringstream text;
        text << in.rdbuf();
        EXPECT_NE(text.str().find("arg=Runvale\narg=Big Harbor\nend\n"), std::string::npos) << text.str();
    }
    {
        WineGameFolder folder;
        std::string savedPath = getenv("PATH") != nullptr ? getenv("PATH") : "";
        setenv("PATH", "/nonexistent", 1);
        LaunchGame();
        setenv("PATH", savedPath.c_str(), 1);
        EXPECT_EQ(QuitRequests(), 0);
        ASSERT_EQ(ShownStatuses().size(), 1u);
        EXPECT_EQ(ShownStatuses()[0].text, "Could not start the game.");
    }
}
