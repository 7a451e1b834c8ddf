// INI seam on POSIX: launcher.ini read and written with base/ini_text, by
// the rules of the Windows private-profile functions (see ini_text.h), so
// both builds read the same file the same way. Files go through in chunks,
// so their size does not matter.
//
// A write edits the file a symbolic link at the path names (following the
// links), and keeps its mode and, where the process may set them, its
// owner and group. Ordinarily the new text goes to a temporary file beside
// it that is flushed and renamed over it, so a crash at any moment leaves
// either the old file or the new one, never half of one. A file whose
// owner or group a new file cannot be given, that has other hard links, or
// whose folder takes no new file is edited in place instead. A file no one
// may write (the read-only attribute's counterpart, respected even by
// root) or this process may not write is left alone and the write fails,
// as on Windows. A new file is made with the default permissions.
// Only a regular file is read or written: a FIFO, a folder or a device at
// the path reads as a missing file (the defaults) and is never written,
// and opening one never waits (O_NONBLOCK until the file is known).
// A read copies the default after looking at the file, so the default must
// not share the output's memory.
// Leaves out: whole-section reads, key deletion, and access-control lists
// or extended attributes of a replaced file.
#include "platform/ini.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/ini_text.h"

constexpr int ChunkBytes = 16 * 1024;
constexpr int MaxLinkHops = 40;  // the kernel's own limit

static bool PathToUtf8(const WideChar *path, char *out) {
    return path != nullptr && TextToUtf8(path, out, PATH_MAX);
}

static int OpenPath(const char *path, int flags, mode_t mode) {
    int fd;
    do fd = open(path, flags | O_CLOEXEC, mode);
    while (fd < 0 && errno == EINTR);
    return fd;
}

// Opens path for reading, without waiting on a FIFO; -1 unless it is a
// regular file, with errno ENOENT only when nothing is there. flags may
// add O_NOFOLLOW.
static int OpenRegularForReading(const char *path, int flags) {
    int fd = OpenPath(path, O_RDONLY | O_NONBLOCK | flags, 0);
    if (fd < 0) return -1;
    struct stat info;
    int status = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) ? fcntl(fd, F_GETFL) : -1;
    if (status < 0 || fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0) {
        close(fd);
        errno = EINVAL;  // something is there, just not a file to use
        return -1;
    }
    return fd;
}

// Reads (or writes) exactly count bytes at offset at.
static bool TransferAt(int fd, char *bytes, size_t count, int64_t at, bool writing) {
    while (count > 0) {
        ssize_t done = writing ? pwrite(fd, bytes, count, off_t(at)) : pread(fd, bytes, count, off_t(at));
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) return false;
        bytes += done;
        at += done;
        count -= size_t(done);
    }
    return true;
}

static bool ReadAt(int fd, char *bytes, size_t count, int64_t at) { return TransferAt(fd, bytes, count, at, false); }

static bool WriteAt(int fd, const char *bytes, size_t count, int64_t at) {
    return TransferAt(fd, const_cast<char *>(bytes), count, at, true);
}

// Gives the file to scan from its start; a read may stop as soon as the
// scan needs nothing more.
static bool ScanFile(int fd, IniScan *scan, bool stopWhenDone) {
    char chunk[ChunkBytes];
    int64_t at = 0;
    while (!(stopWhenDone && scan->done)) {
        ssize_t got = pread(fd, chunk, sizeof chunk, off_t(at));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return false;
        if (got == 0) break;
        FeedIniScan(scan, chunk, int(got));
        at += got;
    }
    FinishIniScan(scan);
    return true;
}

void ReadIniString(const WideChar *section, const WideChar *key, const WideChar *defaultValue,
                   WideChar *out, int capacity, const WideChar *path) {
    if (capacity <= 0) return;
    char path8[PATH_MAX];
    IniScan scan;
    bool found = false;
    if (PathToUtf8(path, path8) && StartIniScan(&scan, section, key, out, capacity)) {
        int fd = OpenRegularForReading(path8, 0);
        if (fd >= 0) {
            found = ScanFile(fd, &scan, true) && IniValueFound(&scan);
            close(fd);
        }
    }
    if (!found) CopyIniDefault(defaultValue, out, capacity);
}

// Follows symbolic links at path (folders on the way are left to the
// kernel) to the name of the file itself, which need not exist yet.
static bool FollowLinks(const char *path, char *out) {
    if (strlen(path) >= PATH_MAX) return false;
    strcpy(out, path);
    for (int hop = 0; hop <= MaxLinkHops; hop++) {
        struct stat info;
        if (lstat(out, &info) != 0) return errno == ENOENT;
        if (!S_ISLNK(info.st_mode)) return true;
        char link[PATH_MAX];
        ssize_t length = readlink(out, link, sizeof link - 1);
        if (length <= 0 || length >= ssize_t(sizeof link - 1)) return false;
        link[length] = 0;
        // A relative link names a path from the link's own folder.
        char *slash = strrchr(out, '/');
        size_t keep = link[0] == '/' || slash == nullptr ? 0 : size_t(slash - out) + 1;
        if (keep + size_t(length) >= PATH_MAX) return false;
        memcpy(out + keep, link, size_t(length) + 1);
    }
    return false;
}

