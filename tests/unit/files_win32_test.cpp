// File-system seam on Windows: a read-only program is replaced and stays
// read-only, is set aside for its successor, and is put back when none can
// move in; a small read says when nothing is there. Windows only.
#include <windows.h>
#undef ReplaceFile  // the seam's own function, not the system's ReplaceFileW

#include <gtest/gtest.h>

#include "platform/files.h"
#include "test_files.h"

static bool IsReadOnly(const WideString &path) { return GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_READONLY; }

TEST(FilesWin32, ReadOnlyProgramsAreReplacedSetAsideAndPutBack) {
    WideString folder = MakeScratchFolder();
    WideString target = JoinPath(folder, "launcher.exe"), part = JoinPath(folder, "new.part");
    WideString aside = JoinPath(folder, "aside.old");
    WriteBytes(target, "old");
    ASSERT_TRUE(SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_READONLY));
    WriteBytes(part, "new");
    ASSERT_TRUE(ReplaceFile(part.c_str(), target.c_str()));
    EXPECT_TRUE(ReadBytes(target) == "new" && IsReadOnly(target));

    WriteBytes(part, "newer");
    ASSERT_TRUE(ReplaceRunningProgram(part.c_str(), target.c_str(), aside.c_str()));
    EXPECT_TRUE(ReadBytes(target) == "newer" && IsReadOnly(target));
    EXPECT_TRUE(ReadBytes(aside) == "new" && !IsReadOnly(aside));  // so the next start may remove it

    EXPECT_FALSE(ReplaceRunningProgram(part.c_str(), target.c_str(), aside.c_str()));  // no successor
    EXPECT_EQ(ReadBytes(target), "newer");

    // A small read tells nothing there from something that is no file.
    char bytes[16];
    EXPECT_EQ(ReadSmallFile(JoinPath(folder, "none").c_str(), bytes, 16), NothingAtPath);
    EXPECT_EQ(ReadSmallFile(JoinPath(folder, "none\\deeper").c_str(), bytes, 16), NothingAtPath);
    EXPECT_EQ(ReadSmallFile(folder.c_str(), bytes, 16), -1);
    SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL);
    RemoveTree(folder);
}
