// Writing launcher.ini on Linux: what a write keeps of the file it changes
// (links, mode, owner, other hard links) and what it refuses to touch, in
// scratch folders under /tmp. The bytes written are compared with what
// SetIniValue makes of the same text in memory.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <future>
#include <string>

#include "base/ini_text.h"
#include "platform/ini.h"
#include "test_files.h"

namespace {

struct Scratch {
    WideString folder = MakeScratchFolder();
    std::string root = Narrow(folder);
    ~Scratch() { RemoveTree(folder); }
    std::string Path(const char *name) const { return root + "/" + name; }
};

bool WriteUser(const std::string &path, const char *value) {
    return WriteIniString(WTEXT("launcher"), WTEXT("User"), Wide(value).c_str(), Wide(path.c_str()).c_str());
}

std::string ReadUser(const std::string &path) {
    WideChar value[64];
    ReadIniString(WTEXT("launcher"), WTEXT("User"), WTEXT("<none>"), value, 64, Wide(path.c_str()).c_str());
    return Narrow(value);
}

void Put(const std::string &path, const std::string &bytes) { WriteBytes(Wide(path.c_str()), bytes); }
std::string Get(const std::string &path) { return ReadBytes(Wide(path.c_str())); }

struct stat StatOf(const std::string &path) {
    struct stat info;
    memset(&info, 0, sizeof info);
    EXPECT_EQ(lstat(path.c_str(), &info), 0) << path;
    return info;
}

// What the in-memory edit makes of text with User set to value.
std::string Expected(const std::string &text, const char *value) {
    static char out[1 << 20];
    int length = SetIniValue(text.c_str(), "launcher", "User", value, out, int(sizeof out));
    EXPECT_GE(length, 0);
    return length < 0 ? "" : std::string(out, size_t(length));
}

bool Exists(const std::string &path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0;
}

const std::string Stored = "[launcher]\nPatchURL=http://h/m\nUser=old\n";

}  // namespace

TEST(IniPosixWrite, FileNoOneMayWriteIsLeftByteForByte) {
    // Root may write anything, so mode 0444 is what a test can show here;
    // the rule is the same without root (the process may not write).
    for (mode_t mode : {0444, 0400, 0555}) {
        Scratch scratch;
        std::string ini = scratch.Path("launcher.ini");
        Put(ini, Stored);
        ASSERT_EQ(chmod(ini.c_str(), mode), 0);
        struct stat before = StatOf(ini);

        EXPECT_FALSE(WriteUser(ini, "new")) << std::oct << mode;
        EXPECT_EQ(Get(ini), Stored);
        struct stat after = StatOf(ini);
        EXPECT_EQ(after.st_ino, before.st_ino);
        EXPECT_EQ(after.st_mode, before.st_mode);
        EXPECT_FALSE(Exists(ini + ".tmp"));
        EXPECT_EQ(ReadUser(ini), "old");
    }
}

