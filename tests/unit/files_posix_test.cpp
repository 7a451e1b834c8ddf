// File-system seam on POSIX, in a scratch folder under /tmp: the size
// limits and refusals of the small whole-file helpers, sizes, replacing and
// removing. Linux only (/proc/self/exe).
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

// Scratch folder as a POSIX path.
std::string ScratchFolder() {
    return Narrow(MakeScratchFolder());
}

// Writes through the seam itself, so its write loop is exercised too.
void WriteThroughSeam(const std::string &path, const std::string &bytes) {
    FileHandle file = CreateFileForWriting(Wide(path).c_str());
    ASSERT_NE(file, NoFile);
    ASSERT_TRUE(WriteToFile(file, bytes.data(), int(bytes.size())));
    EXPECT_TRUE(FlushFile(file));
    CloseFile(file);
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
