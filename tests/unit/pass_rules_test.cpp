// Rules of a pass that need no server: which fetched bodies count as a
// manifest, the temporaries' names, and the game folder's lock.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "patch/manifest.h"
#include "patch/temporary.h"
#include "platform/files.h"
#include "test_files.h"

TEST(ManifestBody, PagesThatAreNoManifestAndManifestsCutOffAreRefusedWithTheReason) {
    static const char Page[] = "not a manifest: text lines but no entry line";
    struct Case {
        const char *text;
        const char *reason;  // "" when the body is usable
    };
    const Case cases[] = {
        {"a.bin|1|http://h/a\n", ""},
        {"<html><body>Back soon.</body></html>\n", Page},         // a maintenance page
        {"Please sign in to use this network.", Page},            // no line feed at all
        {"# nothing yet\n\n   \n\t\r\n#\n", ""},                   // an operator's empty manifest
        {"# comment\nonly text\n", Page},
        {"# bars|in|a comment\r\n\r\nwords\r\n", Page},
        {"odd|line\n", ""},                                        // one bar still counts as an entry
        {"#launcher-manifest entries=1\na|1|u\n#end entries=1\n", ""},
        {"#launcher-manifest entries=1\r\na|1|u\r\n#end entries=1\r\n", ""},
        {"#launcher-manifest entries=0\n#end entries=0\n", ""},
        {"#launcher-manifest entries=2\na|1|u\nb|2|u\n#end entries=2\n\n\n", ""},
        {"#launcher-manifest entries=2\na|1|u\nb|2|u\n#end entries=2\n# signed by the release job\n \n#\n", ""},
        {"#launcher-manifest entries=2\na|1|u\nb|2|u\n#end entries=2\n#end entries=5\n", ""},
        {"#launcher-manifest entries=2\na|1|u\nb|2|u\n",                 // cut before the end line
         "2 entry lines, but no \"#end entries=2\" line (cut off?)"},
        {"#launcher-manifest entries=2\na|1|u\nb|2|u\n#end entr", "2 entry lines, but no \"#end entries=2\" line (cut off?)"},
        {"#launcher-manifest entries=36\na|1|u\n", "1 entry line, but no \"#end entries=36\" line (cut off?)"},
        {"#launcher-manifest entries=2\na|1|u\n#end entries=2\n", "1 entry line, but #end says 2"},  // an entry lost
        {"#launcher-manifest entries=1\na|1|u\nb|2|u\n#end entries=1\n", "2 entry lines, but #end says 1"},
        {"#launcher-manifest entries=2\na|1|u\nb|2|u\n#end entries=3\n", "2 entry lines; the first line says 2, #end says 3"},
        {"#launcher-manifest entries=3\na|1|u\nb|2|u\n#end entries=2\n", "2 entry lines; the first line says 3, #end says 2"},
        {"#launcher-manifest entries=1\na|1|u\n#end entries=1\nb|2|u\n", "an entry line after \"#end entries=1\""},
        {"#launcher-manifest entries=1\na|1|u\n#end entries=1\r\n\r\nstray words\r\n", "a text line after \"#end entries=1\""},
        {"#launcher-manifest entries=1\na|1|u\n#end entries=1\n#launcher-manifest entries=1\nb|2|u\n#end entries=1\n",
         "an entry line after \"#end entries=1\""},                 // two manifests one after the other
        {"#launcher-manifest entries=x\na|1|u\n#end entries=x\n", "its first line is not \"#launcher-manifest entries=N\""},
        {"#launcher-manifest entries=99999999999\n#end entries=99999999999\n",
         "its first line is not \"#launcher-manifest entries=N\""},
        {"#launcher-manifest entries=1\na|1|u\n#end entries=1x\n", "1 entry line, but no \"#end entries=1\" line (cut off?)"},
        {"#launcher-manifestentries=1\na|1|u\n", ""},               // not the mark: a plain comment
        {"a|1|u\n#end entries=7\n", ""},                           // an end line alone marks nothing
    };
    for (const Case &c : cases) {
        char reason[ManifestReasonBytes];
        ManifestUnusableReason(c.text, reason);
        EXPECT_STREQ(reason, c.reason) << c.text;
        EXPECT_EQ(IsUsableManifest(c.text), c.reason[0] == 0) << c.text;
    }
}

static WideString Sep(const char *path) {
    std::string native = path;
    for (char &c : native)
        if (c == '/') c = char(PathSeparator);
    return Wide(native.c_str());
}

