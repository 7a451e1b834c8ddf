// File-system seam on POSIX, in a scratch folder under /tmp: the folder
// containment check against symbolic links and look-alike names, and the
// size limits and refusals of the small whole-file helpers.
// Linux only (symlink, chdir).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/files.h"
#include "test_files.h"

namespace {

WideString Wide(const std::string &utf8) {
    return ::Wide(utf8.c_str());
}

// Scratch folder as a POSIX path, for the mkdir/symlink set-up calls.
std::string ScratchFolder() {
    return Narrow(MakeScratchFolder());
}

bool Inside(const std::string &base, const std::string &path) {
    return PathStaysInside(Wide(base).c_str(), Wide(path).c_str());
}

// Writes through the seam itself, so its write loop is exercised too.
void WriteThroughSeam(const std::string &path, const std::string &bytes) {
    FileHandle file = CreateFileForWriting(Wide(path).c_str());
    ASSERT_NE(file, NoFile);
    ASSERT_TRUE(WriteToFile(file, bytes.data(), int(bytes.size())));
    EXPECT_TRUE(FlushFile(file));
    CloseFile(file);
}

TEST(FilesPosix, ContainmentFollowsLinksAndComparesWholeNames) {
    std::string scratch = ScratchFolder();
    std::string game = scratch + "/game";
    ASSERT_EQ(mkdir(game.c_str(), 0777), 0);
    ASSERT_EQ(mkdir((game + "/data").c_str(), 0777), 0);
    ASSERT_EQ(mkdir((scratch + "/game2").c_str(), 0777), 0);  // shares the prefix "game"
    ASSERT_EQ(mkdir((scratch + "/outside").c_str(), 0777), 0);
    ASSERT_EQ(symlink((scratch + "/outside").c_str(), (game + "/escape").c_str()), 0);
    ASSERT_EQ(symlink((game + "/data").c_str(), (game + "/alias").c_str()), 0);
    ASSERT_EQ(symlink(game.c_str(), (scratch + "/gamelink").c_str()), 0);

    EXPECT_TRUE(Inside(game, game + "/file.bin"));
    EXPECT_TRUE(Inside(game, game + "/data/new/deeper/file.bin"));  // folders not made yet
    EXPECT_TRUE(Inside(game, game + "/alias/file.bin"));           // a link that stays inside
    EXPECT_TRUE(Inside(scratch + "/gamelink", game + "/data/file.bin"));
    EXPECT_TRUE(Inside(game, game + "/data/../file.bin"));

    EXPECT_FALSE(Inside(game, game + "/escape/file.bin"));
    EXPECT_FALSE(Inside(game, game + "/escape/not/yet/file.bin"));
    EXPECT_FALSE(Inside(game, scratch + "/game2/file.bin"));
    EXPECT_FALSE(Inside(game, game + "/../outside/file.bin"));
    EXPECT_FALSE(Inside(game, game + "/new/../../outside/file.bin"));
    EXPECT_FALSE(Inside(scratch + "/missing", game + "/file.bin"));

    // Relative to the current folder, down to a bare file name.
    char previous[4096];
    ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
    ASSERT_EQ(chdir(game.c_str()), 0);
    EXPECT_TRUE(Inside(".", "file.bin"));
    EXPECT_TRUE(Inside(".", "data/file.bin"));
    EXPECT_FALSE(Inside(".", "escape/file.bin"));
    EXPECT_FALSE(Inside("data", "file.bin"));
    ASSERT_EQ(chdir(previous), 0);

    RemoveTree(Wide(scratch));
}

TEST(FilesPosix, SmallFilesAndFoldersAreToldApart) {
    std::string scratch = ScratchFolder();
    std::string file = scratch + "/ten.txt";
    WriteThroughSeam(file, "0123456789");

    char bytes[16];
    EXPECT_EQ(ReadSmallFile(Wide(file).c_str(), bytes, 11), 10);  // exactly fits with its zero
    EXPECT_STREQ(bytes, "0123456789");
    EXPECT_EQ(ReadSmallFile(Wide(file).c_str(), bytes, 10), -1);  // one byte too large
    EXPECT_EQ(ReadSmallFile(Wide(scratch).c_str(), bytes, 16), -1);
    EXPECT_EQ(ReadSmallFile(Wide(scratch + "/none").c_str(), bytes, 16), -1);

    int64_t size = -1;
    EXPECT_TRUE(LocalFileSize(Wide(file).c_str(), &size));
    EXPECT_EQ(size, 10);
    EXPECT_FALSE(LocalFileSize(Wide(scratch).c_str(), &size));
    EXPECT_FALSE(RemoveFile(Wide(scratch).c_str()));

    // Replacing swaps the content in and leaves no source behind.
    WriteThroughSeam(scratch + "/new.part", "abc");
    ASSERT_TRUE(ReplaceFile(Wide(scratch + "/new.part").c_str(), Wide(file).c_str()));
    EXPECT_EQ(ReadSmallFile(Wide(file).c_str(), bytes, 16), 3);
    EXPECT_FALSE(PathExists(Wide(scratch + "/new.part").c_str()));
    EXPECT_FALSE(ReplaceFile(Wide(scratch + "/new.part").c_str(), Wide(file).c_str()));

    EXPECT_TRUE(RemoveFile(Wide(file).c_str()));
    EXPECT_FALSE(RemoveFile(Wide(file).c_str()));

    WideChar self[260];
    int units = ExecutablePath(self, 260);
    ASSERT_GT(units, 0);
    EXPECT_EQ(self[0], u'/');
    EXPECT_TRUE(PathExists(self));

    RemoveTree(Wide(scratch));
}

}  // namespace
