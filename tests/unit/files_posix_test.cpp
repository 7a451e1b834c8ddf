// File-system seam on POSIX, in a scratch folder under /tmp: the size
// limits and refusals of the small whole-file helpers, sizes, replacing and
// removing; links and FIFOs at a download's kept files and at the folder
// lock's file. Linux only (/proc/self/exe).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstring>
#include <filesystem>
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
    EXPECT_EQ(ReadSmallFile(Wide(scratch).c_str(), bytes, 16), -1);  // something, but no file
    EXPECT_EQ(ReadSmallFile(Wide(scratch + "/none").c_str(), bytes, 16), NothingAtPath);
    EXPECT_EQ(ReadSmallFile(Wide(scratch + "/none/deeper").c_str(), bytes, 16), NothingAtPath);

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

    // A block for a whole file, under and over a large page: filled, grown
    // and released as malloc's.
    for (size_t bytes : {size_t(100), size_t(2) << 20, (size_t(5) << 20) + 3}) {
        char *block = static_cast<char *>(AllocateBlockForFilling(bytes));
        ASSERT_NE(block, nullptr);
        memset(block, 'x', bytes);
        char *grown = static_cast<char *>(realloc(block, bytes * 2));
        ASSERT_NE(grown, nullptr);
        EXPECT_EQ(grown[0], 'x');
        EXPECT_EQ(grown[bytes - 1], 'x');
        free(grown);
    }

    WideChar self[260];
    int units = ExecutablePath(self, 260);
    ASSERT_GT(units, 0);
    EXPECT_EQ(self[0], u'/');
    EXPECT_TRUE(PathExists(self));

    RemoveTree(Wide(scratch));
}

// A replaced file's successor keeps its permission bits (a program stays
// runnable), set-id bits excepted.
TEST(FilesPosix, ReplacedFilesKeepTheirPermissionBits) {
    std::string scratch = ScratchFolder(), target = scratch + "/program", part = scratch + "/new.part";
    struct stat info;
    const mode_t cases[][2] = {{0755, 0755}, {0700, 0700}, {0444, 0444}, {04755, 0755}, {0, 0}};
    for (const mode_t *c : cases) {
        WriteThroughSeam(target, "old");
        ASSERT_EQ(chmod(target.c_str(), c[0]), 0);
        WriteThroughSeam(part, "new");
        ASSERT_TRUE(ReplaceFile(Wide(part).c_str(), Wide(target).c_str()));
        ASSERT_EQ(stat(target.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, c[1]) << std::oct << c[0];
        ASSERT_EQ(unlink(target.c_str()), 0);
    }
    RemoveTree(Wide(scratch));
}

// Runs call on a thread of its own; one that has not returned within 5 s
// waits (on a FIFO, a lock): release() frees it, and false comes back.
template <class Call>
bool Prompt(Call call, const std::function<void()> &release, decltype(call()) *result) {
    auto pending = std::async(std::launch::async, call);
    bool prompt = pending.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    if (!prompt) release();
    *result = pending.get();
    return prompt;
}

// Puts one kind of entry at path; outside is a file a link may lead to.
void Plant(const std::string &kind, const std::string &path, const std::string &outside) {
    int made = 0;
    if (kind == "regular file") WriteBytes(Wide(path), "kept");
    else if (kind == "hard link") made = link(outside.c_str(), path.c_str());
    else if (kind == "symbolic link") made = symlink(outside.c_str(), path.c_str());
    else if (kind == "dangling link") made = symlink((outside + ".none").c_str(), path.c_str());
    else if (kind == "FIFO") made = mkfifo(path.c_str(), 0600);
    else if (kind == "folder") made = mkdir(path.c_str(), 0700);
    ASSERT_EQ(made, 0) << kind;
}

}  // namespace

