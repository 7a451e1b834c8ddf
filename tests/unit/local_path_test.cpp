// Local paths of manifest entries: joining, separators and the refusal of
// every path that could name something outside the program folder; the
// name a running program's file is set aside under.
#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "patch/local_path.h"
#include "patch/temporary.h"
#include "test_files.h"

TEST(LocalPath, EitherSlashBecomesThePlatformSeparatorAndOverlongPathsAreRefused) {
    WideChar out[LocalPathUnits];
    ASSERT_TRUE(BuildLocalPath(Wide("/games/z").c_str(), Wide("data/maps\\a.bin").c_str(), out));
    std::string expected = "data/maps/a.bin";
    for (char &c : expected)
        if (c == '/') c = char(PathSeparator);
    expected = "/games/z" + std::string(1, char(PathSeparator)) + expected;
    EXPECT_EQ(Narrow(out), expected);

    // The folder's own name is left as the system gave it: on Linux a
    // backslash there is an ordinary character of a folder name.
    const WideChar folder[] = {'/', 'g', '\\', 'h', PathSeparator, 'z', 0};
    ASSERT_TRUE(BuildLocalPath(folder, Wide("a\\b").c_str(), out));
    const WideChar joined[] = {'/', 'g', '\\', 'h', PathSeparator, 'z', PathSeparator, 'a', PathSeparator, 'b', 0};
    EXPECT_TRUE(TextEqual(out, joined));

    std::string dir = "d";  // "d" + separator + name: 1023 units fit, 1024 do not
    EXPECT_TRUE(BuildLocalPath(Wide(dir.c_str()).c_str(), Wide(std::string(1021, 'n').c_str()).c_str(), out));
    EXPECT_FALSE(BuildLocalPath(Wide(dir.c_str()).c_str(), Wide(std::string(1022, 'n').c_str()).c_str(), out));
}

TEST(LocalPath, PathsThatCouldLeaveTheFolderOrConfuseWindowsAreRefused) {
    const char *refused[] = {
        "", "/etc/passwd", "\\x", "C:/x", "c:x", "\\\\server\\share\\x", "\\\\?\\C:\\x", "//server/x",
        "../x", "a/../../x", "a/..", "..", "./x", "a/./b", "a:b", "a\tb", "a\x7F", "a<b", "a>b", "a\"b",
        "a|b", "a?b", "a*b", "CON", "con.txt", "data/Aux", "NUL.tar.gz", "COM1", "lpt9.dat", "PRN ",
        "x/CON .txt", "name.", "dir /x", "folder/",
    };
    for (const char *path : refused) EXPECT_FALSE(IsSafeRelativePath(Wide(path).c_str())) << "'" << path << "'";

    const char *accepted[] = {
        "a.bin", "data/maps/a.bin", "data\\maps\\a.bin", "a//b", " lead space", "CONSOLE.txt",
        "COM10", "LPT", "x.con", "..a", "a..b", ".hidden", "caf\xC3\xA9/\xE6\x96\x87.dat",
    };
    for (const char *path : accepted) EXPECT_TRUE(IsSafeRelativePath(Wide(path).c_str())) << "'" << path << "'";
}

TEST(LocalPath, EveryDeviceNameWindowsReservesIsRefusedInAnyCaseAndWithAnyExtension) {
    // Superscript one, two and three count as port digits on Windows.
    const std::string sup1 = "\xC2\xB9", sup2 = "\xC2\xB2", sup3 = "\xC2\xB3";
    const std::string devices[] = {
        "COM0", "LPT0", "COM" + sup1, "COM" + sup2, "COM" + sup3, "LPT" + sup1, "LPT" + sup2, "LPT" + sup3,
        "CLOCK$", "CONIN$", "CONOUT$", "COM5", "LPT1", "AUX",
    };
    for (const std::string &device : devices) {
        std::string lower;
        for (char c : device) lower += (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
        std::string mixed = lower;
        mixed[0] = device[0];
        for (const std::string &name : {device, lower, mixed}) {
            for (const std::string &path : {name, name + ".txt", name + ".tar.gz", name + " .dat", name + "  .x",
                                             "data/" + name, "data/" + name + ".bin/inner", name + "/file"}) {
                EXPECT_FALSE(IsSafeRelativePath(Wide(path.c_str()).c_str())) << "'" << path << "'";
            }
        }
    }

    // Names that only start or end like a device, other superscripts and
    // digits that are not single: ordinary files.
    const std::string lookAlikes[] = {
        "COM00", "LPT01", "COM" + sup1 + sup2, "COM\xE2\x81\xB4", "LPT\xC2\xBC", "COM$", "CLOCK", "CLOCK$$",
        "CONIN", "CONIN$x", "xCONOUT$", "CONOUT", "CON$", "NUL$", "CLOCK$x.txt", "a.CONIN$", "COM" + sup1 + "x",
        "\xC2\xB9" "COM",
    };
    for (const std::string &path : lookAlikes)
        EXPECT_TRUE(IsSafeRelativePath(Wide(path.c_str()).c_str())) << "'" << path << "'";
}

TEST(LocalPath, OnlyHttpAndHttpsUrlsAreFetched) {
    EXPECT_TRUE(IsFetchableUrl(WTEXT("http://127.0.0.1/a")));
    EXPECT_TRUE(IsFetchableUrl(WTEXT("HTTPS://example.test/a")));
    EXPECT_FALSE(IsFetchableUrl(WTEXT("file:///etc/passwd")));
    EXPECT_FALSE(IsFetchableUrl(WTEXT("ftp://127.0.0.1/a")));
    EXPECT_FALSE(IsFetchableUrl(WTEXT(" http://x")));
    EXPECT_FALSE(IsFetchableUrl(WTEXT("httpx://x")));
}

TEST(LocalPath, ASetAsideProgramHasOneHiddenNameOfTheEnginesOwnKind) {
    WideChar aside[TemporaryPathUnits], again[TemporaryPathUnits];
    ASSERT_TRUE(BuildSetAsidePath(JoinPath(WTEXT("g"), "launcher.exe").c_str(), aside));
    ASSERT_TRUE(BuildSetAsidePath(JoinPath(WTEXT("g"), "Launcher.EXE").c_str(), again));
    EXPECT_EQ(Narrow(aside), Narrow(again));  // Windows starts it under either spelling
    std::string name = Narrow(aside).substr(2);

    // name: a set-aside program; the engine's own (never swept as stale by
    // mistake for another's); refused in a manifest.
    const std::tuple<std::string, bool, bool, bool> cases[] = {
        {name, true, true, true},
        {".~LAUNCHER-0123456789ABCDEF.OLD", false, false, true},  // the same file on Windows
        {".~launcher-0123456789abcdef.part", false, true, true},
        {".~launcher-0123456789abcdef.old~", false, false, false},
        {".~launcher-0123456789abcde.old", false, false, false},
    };
    for (const auto &[text, setAside, ours, refused] : cases) {
        WideString wide = Wide(text.c_str());
        EXPECT_EQ(IsSetAsideName(wide.c_str()), setAside) << text;
        EXPECT_EQ(IsTemporaryName(wide.c_str()), ours) << text;
        EXPECT_EQ(NamesTemporaryFile(wide.c_str()), refused) << text;
    }
}
