// launcher.ini: the program folder, the six keys with their defaults and
// limits, and writing one key back without disturbing the rest of the file.
// Runs on both platforms: on Windows through the private-profile functions.
#include <gtest/gtest.h>

#include <string>

#include "base/config.h"
#include "base/ini_text.h"
#include "platform/ini.h"
#include "render/painter.h"
#include "test_files.h"

// A fresh state whose program folder is a new scratch folder.
struct ConfigFolder {
    WideString dir;
    ConfigFolder() {
        ResetLauncherState(&g_state);
        dir = MakeScratchFolder();
        CopyText(g_state.programDir, ProgramDirUnits, dir.c_str());
    }
    ~ConfigFolder() { RemoveTree(dir); }
    WideString IniPath() const { return JoinPath(dir, "launcher.ini"); }
};

TEST(Config, NoLauncherIniLeavesEveryDefault) {
    ConfigFolder folder;
    LoadConfiguration(&g_state);
    EXPECT_EQ(Narrow(g_state.patchUrl), "http://127.0.0.1/download/manifest.txt");
    EXPECT_EQ(Narrow(g_state.gameExe), "qorin.exe");
    EXPECT_EQ(Narrow(g_state.gameArgs), "Runvale");
    EXPECT_STREQ(g_state.serverHost, "127.0.0.1");
    EXPECT_EQ(g_state.serverPort, 6543);
    EXPECT_EQ(Narrow(g_state.userName), "");
    EXPECT_EQ(g_state.progress, -1);
    EXPECT_EQ(g_state.serverState, -1);
}

TEST(Config, KeysAreReadWithoutRegardToCaseTrimmedAndCutToTheirBuffers) {
    ConfigFolder folder;
    std::string longUrl = "http://127.0.0.1/" + std::string(600, 'u');
    WriteBytes(folder.IniPath(),
               "[other]\r\nGameExe=wrong.exe\r\n"
               "[LAUNCHER]\r\n"
               "patchurl = " + longUrl + "\r\n"
               "GameExe=  game.exe  \r\n"
               "GameArgs=\r\n"
               "Server=10.1.2.3\r\n"
               "ServerPort=70000\r\n"
               "User=Ada = Lovelace\r\n");
    LoadConfiguration(&g_state);
    EXPECT_EQ(Narrow(g_state.patchUrl), longUrl.substr(0, 511));
    EXPECT_EQ(Narrow(g_state.gameExe), "game.exe");
    EXPECT_EQ(Narrow(g_state.gameArgs), "");  // present and empty: no arguments
    EXPECT_STREQ(g_state.serverHost, "10.1.2.3");
    EXPECT_EQ(g_state.serverPort, 70000);
    EXPECT_EQ(Narrow(g_state.userName), "Ada = Lovelace");
}

TEST(Config, ServerPortThatIsNotAPositiveNumberSelectsTheDefault) {
    EXPECT_EQ(ServerPortFromText(WTEXT("0")), 6543);
    EXPECT_EQ(ServerPortFromText(WTEXT("-5")), 6543);
    EXPECT_EQ(ServerPortFromText(WTEXT("abc")), 6543);
    EXPECT_EQ(ServerPortFromText(WTEXT(" 7000x")), 7000);
    EXPECT_EQ(ServerPortFromText(WTEXT("70000")), 70000);
    // The download cap reads the same way, with no cap for anything below 1.
    EXPECT_EQ(DownloadCapFromText(WTEXT("512")), 512);
    EXPECT_EQ(DownloadCapFromText(WTEXT(" 64k")), 64);
    EXPECT_EQ(DownloadCapFromText(WTEXT("-1")), 0);
    EXPECT_EQ(DownloadCapFromText(WTEXT("")), 0);
}

TEST(Config, ProgramFolderIsEverythingBeforeTheLastSeparator) {
    WideChar dir[ProgramDirUnits];
    std::string s(1, char(PathSeparator));
    ProgramDirFromExecutablePath(Wide(("x" + s + "games" + s + "launcher.exe").c_str()).c_str(), dir);
    EXPECT_EQ(Narrow(dir), "x" + s + "games");
    ProgramDirFromExecutablePath(Wide("launcher.exe").c_str(), dir);
    EXPECT_EQ(Narrow(dir), "");
    ProgramDirFromExecutablePath(Wide((s + "launcher").c_str()).c_str(), dir);
    EXPECT_EQ(Narrow(dir), "");  // the first unit is never a cut point
    ProgramDirFromExecutablePath(WTEXT(""), dir);
    EXPECT_EQ(Narrow(dir), "");

    ResetLauncherState(&g_state);
    ResolveProgramDir(&g_state);
    EXPECT_GT(TextLength(g_state.programDir), 0);
    WideChar configPath[ConfigPathUnits];
    BuildConfigPath(&g_state, configPath);
    EXPECT_EQ(Narrow(configPath), Narrow(g_state.programDir) + s + "launcher.ini");
}