TEST(FilesPosix, KeptFilesAreUsedOnlyWhenTheyAreRegularFilesOfOneLinkAndNothingWaits) {
    const struct {
        const char *kind;
        bool usable;        // appended to, read as a record
        bool readableGame;  // hashed or stamped as a game file (links followed)
    } names[] = {{"regular file", true, true}, {"hard link", false, true}, {"symbolic link", false, true},
                 {"dangling link", false, false}, {"FIFO", false, false}, {"folder", false, false}};
    std::string scratch = ScratchFolder(), outside = scratch + "/outside.bin";
    std::string path = scratch + "/.~launcher-0123456789abcdef.part";
    WideString wide = Wide(path);
    auto release = [&] { close(open(path.c_str(), O_RDWR | O_NONBLOCK)); };  // meets a FIFO's waiting open
    StampSeries *series = BeginStampSeries();  // holds the scratch folder from the first kind on
    for (const auto &name : names) {
        SCOPED_TRACE(name.kind);
        WriteBytes(Wide(outside), "outside");
        Plant(name.kind, path, outside);
        FileStamp alone = {}, inSeries = {};
        EXPECT_EQ(StampLocalFile(wide.c_str(), &alone), name.readableGame);
        EXPECT_EQ(StampInSeries(series, wide.c_str(), &inSeries), name.readableGame);
        EXPECT_EQ(memcmp(&alone, &inSeries, sizeof alone), 0);
        FileHandle kept = NoFile, game = NoFile, made = NoFile;
        EXPECT_TRUE(Prompt([&] { return OpenFileForAppending(wide.c_str()); }, release, &kept));
        EXPECT_EQ(kept != NoFile, name.usable);
        if (kept != NoFile) {  // reads from the start (the part is hashed), writes at the end
            char head[2];
            EXPECT_EQ(ReadFromFile(kept, head, 2), 2);
            EXPECT_EQ(std::string(head, 2), "ke");
            EXPECT_TRUE(WriteToFile(kept, "X", 1) && FlushFile(kept));
            CloseFile(kept);
        }
        char record[16];
        int read = 0;
        EXPECT_TRUE(Prompt([&] { return ReadSmallFile(wide.c_str(), record, 16); }, release, &read));
        EXPECT_EQ(read, name.usable ? 5 : -1);  // "keptX"
        EXPECT_TRUE(Prompt([&] { return OpenFileForReading(wide.c_str()); }, release, &game));
        EXPECT_EQ(game != NoFile, name.readableGame);
        CloseFile(game);
        // A temporary is only ever made new: whatever is there stays as it was.
        EXPECT_TRUE(Prompt([&] { return CreateFileForWriting(wide.c_str()); }, release, &made));
        EXPECT_EQ(made, NoFile);
        CloseFile(made);
        EXPECT_EQ(ReadBytes(Wide(outside)), "outside");
        EXPECT_FALSE(PathExists(Wide(outside + ".none").c_str()));
        rmdir(path.c_str());
        unlink(path.c_str());
    }
    EndStampSeries(series);
    RemoveTree(Wide(scratch));
}

// A series holds the folders it stamped in: a folder missing at first is
// looked for again once made (a patch makes them as it goes), a file
// renamed over one in a held folder is the one stamped, more folders than
// a series holds at once are let go and taken again, and the next series
// finds a folder that replaced one an earlier series held.
TEST(FilesPosix, AStampSeriesSeesWhatIsAtEachPathNowAsFoldersComeAndGo) {
    std::string scratch = ScratchFolder(), data = scratch + "/data", file = data + "/a.pak";
    WideString wide = Wide(file);
    FileStamp stamp, alone;
    StampSeries *series = BeginStampSeries();
    EXPECT_FALSE(StampInSeries(series, wide.c_str(), &stamp));  // no folder yet
    WriteBytes(wide, "first");
    ASSERT_TRUE(StampInSeries(series, wide.c_str(), &stamp));
    EXPECT_EQ(stamp.size, 5);
    WriteBytes(Wide(data + "/a.part"), "second!");
    ASSERT_EQ(rename((data + "/a.part").c_str(), file.c_str()), 0);
    ASSERT_TRUE(StampInSeries(series, wide.c_str(), &stamp) && StampLocalFile(wide.c_str(), &alone));
    EXPECT_EQ(memcmp(&stamp, &alone, sizeof stamp), 0);
    EXPECT_EQ(stamp.size, 7);
    for (int round = 0; round < 2; round++) {  // 300 folders, in turn, twice
        for (int i = 0; i < 300; i++) {
            std::string folder = scratch + "/f" + std::to_string(i), named = folder + "/x.dat";
            if (round == 0) WriteBytes(Wide(named), std::string(size_t(i), 'x'));
            ASSERT_TRUE(StampInSeries(series, Wide(named).c_str(), &stamp)) << named;
            ASSERT_EQ(stamp.size, i) << named;
        }
    }
    EndStampSeries(series);

    // With few descriptors allowed, a series keeps no more than a quarter.
    auto openDescriptors = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
    };
    struct rlimit allowed, few;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &allowed), 0);
    few = allowed;
    few.rlim_cur = 200;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &few), 0);
    auto before = openDescriptors();
    series = BeginStampSeries();
    for (int i = 0; i < 120; i++) {
        std::string named = scratch + "/f" + std::to_string(i) + "/x.dat";
        ASSERT_TRUE(StampInSeries(series, Wide(named).c_str(), &stamp) && stamp.size == i) << named;
    }
    EXPECT_LE(openDescriptors() - before, 50);
    EndStampSeries(series);
    EXPECT_EQ(openDescriptors(), before);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &allowed), 0);

    ASSERT_EQ(rename(data.c_str(), (scratch + "/data.old").c_str()), 0);
    WriteBytes(wide, "third file");
    series = BeginStampSeries();
    ASSERT_TRUE(StampInSeries(series, wide.c_str(), &stamp) && StampLocalFile(wide.c_str(), &alone));
    EXPECT_EQ(memcmp(&stamp, &alone, sizeof stamp), 0);
    EXPECT_EQ(stamp.size, 10);
    EndStampSeries(series);
    RemoveTree(Wide(scratch));
}

