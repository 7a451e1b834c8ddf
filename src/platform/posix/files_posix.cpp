// File-system seam on POSIX: the launcher's few file operations as plain
// system calls on UTF-8 paths converted from the UTF-16 text the core uses.
// Linux only for ExecutablePath (/proc/self/exe) and the early writeback of
// big files (sync_file_range); the rest is POSIX.
// Replaces are durable (the folder is synced after the rename); the folder
// lock of a pass is flock() on an owner-only lock file in the player's own
// lock folder (/tmp/zenthara-launcher-<uid>). A pass's stamps are fstatat
// calls by name in the entries' folders, held open for the pass.
// Files the launcher keeps between runs (partial bodies, resume records) are
// opened without following a link at their name, without waiting on a FIFO
// (O_NONBLOCK, cleared once the file is known to be regular), and only as
// regular files with a single link, so a name planted by someone else
// never makes the launcher read or write a file elsewhere.
// A replaced file's successor gets its permission bits; new files get the
// umask defaults. Leaves out: other permissions (but the lock file's),
// byte-range locks, and paths longer than PATH_MAX bytes once converted
// (they simply fail).
#include "platform/files.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <errno.h>
#include <fcntl.h>
#include <new>
#include <stdlib.h>
#include <dirent.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

constexpr int ExecutablePathUnits = 260;  // as much as a Windows path may hold
constexpr int Utf8PathBytes = PATH_MAX;   // converted path, terminator included
constexpr int NameUnits = 512;            // one file name, more than any file system allows

// Converts a path for a system call; false when it does not fit.
static bool PathToUtf8(const WideChar *path, char *out) {
    return path != nullptr && TextToUtf8(path, out, Utf8PathBytes);
}

static int OpenRetrying(const char *path8, int flags, mode_t mode) {
    int fd;
    do fd = open(path8, flags | O_CLOEXEC, mode);
    while (fd < 0 && errno == EINTR);
    return fd;
}

int ExecutablePath(WideChar *out, int capacity) {
    char link[Utf8PathBytes];
    ssize_t length = readlink("/proc/self/exe", link, sizeof link - 1);
    if (length <= 0 || length >= ssize_t(sizeof link - 1)) return 0;  // error, or possibly cut
    link[length] = 0;
    WideChar units[ExecutablePathUnits];
    if (!Utf8ToText(link, units, ExecutablePathUnits)) return 0;
    if (!CopyText(out, capacity, units)) return 0;
    return TextLength(out);
}

bool LocalFileSize(const WideChar *path, int64_t *size) {
    char path8[Utf8PathBytes];
    struct stat info;
    if (!PathToUtf8(path, path8) || stat(path8, &info) != 0 || !S_ISREG(info.st_mode)) return false;
    *size = int64_t(info.st_size);
    return true;
}