TEST(TemporaryName, ShortFixedBesideItsTargetAndRecognisedOnlyInItsOwnForm) {
    WideChar out[TemporaryPathUnits];
    std::string longName(255, 'n');
    ASSERT_TRUE(BuildTemporaryPath(Sep(("/g/data/" + longName).c_str()).c_str(), out));
    std::string temporary = Narrow(out);
    std::string folder = Narrow(Sep("/g/data/"));
    ASSERT_EQ(temporary.compare(0, folder.size(), folder), 0) << temporary;
    std::string name = temporary.substr(folder.size());
    EXPECT_EQ(name.size(), size_t(TemporaryNameUnits)) << name;
    EXPECT_TRUE(IsTemporaryName(Wide(name.c_str()).c_str())) << name;

    WideChar other[TemporaryPathUnits], again[TemporaryPathUnits];
    ASSERT_TRUE(BuildTemporaryPath(Sep("/g/data/a.bin").c_str(), other));
    ASSERT_TRUE(BuildTemporaryPath(Sep("/g/data/a.bin").c_str(), again));
    EXPECT_EQ(Narrow(other), Narrow(again));       // found again by a later pass
    EXPECT_NE(Narrow(other), temporary);           // every target its own
    WideChar moved[TemporaryPathUnits];
    ASSERT_TRUE(BuildTemporaryPath(Sep("/g/other/a.bin").c_str(), moved));
    EXPECT_EQ(Narrow(moved).substr(Narrow(moved).size() - TemporaryNameUnits),
              Narrow(other).substr(Narrow(other).size() - TemporaryNameUnits));
    EXPECT_FALSE(BuildTemporaryPath(Wide("a.bin").c_str(), out));  // no folder part

    const char *notOurs[] = {"a.bin.part~", ".~launcher-0123456789abcdef.part~", ".~launcher-0123456789abcdeg.part",
                             ".~launcher-0123456789ABCDEF.part", "~launcher-0123456789abcdef.part",
                             ".~launcher-0123456789abcde.part", ""};
    for (const char *candidate : notOurs) EXPECT_FALSE(IsTemporaryName(Wide(candidate).c_str())) << candidate;

    EXPECT_TRUE(NamesTemporaryFile(Wide(name.c_str()).c_str()));
    EXPECT_TRUE(NamesTemporaryFile(Wide(("data/sub\\" + name).c_str()).c_str()));
    std::string upper = name;
    for (char &c : upper) c = char(toupper(static_cast<unsigned char>(c)));
    EXPECT_TRUE(NamesTemporaryFile(Wide(("x/" + upper).c_str()).c_str()));  // the same file on Windows
    EXPECT_FALSE(NamesTemporaryFile(Wide((name + "/file.bin").c_str()).c_str()));

    // The sweep of leftovers reads the hash back from both kinds of name.
    WideChar record[TemporaryPathUnits];
    ASSERT_TRUE(BuildResumeRecordPath(Sep(("/g/data/" + longName).c_str()).c_str(), record));
    uint64_t fromPart = 0, fromRecord = 0;
    ASSERT_TRUE(HashOfTemporaryName(Wide(name.c_str()).c_str(), &fromPart));
    ASSERT_TRUE(HashOfTemporaryName(Wide(Narrow(record).substr(folder.size()).c_str()).c_str(), &fromRecord));
    EXPECT_EQ(fromPart, TemporaryHashOf(Sep(("/g/data/" + longName).c_str()).c_str()));
    EXPECT_EQ(fromRecord, fromPart);
    EXPECT_FALSE(HashOfTemporaryName(Wide("a.bin").c_str(), &fromPart));
    EXPECT_FALSE(NamesTemporaryFile(Wide("data/a.bin.part~").c_str()));
}

TEST(FolderLock, OnePassAtATimeAndFreeAgainOnceReleased) {
    WideString folder = MakeScratchFolder();
    FolderLock *held = nullptr;
    ASSERT_EQ(TryLockFolder(folder.c_str(), &held), FolderLocked);

    // Another thread stands for another pass (the Windows lock belongs to
    // a thread, as a pass runs on one).
    FolderLockState seen = FolderLocked;
    std::thread([&] {
        FolderLock *other = nullptr;
        seen = TryLockFolder(folder.c_str(), &other);
        UnlockFolder(other);
    }).join();
    EXPECT_EQ(seen, FolderLockBusy);

    std::atomic<bool> waiterHasIt{false};
    std::thread waiter([&] {
        FolderLock *lock = WaitLockFolder(folder.c_str());
        waiterHasIt = lock != nullptr;
        UnlockFolder(lock);
    });
    UnlockFolder(held);
    waiter.join();
    EXPECT_TRUE(waiterHasIt);

    FolderLock *again = nullptr;
    EXPECT_EQ(TryLockFolder(folder.c_str(), &again), FolderLocked);
    UnlockFolder(again);
    RemoveTree(folder);
}
