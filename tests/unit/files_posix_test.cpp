// File-system seam on POSIX, in a scratch folder under /tmp: the size
// limits and refusals of the small whole-file helpers, sizes, replacing and
// removing; what the kept files of a download (partial body, resume
// record) may be; the folder lock's file. Linux only (/proc/self/exe).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <future>
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

// Runs call on a thread of its own. When it has not returned within five
// seconds it is taken to wait (on a FIFO, on a lock): release() is called
// to set it free, so the test ends, and false comes back.
template <class Result>
bool ReturnsWithoutWaiting(std::function<Result()> call, std::function<void()> release, Result *result) {
    std::future<Result> pending = std::async(std::launch::async, call);
    bool prompt = pending.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    if (!prompt) release();
    *result = pending.get();
    return prompt;
}

// Sets free whoever waits in open() on the FIFO at path: an open for
// reading and writing at once never waits itself and meets both kinds.
void ReleaseFifo(const std::string &path) {
    int fd = open(path.c_str(), O_RDWR | O_NONBLOCK);
    if (fd >= 0) close(fd);
}

// What the launcher may find at the name of a file it keeps between runs.
struct KeptName {
    const char *kind;
    bool usable;        // may be gone on with: appended to, read as a record
    bool readableGame;  // may be hashed as a game file (links followed)
};

// Puts one kind of entry at path; outside is a file beyond the game folder
// that a link may lead to.
void Plant(const char *kind, const std::string &path, const std::string &outside) {
    std::string k = kind;
    int made = 0;
    if (k == "regular file") WriteBytes(Wide(path), "kept");
    else if (k == "hard link to a file elsewhere") made = link(outside.c_str(), path.c_str());
    else if (k == "symbolic link to a file") made = symlink(outside.c_str(), path.c_str());
    else if (k == "dangling symbolic link") made = symlink((outside + ".none").c_str(), path.c_str());
    else if (k == "FIFO") made = mkfifo(path.c_str(), 0600);
    else if (k == "folder") made = mkdir(path.c_str(), 0700);
    ASSERT_EQ(made, 0) << kind;
}

}  // namespace

TEST(FilesPosix, KeptFilesAreUsedOnlyWhenTheyAreRegularFilesOfOneLinkAndNothingWaits) {
    const KeptName names[] = {
        {"regular file", true, true},
        {"hard link to a file elsewhere", false, true},
        {"symbolic link to a file", false, true},
        {"dangling symbolic link", false, false},
        {"FIFO", false, false},
        {"folder", false, false},
    };
    std::string scratch = ScratchFolder();
    std::string outside = scratch + "/outside.bin";
    for (const KeptName &name : names) {
        SCOPED_TRACE(name.kind);
        WriteBytes(Wide(outside), "outside");
        std::string path = scratch + "/.~launcher-0123456789abcdef.part";
        Plant(name.kind, path, outside);
        WideString wide = Wide(path);
        auto release = [&] { ReleaseFifo(path); };

        FileHandle kept = NoFile;
        EXPECT_TRUE(ReturnsWithoutWaiting<FileHandle>([&] { return OpenFileForAppending(wide.c_str()); }, release, &kept));
        EXPECT_EQ(kept != NoFile, name.usable);
        if (kept != NoFile) {
            // Reads start at the beginning, so the part can be hashed;
            // writes land at the end wherever the reading stopped.
            char head[2];
            EXPECT_EQ(ReadFromFile(kept, head, 2), 2);
            EXPECT_EQ(std::string(head, 2), "ke");
            EXPECT_TRUE(WriteToFile(kept, "X", 1));
            EXPECT_TRUE(FlushFile(kept));
            CloseFile(kept);
            EXPECT_EQ(ReadBytes(wide), "keptX");
        }

        char record[16];
        int read = 0;
        EXPECT_TRUE(ReturnsWithoutWaiting<int>([&] { return ReadSmallFile(wide.c_str(), record, 16); }, release, &read));
        EXPECT_EQ(read, name.usable ? 5 : -1);  // "keptX"

        FileHandle game = NoFile;
        EXPECT_TRUE(ReturnsWithoutWaiting<FileHandle>([&] { return OpenFileForReading(wide.c_str()); }, release, &game));
        EXPECT_EQ(game != NoFile, name.readableGame);
        CloseFile(game);

        // A temporary is only ever made new: whatever is there stays as it was.
        FileHandle made = NoFile;
        EXPECT_TRUE(ReturnsWithoutWaiting<FileHandle>([&] { return CreateFileForWriting(wide.c_str()); }, release, &made));
        EXPECT_EQ(made, NoFile);
        CloseFile(made);
        EXPECT_EQ(ReadBytes(Wide(outside)), "outside");
        EXPECT_FALSE(PathExists(Wide(outside + ".none").c_str()));

        if (std::string(name.kind) == "folder") rmdir(path.c_str());
        else unlink(path.c_str());
        made = CreateFileForWriting(wide.c_str());
        EXPECT_NE(made, NoFile);  // the name once removed
        CloseFile(made);
        unlink(path.c_str());
    }
    RemoveTree(Wide(scratch));
}

