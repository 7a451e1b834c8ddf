// File-system seam on Windows: a read-only file is replaced and its
// successor stays read-only; the running program's file is set aside for
// its successor, and put back when the successor cannot move in. Windows
// only (attributes through kernel32).
#include <windows.h>
#undef ReplaceFile  // the seam's own function, not the system's ReplaceFileW

#include <gtest/gtest.h>

#include "platform/files.h"
#include "test_files.h"

static bool IsReadOnly(const WideString &path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY);
}

TEST(FilesWin32, ReadOnlyProgramsAreReplacedSetAsideAndPutBack) {
    WideString folder = MakeScratchFolder();
    WideString target = JoinPath(folder, "launcher.exe"), part = JoinPath(folder, "new.part");
    WideString aside = JoinPath(folder, "aside.old");
    WriteBytes(target, "old");
    ASSERT_TRUE(SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_READONLY));
    WriteBytes(part, "new");
    ASSERT_TRUE(ReplaceFile(part.c_str(), target.c_str()));
    EXPECT_EQ(ReadBytes(target), "new");
    EXPECT_TRUE(IsReadOnly(target));

    WriteBytes(part, "newer");
    ASSERT_TRUE(ReplaceRunningProgram(part.c_str(), target.c_str(), aside.c_str()));
    EXPECT_EQ(ReadBytes(target), "newer");
    EXPECT_TRUE(IsReadOnly(target));
    EXPECT_EQ(ReadBytes(aside), "new");
    EXPECT_FALSE(IsReadOnly(aside));  // so the next start may remove it

    // No successor to move in: the program goes back to its own name, and
    // what an earlier update set aside is gone.
    EXPECT_FALSE(ReplaceRunningProgram(part.c_str(), target.c_str(), aside.c_str()));
    EXPECT_EQ(ReadBytes(target), "newer");
    EXPECT_FALSE(PathEntryExists(aside.c_str()));

    SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL);
    RemoveTree(folder);
}
