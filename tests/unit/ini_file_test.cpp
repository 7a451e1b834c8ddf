// launcher.ini read and written the same way by both builds: each file is
// written to disk and read through the ini seam, which is the system's
// private-profile functions on Windows (run under Wine here) and
// base/ini_text on Linux, so one table of expectations holds for both.
// The ini text scanner itself is also fed every file in small chunks, on
// both builds, so it is checked against the same expectations where the
// system reads the file.
#include <gtest/gtest.h>

#include <string>

#include "base/ini_text.h"
#include "platform/ini.h"
#include "test_files.h"

using namespace std::string_literals;

namespace {

const char *const Default = "<default>";

// A UTF-16 little-endian file with its byte-order mark.
std::string Utf16Le(const std::string &utf8) {
    std::string bytes = "\xFF\xFE";
    for (WideChar c : Wide(utf8.c_str())) {
        bytes += char(c & 0xFF);
        bytes += char((c >> 8) & 0xFF);
    }
    return bytes;
}

std::string Padding(size_t bytes) {
    std::string line = "; " + std::string(96, 'p') + "\r\n";
    std::string text;
    while (text.size() < bytes) text += line;
    return text;
}

struct ScratchFiles {
    WideString folder = MakeScratchFolder();
    int count = 0;
    ~ScratchFiles() { RemoveTree(folder); }
    // A new name for every file: the system may keep a file it has read.
    WideString Write(const std::string &bytes) {
        WideString path = JoinPath(folder, ("case" + std::to_string(++count) + ".ini").c_str());
        WriteBytes(path, bytes);
        return path;
    }
};

WideString ReadThroughSeam(const WideString &path, const char *section, const char *key, int capacity) {
    WideChar out[1024];
    ReadIniString(Wide(section).c_str(), Wide(key).c_str(), Wide(Default).c_str(), out, capacity, path.c_str());
    return out;
}

// The scanner fed chunk bytes at a time, as the Linux backend feeds it a file.
WideString ReadThroughScanner(const std::string &bytes, const char *section, const char *key, int capacity,
                              size_t chunk) {
    WideChar out[1024];
    WideString sectionUnits = Wide(section), keyUnits = Wide(key);
    IniScan scan;
    EXPECT_TRUE(StartIniScan(&scan, sectionUnits.c_str(), keyUnits.c_str(), out, capacity));
    for (size_t at = 0; at < bytes.size(); at += chunk) {
        size_t n = bytes.size() - at < chunk ? bytes.size() - at : chunk;
        FeedIniScan(&scan, bytes.data() + at, int(n));
    }
    FinishIniScan(&scan);
    if (!IniValueFound(&scan)) CopyIniDefault(Wide(Default).c_str(), out, capacity);
    return out;
}

struct ReadCase {
    const char *name;
    std::string bytes;
    const char *expected;  // UTF-8, or Default
    const char *key = "User";
    int capacity = 64;
};

void ExpectReads(const ReadCase *cases, size_t count) {
    ScratchFiles files;
    for (size_t i = 0; i < count; i++) {
        const ReadCase &c = cases[i];
        SCOPED_TRACE(c.name);
        WideString expected = Wide(c.expected);
        EXPECT_EQ(Narrow(ReadThroughSeam(files.Write(c.bytes), "launcher", c.key, c.capacity)), c.expected);
        for (size_t chunk : {size_t(1), size_t(3), c.bytes.size() + 1})
            EXPECT_EQ(ReadThroughScanner(c.bytes, "launcher", c.key, c.capacity, chunk), expected) << chunk;
    }
}

}  // namespace