TEST(IniPosixWrite, SymbolicLinksStayLinksAndTheirTargetChanges) {
    struct Case {
        const char *name;
        const char *target;  // where the file is, below the scratch folder
        const char *link;    // the link's text; "@" stands for the scratch folder
        bool targetExists;
    };
    const Case cases[] = {
        {"relative, other folder", "real/game.ini", "real/game.ini", true},
        {"absolute", "real/game.ini", "@/real/game.ini", true},
        {"relative with ..", "a/game.ini", "b/../a/game.ini", true},
        {"dangling: the target is made", "real/new.ini", "real/new.ini", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Scratch scratch;
        std::string target = scratch.Path(c.target);
        std::string ini = scratch.Path("launcher.ini");
        for (const char *folder : {"real", "a", "b"}) ASSERT_EQ(mkdir(scratch.Path(folder).c_str(), 0755), 0);
        if (c.targetExists) Put(target, Stored);
        std::string linkText = c.link;
        if (linkText[0] == '@') linkText = scratch.root + linkText.substr(1);
        ASSERT_EQ(symlink(linkText.c_str(), ini.c_str()), 0);

        ASSERT_TRUE(WriteUser(ini, "new"));
        EXPECT_TRUE(S_ISLNK(StatOf(ini).st_mode));
        char read[4096];
        ssize_t length = readlink(ini.c_str(), read, sizeof read);
        EXPECT_EQ(std::string(read, size_t(length > 0 ? length : 0)), linkText);
        EXPECT_EQ(Get(target), c.targetExists ? Expected(Stored, "new") : "[launcher]\nUser=new\n");
        EXPECT_EQ(ReadUser(ini), "new");
        EXPECT_FALSE(Exists(ini + ".tmp"));
        EXPECT_FALSE(Exists(target + ".tmp"));
    }

    // A chain of links ends at the file too; a loop of links is refused.
    Scratch scratch;
    Put(scratch.Path("end.ini"), Stored);
    ASSERT_EQ(symlink("end.ini", scratch.Path("middle.ini").c_str()), 0);
    ASSERT_EQ(symlink("middle.ini", scratch.Path("launcher.ini").c_str()), 0);
    ASSERT_TRUE(WriteUser(scratch.Path("launcher.ini"), "chained"));
    EXPECT_TRUE(S_ISLNK(StatOf(scratch.Path("middle.ini")).st_mode));
    EXPECT_EQ(Get(scratch.Path("end.ini")), Expected(Stored, "chained"));
    ASSERT_EQ(symlink("loop-b", scratch.Path("loop-a").c_str()), 0);
    ASSERT_EQ(symlink("loop-a", scratch.Path("loop-b").c_str()), 0);
    EXPECT_FALSE(WriteUser(scratch.Path("loop-a"), "x"));
    EXPECT_FALSE(Exists(scratch.Path("loop-a.tmp")));
}

TEST(IniPosixWrite, ModeAndOwnerAreKeptAndTheFileIsReplacedWhole) {
    for (mode_t mode : {0640, 0600, 0604, 0664, 0666}) {
        Scratch scratch;
        std::string ini = scratch.Path("launcher.ini");
        Put(ini, Stored);
        ASSERT_EQ(chmod(ini.c_str(), mode), 0);
        // Root may give the file away; the write has to give it back.
        if (geteuid() == 0) {
            ASSERT_EQ(chown(ini.c_str(), 4321, 4322), 0);
        }
        struct stat before = StatOf(ini);

        ASSERT_TRUE(WriteUser(ini, "new")) << std::oct << mode;
        struct stat after = StatOf(ini);
        EXPECT_EQ(after.st_mode & 07777, mode);
        EXPECT_EQ(after.st_uid, before.st_uid);
        EXPECT_EQ(after.st_gid, before.st_gid);
        EXPECT_NE(after.st_ino, before.st_ino);  // a new file renamed into place, never half-written
        EXPECT_EQ(Get(ini), Expected(Stored, "new"));
        EXPECT_FALSE(Exists(ini + ".tmp"));
    }
}

TEST(IniPosixWrite, OrdinaryWritesCreateReplaceAndSkipWhatIsAlreadyThere) {
    Scratch scratch;
    std::string ini = scratch.Path("launcher.ini");

    // None there: made with the default permissions.
    ASSERT_TRUE(WriteUser(ini, "first"));
    EXPECT_EQ(Get(ini), "[launcher]\nUser=first\n");
    mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(StatOf(ini).st_mode & 0777, 0666 & ~mask);

    // The same value again: nothing is written.
    struct stat before = StatOf(ini);
    ASSERT_TRUE(WriteUser(ini, "first"));
    EXPECT_EQ(StatOf(ini).st_ino, before.st_ino);

    // A large file keeps every other byte.
    std::string big = "; " + std::string(200 * 1024, 'c') + "\r\n[other]\r\nUser=no\r\n[launcher]\r\nUser=old\r\n[x]\r\n";
    Put(ini, big);
    ASSERT_TRUE(WriteUser(ini, "caf\xC3\xA9"));
    EXPECT_EQ(Get(ini), Expected(big, "caf\xC3\xA9"));
    EXPECT_EQ(ReadUser(ini), "caf\xC3\xA9");

    // Not a file: refused.
    EXPECT_FALSE(WriteUser(scratch.root, "x"));
    EXPECT_FALSE(WriteUser(scratch.Path("missing/launcher.ini"), "x"));
}

TEST(IniPosixWrite, FileWithOtherHardLinksIsEditedInPlace) {
    // Growing, shrinking and same-size edits, each through chunk-sized
    // tails, so the bytes after the cut move in both directions.
    const std::string tail = "\n[x]\n; " + std::string(40 * 1024, 't') + "\n";
    struct Case {
        const char *name;
        std::string text;
        const char *value;
    } cases[] = {
        {"longer value", "[launcher]\nUser=old" + tail, "a much longer name"},
        {"shorter value", "[launcher]\nUser=a long old name" + tail, "b"},
        {"same length", "[launcher]\nUser=abc" + tail, "xyz"},
        {"new key", "[launcher]\nGameExe=g.exe\n" + tail, "new"},
        {"new section", "[x]\nk=v\n" + tail, "new"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Scratch scratch;
        std::string ini = scratch.Path("launcher.ini"), other = scratch.Path("other-name.ini");
        Put(ini, c.text);
        ASSERT_EQ(link(ini.c_str(), other.c_str()), 0);
        struct stat before = StatOf(ini);

        ASSERT_TRUE(WriteUser(ini, c.value));
        EXPECT_EQ(StatOf(ini).st_ino, before.st_ino);
        EXPECT_EQ(Get(ini), Expected(c.text, c.value));
        EXPECT_EQ(Get(other), Get(ini));
        EXPECT_EQ(ReadUser(other), c.value);
        EXPECT_FALSE(Exists(ini + ".tmp"));
    }
}

TEST(IniPosixRead, AFifoOrAFolderReadsAsNoFileWithoutWaitingAndIsNeverWritten) {
    const struct {
        const char *name;
        bool fifo, linked;  // a FIFO (else a folder), reached through a link at launcher.ini
    } cases[] = {{"FIFO", true, false}, {"link to a FIFO", true, true}, {"folder", false, false}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Scratch scratch;
        std::string ini = scratch.Path("launcher.ini"), entry = c.linked ? scratch.Path("elsewhere") : ini;
        ASSERT_EQ(c.fifo ? mkfifo(entry.c_str(), 0600) : mkdir(entry.c_str(), 0700), 0);
        if (c.linked) {
            ASSERT_EQ(symlink("elsewhere", ini.c_str()), 0);
        }
        // A read or write that waits for a FIFO's other end gets it after 5 s, and fails.
        auto both = std::async(std::launch::async, [&] { return std::make_pair(ReadUser(ini), WriteUser(ini, "new")); });
        bool prompt = both.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
        for (int i = 0; i < 10 && both.wait_for(std::chrono::seconds(1)) != std::future_status::ready; i++)
            close(open(entry.c_str(), O_RDWR | O_NONBLOCK));
        EXPECT_TRUE(prompt) << "waited on the FIFO";
        EXPECT_EQ(both.get(), std::make_pair(std::string("<none>"), false));
        EXPECT_TRUE(c.fifo ? S_ISFIFO(StatOf(entry).st_mode) : S_ISDIR(StatOf(entry).st_mode));
        EXPECT_FALSE(Exists(ini + ".tmp") || Exists(entry + ".tmp"));
    }
}