TEST(Config, WritingUserCreatesOrUpdatesTheFileAndReadsBack) {
    ConfigFolder folder;
    WideString path = folder.IniPath();
    ASSERT_TRUE(WriteIniString(WTEXT("launcher"), WTEXT("User"), WTEXT("first"), path.c_str()));
    ASSERT_TRUE(WriteIniString(WTEXT("launcher"), WTEXT("User"), WTEXT("caf\u00e9"), path.c_str()));
    ASSERT_TRUE(WriteIniString(WTEXT("launcher"), WTEXT("GameArgs"), WTEXT(""), path.c_str()));
    LoadConfiguration(&g_state);
    EXPECT_EQ(Narrow(g_state.userName), "caf\xC3\xA9");
    EXPECT_EQ(Narrow(g_state.gameArgs), "");
}

TEST(IniText, SettingAKeyKeepsEveryOtherByteOfTheFile) {
    char out[512];
    const char *crlf = "; players' settings\r\n[launcher]\r\nPatchURL=http://h/m\r\nuser =  old  \r\n\r\n[x]\r\nUser=keep\r\n";
    ASSERT_GT(SetIniValue(crlf, "launcher", "User", "new", out, 512), 0);
    EXPECT_STREQ(out, "; players' settings\r\n[launcher]\r\nPatchURL=http://h/m\r\nuser =  new  \r\n\r\n[x]\r\nUser=keep\r\n");

    ASSERT_GT(SetIniValue("[launcher]\r\nGameExe=g.exe\r\n\r\n[x]\r\n", "launcher", "User", "u", out, 512), 0);
    EXPECT_STREQ(out, "[launcher]\r\nGameExe=g.exe\r\nUser=u\r\n\r\n[x]\r\n");

    ASSERT_GT(SetIniValue("[Launcher]\nGameExe=g.exe", "launcher", "User", "u", out, 512), 0);
    EXPECT_STREQ(out, "[Launcher]\nGameExe=g.exe\nUser=u");

    ASSERT_GT(SetIniValue("[x]\na=b", "launcher", "User", "u", out, 512), 0);
    EXPECT_STREQ(out, "[x]\na=b\n[launcher]\nUser=u\n");

    ASSERT_GT(SetIniValue("", "launcher", "User", "", out, 512), 0);
    EXPECT_STREQ(out, "[launcher]\nUser=\n");

    EXPECT_EQ(SetIniValue("", "launcher", "User", "two\nlines", out, 512), -1);
    EXPECT_EQ(SetIniValue("[launcher]\nUser=x\n", "launcher", "User", "longer than room", out, 16), -1);
}

TEST(IniText, FirstSectionAndKeyWinAndOtherSectionsDoNotLeakIn) {
    char value[8];
    const char *text = "\xEF\xBB\xBF[launcher]\nUser=one\nUser=two\n[launcher]\nGameExe=late\n[x]\nServer=no\n";
    ASSERT_TRUE(FindIniValue(text, "launcher", "user", value, 8));
    EXPECT_STREQ(value, "one");
    EXPECT_FALSE(FindIniValue(text, "launcher", "Server", value, 8));
    EXPECT_FALSE(FindIniValue(text, "launcher", "GameExe", value, 8));
    EXPECT_FALSE(FindIniValue("User=x\n", "launcher", "User", value, 8));
    ASSERT_TRUE(FindIniValue("[launcher]\nUser=caf\xC3\xA9s\n", "launcher", "User", value, 5));
    EXPECT_STREQ(value, "caf");  // never cut inside a character
}

// The server name is kept in the system's 8-bit code page (the ANSI one on
// Windows, UTF-8 on Linux) and must come back whole in the footer.
TEST(Config, AServerNameBeyondAsciiShowsInTheFooterAsWritten) {
    ConfigFolder folder;
    ASSERT_TRUE(WriteIniString(WTEXT("launcher"), WTEXT("Server"), WTEXT("h\u00F4st"), folder.IniPath().c_str()));
    LoadConfiguration(&g_state);
    WideChar footer[FooterTextUnits];
    ASSERT_TRUE(FormatFooterText(footer, FooterTextUnits));
    EXPECT_TRUE(TextEqual(footer, WTEXT("Launcher v") LAUNCHER_VERSION_TEXT
                                      WTEXT("   \u00B7   Host:  Corbalt   \u00B7   h\u00F4st : 6543")))
        << Narrow(footer);
}