// A file no one may write is read-only to root too, as the read-only
// attribute is to an administrator; otherwise the process's own
// permission decides.
static bool MayWrite(const char *path, const struct stat &info) {
    if ((info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) return false;
    return faccessat(AT_FDCWD, path, W_OK, AT_EACCESS) == 0;
}

// Copies bytes [from, to) of source into file at offset at.
static bool CopyRange(int source, int64_t from, int64_t to, int file, int64_t at) {
    char chunk[ChunkBytes];
    while (from < to) {
        size_t n = to - from < ChunkBytes ? size_t(to - from) : size_t(ChunkBytes);
        if (!ReadAt(source, chunk, n, from) || !WriteAt(file, chunk, n, at)) return false;
        from += int64_t(n);
        at += int64_t(n);
    }
    return true;
}

enum ReplaceResult { Replaced, ReplaceFailed, ReplaceNotPossible };

// The ordinary write: the edited text in "<target>.tmp", with the old
// file's owner, group and mode (info; null for a new file), flushed and
// renamed over target. ReplaceNotPossible when the temporary cannot be
// made or given the owner or group; nothing is left behind then.
static ReplaceResult ReplaceThroughTemporary(const char *target, int source, const struct stat *info,
                                             int64_t size, const IniEdit &edit) {
    char temporary[PATH_MAX];
    if (strlen(target) + 5 > PATH_MAX - 1) return ReplaceFailed;
    strcpy(temporary, target);
    strcat(temporary, ".tmp");
    int fd = OpenPath(temporary, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, info != nullptr ? 0600 : 0666);
    if (fd < 0) return ReplaceNotPossible;
    if (info != nullptr) {
        struct stat made;
        bool kept = fstat(fd, &made) == 0;
        if (kept && (made.st_uid != info->st_uid || made.st_gid != info->st_gid))
            kept = fchown(fd, info->st_uid, info->st_gid) == 0;
        if (kept) kept = fchmod(fd, info->st_mode & 07777) == 0;
        if (!kept) {
            close(fd);
            unlink(temporary);
            return ReplaceNotPossible;
        }
    }
    int64_t tail = edit.cutBegin + edit.insertLength;
    bool written = CopyRange(source, 0, edit.cutBegin, fd, 0) &&
                   WriteAt(fd, edit.insert, size_t(edit.insertLength), edit.cutBegin) &&
                   CopyRange(source, edit.cutEnd, size, fd, tail) && fsync(fd) == 0;
    if (close(fd) != 0) written = false;
    if (!written || rename(temporary, target) != 0) {
        unlink(temporary);
        return ReplaceFailed;
    }
    return Replaced;
}

// The edit made in the file itself: the bytes after the cut move to their
// new place (from the end when the file grows, from the start when it
// shrinks), then the new bytes go in. Owner, mode, links and inode stay.
static bool EditInPlace(const char *target, int64_t size, const IniEdit &edit) {
    int fd = OpenPath(target, O_RDWR | O_NOFOLLOW, 0);
    if (fd < 0) return false;
    int64_t shift = edit.insertLength - (edit.cutEnd - edit.cutBegin);
    char chunk[ChunkBytes];
    bool ok = true;
    if (shift > 0) {
        for (int64_t end = size; ok && end > edit.cutEnd;) {
            size_t n = end - edit.cutEnd < ChunkBytes ? size_t(end - edit.cutEnd) : size_t(ChunkBytes);
            end -= int64_t(n);
            ok = ReadAt(fd, chunk, n, end) && WriteAt(fd, chunk, n, end + shift);
        }
    } else if (shift < 0) {
        ok = CopyRange(fd, edit.cutEnd, size, fd, edit.cutEnd + shift) && ftruncate(fd, off_t(size + shift)) == 0;
    }
    ok = ok && WriteAt(fd, edit.insert, size_t(edit.insertLength), edit.cutBegin) && fsync(fd) == 0;
    if (close(fd) != 0) ok = false;
    return ok;
}

// True when the edit would write the bytes that are already there.
static bool EditChangesNothing(int source, const IniEdit &edit) {
    if (edit.cutEnd - edit.cutBegin != edit.insertLength) return false;
    char present[IniEditBytes];
    return ReadAt(source, present, size_t(edit.insertLength), edit.cutBegin) &&
           memcmp(present, edit.insert, size_t(edit.insertLength)) == 0;
}

bool WriteIniString(const WideChar *section, const WideChar *key, const WideChar *value,
                    const WideChar *path) {
    char given[PATH_MAX], target[PATH_MAX];
    if (value == nullptr || !PathToUtf8(path, given) || !FollowLinks(given, target)) return false;
    IniScan scan;
    static_assert(sizeof(IniEdit) < 16 * 1024, "the edit lives on the stack");
    IniEdit edit;
    if (!StartIniScan(&scan, section, key, nullptr, 0)) return false;

    int source = OpenRegularForReading(target, O_NOFOLLOW);
    if (source < 0) {
        if (errno != ENOENT) return false;
        FinishIniScan(&scan);  // a new file: the scan of empty text
        return PlanIniEdit(&scan, section, key, value, &edit) &&
               ReplaceThroughTemporary(target, -1, nullptr, 0, edit) == Replaced;
    }
    struct stat info;
    bool ok = fstat(source, &info) == 0 && S_ISREG(info.st_mode) && MayWrite(target, info) &&
              ScanFile(source, &scan, false) && PlanIniEdit(&scan, section, key, value, &edit);
    if (ok && !EditChangesNothing(source, edit)) {
        int64_t size = scan.offset;
        ReplaceResult result = info.st_nlink > 1 ? ReplaceNotPossible
                                                 : ReplaceThroughTemporary(target, source, &info, size, edit);
        ok = result == Replaced || (result == ReplaceNotPossible && EditInPlace(target, size, edit));
    }
    close(source);
    return ok;
}