// A regular file's stamp from its stat.
static bool StampOf(const struct stat &info, FileStamp *stamp) {
    if (!S_ISREG(info.st_mode)) return false;
    *stamp = FileStamp{int64_t(info.st_size), int64_t(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec,
                       uint64_t(info.st_dev), uint64_t(info.st_ino)};
    return true;
}

bool StampLocalFile(const WideChar *path, FileStamp *stamp) {
    char path8[Utf8PathBytes];
    struct stat info;
    return PathToUtf8(path, path8) && stat(path8, &info) == 0 && StampOf(info, stamp);
}

// A series holds the folders it came to in a table keyed by their path:
// most of a stat's time goes into walking every folder of a long path, and
// fstatat through a held folder walks only the file's name. A manifest may
// take its folders in turn rather than one after another, so more than the
// last folder is held; when the table is full, everything is let go.
// A held folder is not looked at again: checking that it is still at its
// path would cost a system call per file, as much as the walk it saves. A
// folder that could not be opened is tried again each time (a pass that
// patches makes missing folders as it goes).
constexpr int HeldFolderSlotBits = 9;
constexpr int HeldFolderSlots = 1 << HeldFolderSlotBits;
constexpr int HeldFoldersAtMost = 256;      // descriptors open at once, a quarter of the usual 1024
#ifdef O_PATH
constexpr int HeldFolderFlags = O_PATH | O_DIRECTORY;  // only looked up in: search permission is enough
#else
constexpr int HeldFolderFlags = O_RDONLY | O_DIRECTORY;
#endif

struct HeldFolder {
    char *path;          // the folder as spelled in the stamped paths; nullptr: a free slot
    size_t length;
    uint64_t hash;       // of path
    int fd;              // -1: it could not be opened the last time
};

struct StampSeries {
    HeldFolder slots[HeldFolderSlots];
    int held;            // slots in use
    int atMost;          // slots in use before all are let go
};

// A series keeps at most a quarter of the descriptors the process may
// open, so that downloads and connections never run short of them.
StampSeries *BeginStampSeries() {
    StampSeries *series = static_cast<StampSeries *>(calloc(1, sizeof(StampSeries)));
    struct rlimit open;
    rlim_t quarter = getrlimit(RLIMIT_NOFILE, &open) == 0 ? open.rlim_cur / 4 : 0;
    if (series != nullptr) series->atMost = quarter < rlim_t(HeldFoldersAtMost) ? int(quarter) : HeldFoldersAtMost;
    return series;
}

static void LetGoOfFolders(StampSeries *series) {
    for (HeldFolder &folder : series->slots) {
        if (folder.path != nullptr && folder.fd >= 0) close(folder.fd);
        free(folder.path);
        folder = HeldFolder{};
    }
    series->held = 0;
}

void EndStampSeries(StampSeries *series) {
    if (series == nullptr) return;
    LetGoOfFolders(series);
    free(series);
}

// 64-bit FNV-1a over bytes, eight at a time (a folder path is long); only
// its high bits depend on every byte.
static uint64_t FolderHash(const char *bytes, size_t length) {
    uint64_t hash = 14695981039346656037ull;
    size_t i = 0;
    for (; i + 8 <= length; i += 8) {
        uint64_t word;
        memcpy(&word, bytes + i, 8);
        hash = (hash ^ word) * 1099511628211ull;
    }
    for (; i < length; i++) hash = (hash ^ static_cast<unsigned char>(bytes[i])) * 1099511628211ull;
    return hash;
}

// The descriptor of the folder spelled by the first length bytes of path8,
// held from an earlier call or opened now; -1 when it cannot be opened.
static int HeldFolderOf(StampSeries *series, const char *path8, size_t length) {
    uint64_t hash = FolderHash(path8, length);
    size_t mask = HeldFolderSlots - 1, at = size_t(hash >> (64 - HeldFolderSlotBits));
    for (; series->slots[at].path != nullptr; at = (at + 1) & mask) {
        HeldFolder *folder = &series->slots[at];
        if (folder->hash != hash || folder->length != length || memcmp(folder->path, path8, length) != 0) continue;
        if (folder->fd < 0) folder->fd = OpenRetrying(folder->path, HeldFolderFlags, 0);
        return folder->fd;
    }
    if (series->held >= series->atMost) {
        LetGoOfFolders(series);
        at = size_t(hash >> (64 - HeldFolderSlotBits));
    }
    char *copy = static_cast<char *>(malloc(length + 1));
    if (copy == nullptr) return -1;
    memcpy(copy, path8, length);
    copy[length] = 0;
    series->slots[at] = HeldFolder{copy, length, hash, OpenRetrying(copy, HeldFolderFlags, 0)};
    series->held++;
    return series->slots[at].fd;
}

bool StampInSeries(StampSeries *series, const WideChar *path, FileStamp *stamp) {
    if (series == nullptr) return StampLocalFile(path, stamp);
    char path8[Utf8PathBytes];
    if (!PathToUtf8(path, path8)) return false;
    const char *slash = strrchr(path8, '/');
    int fd = slash != nullptr && slash != path8 ? HeldFolderOf(series, path8, size_t(slash - path8)) : -1;
    struct stat info;
    // Without a held folder (none in the path, or it cannot be opened) the
    // whole path is looked at, as StampLocalFile does.
    int looked = fd >= 0 ? fstatat(fd, slash + 1, &info, 0) : stat(path8, &info);
    return looked == 0 && StampOf(info, stamp);
}

// The block starts at a large page's boundary and fills whole large pages
// (2 MiB on x86-64 and arm64), all of them asked for with madvise; the
// rounding is never touched, so it costs no memory. A smaller block is
// malloc's.
void *AllocateBlockForFilling(size_t bytes) {
#ifdef MADV_HUGEPAGE
    constexpr size_t LargePageBytes = size_t(2) << 20;
    if (bytes >= LargePageBytes) {
        size_t rounded = (bytes + LargePageBytes - 1) & ~(LargePageBytes - 1);
        void *block = aligned_alloc(LargePageBytes, rounded);
        if (block != nullptr) (void)madvise(block, rounded, MADV_HUGEPAGE);
        return block;
    }
#endif
    return malloc(bytes);
}

PathKind LookAtPath(const WideChar *path) {
    char path8[Utf8PathBytes];
    struct stat info;
    if (!PathToUtf8(path, path8) || lstat(path8, &info) != 0) return PathAbsent;
    if (S_ISREG(info.st_mode)) return PathRegularFile;
    if (S_ISDIR(info.st_mode)) return PathFolder;
    return S_ISLNK(info.st_mode) ? PathLink : PathOther;
}

bool SameFileAt(const WideChar *a, const WideChar *b) {
    char a8[Utf8PathBytes], b8[Utf8PathBytes];
    struct stat infoA, infoB;
    return PathToUtf8(a, a8) && PathToUtf8(b, b8) && stat(a8, &infoA) == 0 && stat(b8, &infoB) == 0 &&
           infoA.st_dev == infoB.st_dev && infoA.st_ino == infoB.st_ino;
}

bool PathExists(const WideChar *path) {
    char path8[Utf8PathBytes];
    struct stat info;
    return PathToUtf8(path, path8) && stat(path8, &info) == 0;
}

bool PathEntryExists(const WideChar *path) {
    char path8[Utf8PathBytes];
    struct stat info;
    return PathToUtf8(path, path8) && lstat(path8, &info) == 0;
}

void CreateFolder(const WideChar *path) {
    char path8[Utf8PathBytes];
    if (PathToUtf8(path, path8)) (void)mkdir(path8, 0777);
}

// What an existing file must be for the launcher to use it.
enum FileDemand {
    AnyRegularFile,      // a regular file, however many names it has
    KeptFileOfOurOwn,    // also with no other hard link, which could lie outside the game folder
};

// Opens path8 with flags (O_NONBLOCK added, so a FIFO never blocks the open
// and is then refused) and keeps the descriptor only when it is a regular
// file that meets demand; blocking mode is restored for the reads and
// writes that follow. -1 when the file is refused or cannot be opened.
static int OpenRegularFile(const char *path8, int flags, FileDemand demand) {
    int fd = OpenRetrying(path8, flags | O_NONBLOCK, 0);
    if (fd < 0) return -1;
    struct stat info;
    bool usable = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
                  (demand == AnyRegularFile || info.st_nlink == 1);
    int status = usable ? fcntl(fd, F_GETFL) : -1;
    if (status < 0 || fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0) {
        close(fd);
        errno = EINVAL;  // something is there: never "no such file"
        return -1;
    }
    return fd;
}

// O_EXCL with O_NOFOLLOW fails on anything at path, a dangling link too.
FileHandle CreateFileForWriting(const WideChar *path) {
    char path8[Utf8PathBytes];
    if (!PathToUtf8(path, path8)) return NoFile;
    int fd = OpenRetrying(path8, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, 0644);
    return fd < 0 ? NoFile : FileHandle(fd);
}

// O_APPEND moves every write to the end; reads start at offset 0 and go
// on from wherever the last read or write left the position.
FileHandle OpenFileForAppending(const WideChar *path) {
    char path8[Utf8PathBytes];
    if (!PathToUtf8(path, path8)) return NoFile;
    int fd = OpenRegularFile(path8, O_RDWR | O_APPEND | O_NOFOLLOW, KeptFileOfOurOwn);
    return fd < 0 ? NoFile : FileHandle(fd);
}

// Game files may be links the player made, so links are followed here.
FileHandle OpenFileForReading(const WideChar *path) {
    char path8[Utf8PathBytes];
    if (!PathToUtf8(path, path8)) return NoFile;
    int fd = OpenRegularFile(path8, O_RDONLY, AnyRegularFile);
    if (fd >= 0) (void)posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    return fd < 0 ? NoFile : FileHandle(fd);
}

int ReadFromFile(FileHandle file, void *bytes, int count) {
    if (file == NoFile || count < 0) return -1;
    ssize_t got;
    do got = read(int(file), bytes, size_t(count));
    while (got < 0 && errno == EINTR);
    return got < 0 ? -1 : int(got);
}

int ReadFromFileAt(FileHandle file, int64_t offset, void *bytes, int count) {
    if (file == NoFile || count < 0 || offset < 0) return -1;
    ssize_t got;
    do got = pread(int(file), bytes, size_t(count), off_t(offset));
    while (got < 0 && errno == EINTR);
    return got < 0 ? -1 : int(got);
}

// A big file written in one go would leave all of its data for the flush
// before its rename; starting the disk's writing of every full stretch
// behind the writer lets the two overlap, so the flush finds little left.
constexpr off_t WritebackStretchBytes = 8 << 20;

static void StartWriteback(int fd, size_t count) {
    off_t end = lseek(fd, 0, SEEK_CUR);
    if (end < 0) return;
    off_t before = end - off_t(count);
    if (end / WritebackStretchBytes == before / WritebackStretchBytes) return;
    off_t stretch = (end / WritebackStretchBytes - 1) * WritebackStretchBytes;
    (void)sync_file_range(fd, stretch, WritebackStretchBytes, SYNC_FILE_RANGE_WRITE);
}

bool WriteToFile(FileHandle file, const void *bytes, int count) {
    if (file == NoFile || count < 0) return false;
    const char *next = static_cast<const char *>(bytes);
    size_t left = size_t(count);
    while (left > 0) {
        ssize_t written = write(int(file), next, left);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        next += written;
        left -= size_t(written);
    }
    StartWriteback(int(file), size_t(count));
    return true;
}

bool WriteToFileAt(FileHandle file, int64_t offset, const void *bytes, int count) {
    if (file == NoFile || count < 0 || offset < 0) return false;
    const char *next = static_cast<const char *>(bytes);
    size_t left = size_t(count);
    while (left > 0) {
        ssize_t written = pwrite(int(file), next, left, off_t(offset));
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        next += written;
        offset += written;
        left -= size_t(written);
    }
    return true;
}

bool FlushFile(FileHandle file) {
    return file != NoFile && fsync(int(file)) == 0;
}

void CloseFile(FileHandle file) {
    if (file != NoFile) close(int(file));
}

// A folder synced so that the entries renamed in it are on the disk.
// Failures are not reported: the rename has happened, and only its
// durability is then left to the system.
static void FlushFolder(const char *folder8) {
    int fd = open(folder8, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    (void)fsync(fd);
    close(fd);
}

// The folder holding path ("." for a bare name), synced.
static void SyncParentFolder(const char *path) {
    char folder[Utf8PathBytes];
    snprintf(folder, sizeof folder, "%s", path);
    char *slash = strrchr(folder, '/');
    if (slash == nullptr) snprintf(folder, sizeof folder, ".");
    else if (slash == folder) folder[1] = 0;
    else *slash = 0;
    FlushFolder(folder);
}

constexpr mode_t KeptModeBits = 0777;  // set-id and sticky bits are never carried over

// Gives source the permission bits of the regular file at target (a link
// there is followed: its file is what the player ran), through a
// descriptor of source itself, never a link at its name. Nothing to do
// when target is absent or no regular file. False when the bits could not
// be given: the replace would then take a program's execute bit away.
static bool TakeModeOfTarget(const char *source8, const char *target8) {
    struct stat targetInfo;
    if (stat(target8, &targetInfo) != 0 || !S_ISREG(targetInfo.st_mode)) return true;
    int fd = OpenRegularFile(source8, O_RDONLY | O_NOFOLLOW, AnyRegularFile);
    if (fd < 0) return false;
    mode_t wanted = targetInfo.st_mode & KeptModeBits;
    struct stat info;
    bool given = fstat(fd, &info) == 0 && ((info.st_mode & 07777) == wanted || fchmod(fd, wanted) == 0);
    close(fd);
    return given;
}

// rename() replaces the target atomically and leaves the source alone on
// failure, which is exactly the contract; the folder sync makes it last.
bool MoveIntoPlace(const WideChar *source, const WideChar *target) {
    char source8[Utf8PathBytes];
    char target8[Utf8PathBytes];
    return PathToUtf8(source, source8) && PathToUtf8(target, target8) && TakeModeOfTarget(source8, target8) &&
           rename(source8, target8) == 0;
}

void SyncFolder(const WideChar *path) {
    char path8[Utf8PathBytes];
    if (PathToUtf8(path, path8)) FlushFolder(path8);
}

bool ReplaceFile(const WideChar *source, const WideChar *target) {
    char target8[Utf8PathBytes];
    if (!MoveIntoPlace(source, target) || !PathToUtf8(target, target8)) return false;
    SyncParentFolder(target8);
    return true;
}

// A rename over a running program is fine here: the process keeps the
// file it was started from until it ends.
bool ReplaceRunningProgram(const WideChar *source, const WideChar *target, const WideChar *) {
    return ReplaceFile(source, target);
}

// lstat, not stat: a symbolic link to a folder is itself a file to remove.
bool RemoveFile(const WideChar *path) {
    char path8[Utf8PathBytes];
    struct stat info;
    if (!PathToUtf8(path, path8) || lstat(path8, &info) != 0 || S_ISDIR(info.st_mode)) return false;
    return unlink(path8) == 0;
}

// Reads up to capacity-1 bytes, then probes for one more to tell a file
// that fills the buffer exactly from one that is too large. Held to the
// rules of a kept file: a link, a FIFO, a folder or a file with other hard
// links reads as absent.
int ReadSmallFile(const WideChar *path, char *bytes, int capacity) {
    char path8[Utf8PathBytes];
    if (capacity <= 0 || !PathToUtf8(path, path8)) return -1;
    int fd = OpenRegularFile(path8, O_RDONLY | O_NOFOLLOW, KeptFileOfOurOwn);
    if (fd < 0) return errno == ENOENT ? NothingAtPath : -1;

    int total = 0;
    bool failed = false;
    for (;;) {
        char probe;
        char *into = total < capacity - 1 ? bytes + total : &probe;
        size_t room = total < capacity - 1 ? size_t(capacity - 1 - total) : 1;
        ssize_t got = read(fd, into, room);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) { failed = true; break; }
        if (got == 0) break;
        if (into == &probe) { failed = true; break; }  // more than fits
        total += int(got);
    }
    close(fd);
    if (failed) return -1;
    bytes[total] = 0;
    return total;
}

bool ListFolder(const WideChar *folder, FolderEntryVisitor visit, void *context) {
    char folder8[Utf8PathBytes];
    if (!PathToUtf8(folder, folder8)) return false;
    DIR *listing = opendir(folder8);
    if (listing == nullptr) return false;
    while (dirent *found = readdir(listing)) {
        if (strcmp(found->d_name, ".") == 0 || strcmp(found->d_name, "..") == 0) continue;
        WideChar name[NameUnits];
        if (Utf8ToText(found->d_name, name, NameUnits)) visit(name, context);
    }
    closedir(listing);
    return true;
}

// The lock is flock() on a lock file of the player's own, in a folder only
// the player can open: /tmp/zenthara-launcher-<uid>, 0700, named after a
// hash of the game folder's real path. flock on the game folder itself
// could be taken by anyone who may read the folder, and would make every
// pass wait for a stranger; a lock file in the game folder would make a
// check write there. The lock file stays on the disk: removing it on
// unlock would let a waiter lock a file that no longer has the name while a
// newcomer locks a new one. The kernel drops the lock with the last
// descriptor, so a killed pass frees it.
struct FolderLock {
    int fd;  // the lock file, opened for reading
};

constexpr mode_t LockFolderMode = 0700;
constexpr mode_t LockFileMode = 0600;

// The player's lock folder, made when missing. False when what is at its
// name is not a folder of the player's that no one else may enter (someone
// made it first): the pass then runs without the lock rather than wait.
static bool PlayersLockFolder(char *folder8, size_t size) {
    if (snprintf(folder8, size, "/tmp/zenthara-launcher-%u", unsigned(geteuid())) >= int(size)) return false;
    mkdir(folder8, LockFolderMode);
    struct stat info;
    return lstat(folder8, &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == geteuid() &&
           (info.st_mode & 077) == 0;
}

bool BuildFolderLockPath(const WideChar *folder, WideChar *out, int capacity) {
    char folder8[Utf8PathBytes], real8[PATH_MAX], lockFolder8[64], path8[Utf8PathBytes];
    if (!PathToUtf8(folder, folder8) || !PlayersLockFolder(lockFolder8, sizeof lockFolder8)) return false;
    // One folder, one lock, however it is spelled.
    const char *named = realpath(folder8, real8) != nullptr ? real8 : folder8;
    uint64_t hash = 14695981039346656037ull;
    for (const char *p = named; *p != 0; p++) hash = (hash ^ static_cast<unsigned char>(*p)) * 1099511628211ull;
    snprintf(path8, sizeof path8, "%s/%016llx.lock", lockFolder8, static_cast<unsigned long long>(hash));
    return Utf8ToText(path8, out, capacity);
}

// Opens (making it when missing) the folder's lock file. Refused, -1: a
// link or anything but a regular file at its name, or a file that belongs
// to another user. A file of our own with wider access is narrowed to the
// owner's.
static int OpenLockFile(const WideChar *folder) {
    WideChar path[Utf8PathBytes];
    char path8[Utf8PathBytes];
    if (!BuildFolderLockPath(folder, path, Utf8PathBytes) || !PathToUtf8(path, path8)) return -1;
    int fd = OpenRetrying(path8, O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK, LockFileMode);
    if (fd < 0) return -1;
    struct stat info;
    bool usable = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == geteuid() &&
                  ((info.st_mode & 07777) == LockFileMode || fchmod(fd, LockFileMode) == 0);
    if (!usable) {
        close(fd);
        return -1;
    }
    return fd;
}

static FolderLockState LockFolderDescriptor(const WideChar *folder, bool wait, FolderLock **lock) {
    *lock = nullptr;
    int fd = OpenLockFile(folder);
    if (fd < 0) return FolderLockUnavailable;
    // A signal that interrupts the wait and returns goes back to waiting;
    // the interrupt handlers that end the process (Ctrl+C) end it here too.
    int result;
    do result = flock(fd, LOCK_EX | (wait ? 0 : LOCK_NB));
    while (result != 0 && errno == EINTR);
    if (result != 0) {
        bool busy = errno == EWOULDBLOCK;
        close(fd);
        return busy ? FolderLockBusy : FolderLockUnavailable;
    }
    *lock = new (std::nothrow) FolderLock{fd};
    if (*lock == nullptr) {
        close(fd);
        return FolderLockUnavailable;
    }
    return FolderLocked;
}

FolderLockState TryLockFolder(const WideChar *folder, FolderLock **lock) {
    return LockFolderDescriptor(folder, false, lock);
}

FolderLock *WaitLockFolder(const WideChar *folder) {
    FolderLock *lock = nullptr;
    LockFolderDescriptor(folder, true, &lock);
    return lock;
}

void UnlockFolder(FolderLock *lock) {
    if (lock == nullptr) return;
    close(lock->fd);  // closing the descriptor releases the lock; the file stays
    delete lock;
}