// The lock file is the player's: made owner-only, kept after the pass, and
// refused (the pass then goes on unlocked, never waiting) when anything
// else is at its name or it belongs to another user who could hold it.
TEST(FilesPosix, FolderLockFileIsThePlayersAloneAndAStrangersNeverMakesAPassWait) {
    std::string scratch = ScratchFolder();
    std::string lockPath = scratch + "/" + Narrow(FolderLockFileName);
    WideString folder = Wide(scratch);

    FolderLock *lock = nullptr;
    ASSERT_EQ(TryLockFolder(folder.c_str(), &lock), FolderLocked);
    UnlockFolder(lock);
    struct stat info;
    ASSERT_EQ(lstat(lockPath.c_str(), &info), 0);  // kept on the disk
    EXPECT_TRUE(S_ISREG(info.st_mode));
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(info.st_uid, geteuid());
    ASSERT_EQ(chmod(lockPath.c_str(), 0644), 0);  // widened by hand: narrowed again
    ASSERT_EQ(TryLockFolder(folder.c_str(), &lock), FolderLocked);
    UnlockFolder(lock);
    ASSERT_EQ(lstat(lockPath.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    struct Stranger {
        const char *kind;
        bool needsRoot;  // made by another owner
    };
    const Stranger strangers[] = {{"FIFO", false}, {"symbolic link to a file", false}, {"folder", false},
                                  {"lock file of another owner", true}};
    std::string outside = scratch + "/outside.bin";
    WriteBytes(Wide(outside), "outside");
    for (const Stranger &stranger : strangers) {
        SCOPED_TRACE(stranger.kind);
        unlink(lockPath.c_str());
        int held = -1;  // the stranger's own hold on the file
        if (stranger.needsRoot) {
            if (geteuid() != 0) {
                std::printf("[ SKIPPED  ] %s needs root to hand the file to another owner\n", stranger.kind);
                continue;
            }
            WriteBytes(Wide(lockPath), "");
            ASSERT_EQ(chown(lockPath.c_str(), 65534, 65534), 0);
            held = open(lockPath.c_str(), O_RDONLY);
            ASSERT_GE(held, 0);
            ASSERT_EQ(flock(held, LOCK_EX), 0);
        } else {
            Plant(stranger.kind, lockPath, outside);
        }
        auto release = [&] {
            ReleaseFifo(lockPath);
            if (held >= 0) close(held);
            held = -1;
        };
        FolderLockState state = FolderLocked;
        EXPECT_TRUE(ReturnsWithoutWaiting<FolderLockState>(
            [&] {
                FolderLock *taken = nullptr;
                FolderLockState seen = TryLockFolder(folder.c_str(), &taken);
                UnlockFolder(taken);
                return seen;
            },
            release, &state));
        EXPECT_EQ(state, FolderLockUnavailable);
        FolderLock *waited = nullptr;
        EXPECT_TRUE(ReturnsWithoutWaiting<FolderLock *>([&] { return WaitLockFolder(folder.c_str()); }, release, &waited));
        EXPECT_EQ(waited, nullptr);
        UnlockFolder(waited);
        release();
        if (std::string(stranger.kind) == "folder") rmdir(lockPath.c_str());
    }
    EXPECT_EQ(ReadBytes(Wide(outside)), "outside");
    RemoveTree(folder);
}