TEST(IniFile, BothBuildsReadTheSameValueFromEveryKindOfFile) {
    const std::string longValue(600, 'v');
    const ReadCase cases[] = {
        {"names without regard to case", "[LAUNCHER]\r\nuSeR=ada\r\n", "ada"},
        {"blanks around names and values", " \t[ launcher ]\t\r\n\t User \t= \t ada lovelace \t\r\n", "ada lovelace"},
        {"comment lines are lines of other keys; ';' inside a value stays",
         "; User=no\r\n[launcher]\r\n;User=commented\r\nUser=ada ; not a comment\r\n", "ada ; not a comment"},
        {"the first of two lines of the key", "[launcher]\r\nUser=one\r\nuser=two\r\n", "one"},
        {"a later section of the same name is not read", "[launcher]\r\nGameExe=g\r\n[Launcher]\r\nUser=late\r\n", Default},
        {"missing section", "[other]\r\nUser=x\r\n", Default},
        {"key only in another section", "[launcher]\r\nGameExe=g\r\n[other]\r\nUser=x\r\n", Default},
        {"key before any section", "User=early\r\n[launcher]\r\nUser=ada\r\n", "ada"},
        {"empty value, not the default", "[launcher]\r\nUser=\r\nGameExe=g\r\n", ""},
        {"one pair of double quotes goes, the blanks inside stay", "[launcher]\r\nUser= \"  ada  \" \r\n", "  ada  "},
        {"single quotes go too", "[launcher]\r\nUser='ada'\r\n", "ada"},
        {"quotes that do not pair stay", "[launcher]\r\nUser=\"ada'\r\n", "\"ada'"},
        {"only the outer pair goes", "[launcher]\r\nUser=\"a\" and \"b\"\r\n", "a\" and \"b"},
        {"LF line ends", "[launcher]\nGameExe=g\nUser=ada\n", "ada"},
        {"CR line ends", "[launcher]\rGameExe=g\rUser=ada\r", "ada"},
        {"a CR inside a CR LF line ends it", "[launcher]\r\nUser=ada\rlovelace\r\n", "ada"},
        {"UTF-8 with a byte-order mark", "\xEF\xBB\xBF[launcher]\r\nUser=caf\xC3\xA9\r\n", "caf\xC3\xA9"},
        {"8-bit text without a mark", "[launcher]\nUser=ada lovelace", "ada lovelace"},
        {"UTF-16 LE with a byte-order mark", Utf16Le("[launcher]\r\nUser=caf\xC3\xA9 \xE2\x82\xAC\r\n"), "caf\xC3\xA9 \xE2\x82\xAC"},
        {"a NUL ends the value", "[launcher]\r\nUser=ada\0lovelace\r\nGameExe=g\r\n"s, "ada"},
        {"a NUL ends a section name", "[launcher\0 old]\r\nUser=ada\r\n"s, "ada"},
        {"a file over 64 KiB", Padding(100 * 1024) + "[launcher]\r\nUser=ada\r\n", "ada"},
        {"a long value cut to the buffer", "[launcher]\r\nUser=" + longValue + "\r\n", "vvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvv", "User", 40},
        {"a '[' line without ']' is no header", "[other]\r\nUser=x\r\n[launcher\r\nUser=y\r\n", Default},
        {"a key line without '=' hides later lines of the key", "[launcher]\r\nUser\r\nUser=x\r\n", Default},
    };
    static_assert(sizeof cases / sizeof cases[0] == 25, "the agreed table of both builds");
    ExpectReads(cases, sizeof cases / sizeof cases[0]);
}

TEST(IniFile, FinerReadingRulesAgreeToo) {
    const ReadCase cases[] = {
        {"a header's name runs to its last ']'", "[launcher] ; [note]\r\nUser=x\r\n", Default},
        {"text after a header's ']' is ignored", "[launcher] ; note\r\nUser=ada\r\n", "ada"},
        {"a NUL at a line's start leaves an empty key", "[launcher]\r\n\0User=x\r\n"s, Default},
        {"a NUL inside a key ends it", "[launcher]\r\nUs\0er=x\r\n"s, "x", "Us"},
        {"blanks before a NUL stay in the value", "[launcher]\r\nUser=ada \0 x\r\n"s, "ada "},
        {"a NUL ends the value before the quotes are looked at", "[launcher]\r\nUser=\"ada\0\"\r\n"s, "\"ada"},
        {"vertical tab, form feed and 0x1A are blanks", "[launcher]\r\n\x0BUser\x0C=\x1A" "ada\x0B\x0C\x1A\r\n", "ada"},
        {"other control units are not", "[launcher]\r\nUser=\x01" "ada\x1F\r\n", "\x01" "ada\x1F"},
        {"a buffer of one unit", "[launcher]\r\nUser=ada\r\n", "", "User", 1},
        {"cut inside the quotes", "[launcher]\r\nUser=\"abcdefgh\"\r\n", "abc", "User", 4},
        {"UTF-16 LE, CR line ends and quotes", Utf16Le("[launcher]\rUser='q'\rGameExe=g"), "q"},
        {"UTF-16 big-endian with its mark", "\xFE\xFF\0[\0l\0a\0u\0n\0c\0h\0e\0r\0]\0\n\0U\0s\0e\0r\0=\0\xE9"s, "\xC3\xA9"},
        {"a second mark is text", "\xEF\xBB\xBF\xEF\xBB\xBF[launcher]\r\nUser=x\r\n", Default},
        {"only a mark", "\xFF\xFE", Default},
    };
    ExpectReads(cases, sizeof cases / sizeof cases[0]);

    // What a cut leaves of a character outside the basic plane is half of
    // it, as the system's units go.
    ScratchFiles files;
    std::string bytes = "\xEF\xBB\xBF[launcher]\r\nUser=ab\xF0\x9F\x98\x80\r\n";
    WideString half = Wide("ab");
    half.push_back(WideChar(0xD83D));
    EXPECT_EQ(ReadThroughSeam(files.Write(bytes), "launcher", "User", 4), half);
    EXPECT_EQ(ReadThroughScanner(bytes, "launcher", "User", 4, 1), half);

    // The default's trailing spaces go, other blanks stay, then the cut.
    WideChar out[16];
    ReadIniString(WTEXT("launcher"), WTEXT("User"), WTEXT(" a\tb  "), out, 16, files.Write("").c_str());
    EXPECT_EQ(Narrow(out), " a\tb");
    ReadIniString(WTEXT("launcher"), WTEXT("User"), WTEXT("abc  "), out, 3, files.Write("").c_str());
    EXPECT_EQ(Narrow(out), "ab");

    // A folder at the file's name is no file: the default, by the same
    // rule, and nothing is written into it.
    WideString folder = JoinPath(files.folder, "folder.ini/inside");
    WriteBytes(folder, "[launcher]\r\nUser=ada\r\n");
    folder = JoinPath(files.folder, "folder.ini");
    ReadIniString(WTEXT("launcher"), WTEXT("User"), WTEXT("abc  "), out, 16, folder.c_str());
    EXPECT_EQ(Narrow(out), "abc");
    EXPECT_FALSE(WriteIniString(WTEXT("launcher"), WTEXT("User"), WTEXT("x"), folder.c_str()));
}