// The lock file is made owner-only in the player's lock folder and kept,
// and nothing is written to the game folder; anything else at its name, or
// one another user could hold, is refused at once (the pass goes unlocked).
TEST(FilesPosix, FolderLockFileIsThePlayersAloneAndAStrangersNeverMakesAPassWait) {
    std::string scratch = ScratchFolder(), outside = scratch + "/outside.bin";
    WideString folder = Wide(scratch);
    WideChar lockWide[PATH_MAX];
    ASSERT_TRUE(BuildFolderLockPath(folder.c_str(), lockWide, PATH_MAX));
    std::string lockPath = Narrow(lockWide);
    WriteBytes(Wide(outside), "outside");
    struct stat info;
    for (int run = 0; run < 2; run++) {  // the second after the file was widened by hand
        FolderLock *lock = nullptr;
        ASSERT_EQ(TryLockFolder(folder.c_str(), &lock), FolderLocked);
        UnlockFolder(lock);
        ASSERT_EQ(lstat(lockPath.c_str(), &info), 0);
        EXPECT_TRUE(S_ISREG(info.st_mode));
        EXPECT_EQ(info.st_mode & 0777, 0600u);
        EXPECT_EQ(info.st_uid, geteuid());
        ASSERT_EQ(chmod(lockPath.c_str(), 0644), 0);
    }
    int inGameFolder = 0;
    for (const auto &entry : std::filesystem::directory_iterator(scratch)) inGameFolder += entry.exists();
    EXPECT_EQ(inGameFolder, 1);  // outside.bin alone: nothing of the lock
    for (std::string stranger : {"FIFO", "symbolic link", "folder", "another owner's"}) {
        SCOPED_TRACE(stranger);
        unlink(lockPath.c_str());
        int held = -1;  // the other owner's hold on the file
        if (stranger == "another owner's") {
            if (geteuid() != 0) continue;  // only root can hand the file to another owner
            WriteBytes(Wide(lockPath), "");
            ASSERT_EQ(chown(lockPath.c_str(), 65534, 65534), 0);
            ASSERT_EQ(flock(held = open(lockPath.c_str(), O_RDONLY), LOCK_EX), 0);
        } else {
            Plant(stranger, lockPath, outside);
        }
        auto release = [&] {
            close(open(lockPath.c_str(), O_RDWR | O_NONBLOCK));
            if (held >= 0) close(held);
            held = -1;
        };
        FolderLockState state = FolderLocked;
        FolderLock *waited = nullptr;
        EXPECT_TRUE(Prompt([&] {
            FolderLock *taken = nullptr;
            FolderLockState seen = TryLockFolder(folder.c_str(), &taken);
            UnlockFolder(taken);
            return seen;
        }, release, &state));
        EXPECT_EQ(state, FolderLockUnavailable);
        EXPECT_TRUE(Prompt([&] { return WaitLockFolder(folder.c_str()); }, release, &waited));
        EXPECT_EQ(waited, nullptr);
        UnlockFolder(waited);
        release();
        rmdir(lockPath.c_str());
    }
    unlink(lockPath.c_str());
    EXPECT_EQ(ReadBytes(Wide(outside)), "outside");
    RemoveTree(folder);
}
