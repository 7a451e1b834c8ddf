// Starting the game for real: a stand-in game records its folder and
// arguments; launcher.ini, the status line and the quit request are checked
// around it. Runs on Linux and on Windows (under Wine).
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "base/config.h"
#include "base/state.h"
#include "platform/files.h"
#include "services/launch.h"
#include "test_files.h"
#include "window_recording.h"

namespace fs = std::filesystem;

#ifdef _WIN32
static const char TestGameName[] = "test_game.exe";
#else
static const char TestGameName[] = "test_game";
#endif

// The stand-in game built beside this test program.
static WideString TestGamePath() {
    WideChar exe[ProgramDirUnits];
    WideChar folder[ProgramDirUnits];
    ExecutablePath(exe, ProgramDirUnits);
    ProgramDirFromExecutablePath(exe, folder);
    return JoinPath(folder, TestGameName);
}

static fs::path FsPath(const WideString &path) {
#ifdef _WIN32
    return fs::path(path);
#else
    return fs::path(Narrow(path));
#endif
}

// Lines of the game's record once it can be read, or nothing at the
// deadline. The game renames a complete record into place, but under Wine
// the name may show a moment before the file can be opened: a record read
// empty is read again.
static std::vector<std::string> WaitForRecord(const WideString &dir, int seconds) {
    WideString path = JoinPath(dir, "game-record.txt");
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    std::string text;
    while (!PathExists(path.c_str()) || (text = ReadBytes(path)).empty()) {
        if (std::chrono::steady_clock::now() > deadline) return {};
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::vector<std::string> lines;
    std::string line;
    for (char c : text) {
        if (c == '\n') { lines.push_back(line); line.clear(); }
        else line += c;
    }
    return lines;
}

static std::vector<std::string> Arguments(const std::vector<std::string> &record) {
    std::vector<std::string> arguments;
    for (const std::string &line : record)
        if (line.rfind("arg=", 0) == 0) arguments.push_back(line.substr(4));
    return arguments;
}

static std::string RecordValue(const std::vector<std::string> &record, const std::string &key) {
    for (const std::string &line : record)
        if (line.rfind(key + "=", 0) == 0) return line.substr(key.size() + 1);
    return "<none>";
}

// A program folder with the stand-in game installed as gameExe.
struct GameFolder {
    WideString dir;
    explicit GameFolder(const char *gameFile = "qorin.exe") {
        ResetLauncherState(&g_state);
        ClearWindowRecords();
        dir = MakeScratchFolder();
        CopyText(g_state.programDir, ProgramDirUnits, dir.c_str());
        if (gameFile != nullptr) fs::copy_file(FsPath(TestGamePath()), FsPath(JoinPath(dir, gameFile)));
    }
    ~GameFolder() { RemoveTree(dir); }
    std::string Ini() const { return ReadBytes(JoinPath(dir, "launcher.ini")); }
};

#ifdef _WIN32
static std::string QuotedGamePath(const GameFolder &folder) {
    std::string quoted = "\"";
    quoted += Narrow(JoinPath(folder.dir, "qorin.exe"));
    quoted += '"';
    return quoted;
}
#endif

TEST(Launch, GameStartsWithTheConfiguredArgumentsInTheProgramFolderAndTheLauncherQuits) {
    GameFolder folder;
    CopyText(g_state.userName, UserNameUnits, WTEXT("Ada"));
    SetStatusText(&g_state, WTEXT("All 3 files OK - ready to play."));
    LaunchGame();
    EXPECT_EQ(QuitRequests(), 1);
    std::vector<std::string> record = WaitForRecord(folder.dir, 30);
    ASSERT_FALSE(record.empty());
    EXPECT_EQ(Arguments(record), std::vector<std::string>{"Runvale"});
    EXPECT_EQ(fs::equivalent(fs::path(RecordValue(record, "cwd")), FsPath(folder.dir)), true);
#ifdef _WIN32
    EXPECT_EQ(RecordValue(record, "commandline"), QuotedGamePath(folder) + " Runvale");
#else
    EXPECT_EQ(RecordValue(record, "inherited"), "<none>");
#endif
    EXPECT_NE(folder.Ini().find("User=Ada"), std::string::npos);
    // Success leaves the status line alone.
    EXPECT_TRUE(ShownStatuses().empty());
    WideChar status[StatusTextUnits];
    ReadStatusText(&g_state, status);
    EXPECT_EQ(Narrow(status), "All 3 files OK - ready to play.");
}

TEST(Launch, QuotesInGameArgsMeanWhatTheyMeanToAWindowsProgramAndEmptyArgsGiveNone) {
    {
        GameFolder folder;
        CopyText(g_state.gameArgs, GameArgsUnits, Wide("-map \"Big Harbor\" a\\\"b \"\" C:\\dir\\ x\"\"y end").c_str());
        LaunchGame();
        std::vector<std::string> record = WaitForRecord(folder.dir, 30);
        ASSERT_FALSE(record.empty());
        std::vector<std::string> expected = {"-map", "Big Harbor", "a\"b", "", "C:\\dir\\", "xy", "end"};
        EXPECT_EQ(Arguments(record), expected);
    }
    {
        GameFolder folder;
        CopyText(g_state.gameArgs, GameArgsUnits, WTEXT(""));
        LaunchGame();
        std::vector<std::string> record = WaitForRecord(folder.dir, 30);
        ASSERT_FALSE(record.empty());
        EXPECT_TRUE(Arguments(record).empty());
#ifdef _WIN32
        EXPECT_EQ(RecordValue(record, "commandline"), QuotedGamePath(folder));  // no trailing space
#endif
        EXPECT_EQ(QuitRequests(), 1);
    }
}

TEST(Launch, AGameThatCannotStartLeavesTheLauncherRunningWithTheReasonShown) {
    {
        GameFolder folder(nullptr);  // nothing installed
        SetStatusText(&g_state, WTEXT("3 file(s) missing - click PATCH FILES."));
        g_state.progress = 40;
        LaunchGame();
        EXPECT_EQ(QuitRequests(), 0);
        ASSERT_EQ(ShownStatuses().size(), 1u);  // painted before LaunchGame returned
        EXPECT_EQ(ShownStatuses()[0].text, "Game not found - click PATCH FILES first.");
        EXPECT_EQ(ShownStatuses()[0].progress, -1);
        // The name is remembered anyway, an empty one as an empty value.
        EXPECT_NE(folder.Ini().find("User="), std::string::npos);
    }
    {
        GameFolder folder(nullptr);
        fs::create_directory(FsPath(JoinPath(folder.dir, "qorin.exe")));
        LaunchGame();
        EXPECT_EQ(QuitRequests(), 0);
        ASSERT_EQ(ShownStatuses().size(), 1u);
        EXPECT_EQ(ShownStatuses()[0].text, "Could not start the game.");
    }
    {
        // A path too long for its buffer is refused, never cut short.
        GameFolder folder(nullptr);
        CopyText(g_state.gameExe, GameExeUnits, Wide(std::string(120, 'g').c_str()).c_str());
        WideString deep = folder.dir;
        while (deep.size() < 200) deep = JoinPath(deep, "sub");
        CopyText(g_state.programDir, ProgramDirUnits, deep.c_str());
        LaunchGame();
        ASSERT_EQ(ShownStatuses().size(), 1u);
        EXPECT_EQ(ShownStatuses()[0].text, "Could not start the game.");
    }
}

TEST(Launch, AnUnwritableLauncherIniDoesNotStopTheGame) {
    GameFolder folder;
    fs::create_directory(FsPath(JoinPath(folder.dir, "launcher.ini")));
    CopyText(g_state.userName, UserNameUnits, WTEXT("Ada"));
    LaunchGame();
    EXPECT_EQ(QuitRequests(), 1);
    EXPECT_FALSE(WaitForRecord(folder.dir, 30).empty());
}

#ifndef _WIN32
// Linux folder names may hold a double quote and a backslash; neither may
// change where the game is found or what arguments it gets.
TEST(Launch, AGameFolderWithAQuoteAndABackslashInItsNameStartsTheGameWithItsArguments) {
    GameFolder scratch(nullptr);
    WideString odd = scratch.dir + Wide("/Zen \"thara\\ Online\\");  // JoinPath would turn the backslashes
    fs::create_directory(FsPath(odd));
    fs::copy_file(FsPath(TestGamePath()), FsPath(JoinPath(odd, "qorin.exe")));
    CopyText(g_state.programDir, ProgramDirUnits, odd.c_str());
    CopyText(g_state.gameArgs, GameArgsUnits, Wide("Runvale \"two words\"").c_str());
    LaunchGame();
    EXPECT_EQ(QuitRequests(), 1);
    std::vector<std::string> record = WaitForRecord(odd, 30);
    ASSERT_FALSE(record.empty());
    EXPECT_EQ(Arguments(record), (std::vector<std::string>{"Runvale", "two words"}));
    EXPECT_TRUE(fs::equivalent(fs::path(RecordValue(record, "cwd")), FsPath(odd)));
    EXPECT_TRUE(ShownStatuses().empty());
}
#endif