TEST(IniFile, UserIsSavedIntoEveryKindOfFileAndTheOtherKeysStay) {
    struct WriteCase {
        const char *name;
        std::string before;
        const char *value;
        std::string after;  // what the Linux build writes; Windows writes the file its own way
    };
    const std::string pad = Padding(70 * 1024);
    const WriteCase cases[] = {
        {"CR line ends", "[launcher]\rUser=old\rGameExe=g\r", "new", "[launcher]\rUser=new\rGameExe=g\r"},
        {"CR line ends, new key", "[launcher]\rGameExe=g\r\r[x]\r", "new", "[launcher]\rGameExe=g\rUser=new\r\r[x]\r"},
        {"a quoted value", "[launcher]\r\nUser = \"old name\" \r\nGameExe=g\r\n", "new", "[launcher]\r\nUser = new \r\nGameExe=g\r\n"},
        {"an empty value before CR LF", "[launcher]\r\nUser=\r\nGameExe=g\r\n", "new", "[launcher]\r\nUser=new\r\nGameExe=g\r\n"},
        {"a key line without '='", "[launcher]\r\nUser\r\nGameExe=g\r\n", "new", "[launcher]\r\nUser=new\r\nGameExe=g\r\n"},
        {"NUL bytes", "[launcher]\r\nGameExe=g\0x\r\nUser=old\0x\r\n"s, "new", "[launcher]\r\nGameExe=g\0x\r\nUser=new\r\n"s},
        {"a later section of the same name",
         "[launcher]\r\nGameExe=g\r\n\r\n[launcher]\r\nUser=old\r\n", "new",
         "[launcher]\r\nGameExe=g\r\nUser=new\r\n\r\n[launcher]\r\nUser=old\r\n"},
        {"a header with text after its ']'", "[launcher] ; players\nGameExe=g\n", "new", "[launcher] ; players\nGameExe=g\nUser=new\n"},
        {"UTF-8 with a mark", "\xEF\xBB\xBF[launcher]\nGameExe=g\n", "caf\xC3\xA9", "\xEF\xBB\xBF[launcher]\nGameExe=g\nUser=caf\xC3\xA9\n"},
        {"UTF-16 LE", Utf16Le("[launcher]\r\nGameExe=g\r\nUser=old\r\n"), "caf\xC3\xA9",
         Utf16Le("[launcher]\r\nGameExe=g\r\nUser=caf\xC3\xA9\r\n")},
        {"UTF-16 LE, new section", Utf16Le("[x]\r\nk=v"), "new", Utf16Le("[x]\r\nk=v\r\n[launcher]\r\nUser=new\r\n")},
        {"a file over 64 KiB", pad + "[launcher]\r\nGameExe=g\r\n", "new", pad + "[launcher]\r\nGameExe=g\r\nUser=new\r\n"},
    };
    ScratchFiles files;
    for (const WriteCase &c : cases) {
        SCOPED_TRACE(c.name);
        WideString path = files.Write(c.before);
        WideString gameBefore = ReadThroughSeam(path, "launcher", "GameExe", 64);
        ASSERT_TRUE(WriteIniString(WTEXT("launcher"), WTEXT("User"), Wide(c.value).c_str(), path.c_str()));
        EXPECT_EQ(Narrow(ReadThroughSeam(path, "launcher", "User", 64)), c.value);
        EXPECT_EQ(ReadThroughSeam(path, "launcher", "GameExe", 64), gameBefore);
#ifndef _WIN32
        EXPECT_EQ(ReadBytes(path), c.after);
#endif
    }
}
