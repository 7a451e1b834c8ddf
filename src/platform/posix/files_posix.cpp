// File-system seam on POSIX: the launcher's few file operations as plain
// system calls on UTF-8 paths converted from the UTF-16 text the core uses.
// Linux only for ExecutablePath (/proc/self/exe); the rest is POSIX.
// Leaves out: permissions beyond the umask defaults, locking, and paths
// longer than PATH_MAX bytes once converted (they simply fail).
#include "platform/files.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

constexpr int ExecutablePathUnits = 260;  // as much as a Windows path may hold
constexpr int Utf8PathBytes = PATH_MAX;   // converted path, terminator included

// Converts a path for a system call; false when it does not fit.
static bool PathToUtf8(const WideChar *path, char *out) {
    return path != nullptr && TextToUtf8(path, out, Utf8PathBytes);
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

FileHandle CreateFileForWriting(const WideChar *path) {
    char path8[Utf8PathBytes];
    if (!PathToUtf8(path, path8)) return NoFile;
    int fd;
    do fd = open(path8, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0666);
    while (fd < 0 && errno == EINTR);
    return fd < 0 ? NoFile : FileHandle(fd);
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
    return true;
}

bool FlushFile(FileHandle file) {
    return file != NoFile && fsync(int(file)) == 0;
}

void CloseFile(FileHandle file) {
    if (file != NoFile) close(int(file));
}

// rename() replaces the target atomically and leaves the source alone on
// failure, which is exactly the contract.
bool ReplaceFile(const WideChar *source, const WideChar *target) {
    char source8[Utf8PathBytes];
    char target8[Utf8PathBytes];
    return PathToUtf8(source, source8) && PathToUtf8(target, target8) && rename(source8, target8) == 0;
}

// lstat, not stat: a symbolic link to a folder is itself a file to remove.
bool RemoveFile(const WideChar *path) {
    char path8[Utf8PathBytes];
    struct stat info;
    if (!PathToUtf8(path, path8) || lstat(path8, &info) != 0 || S_ISDIR(info.st_mode)) return false;
    return unlink(path8) == 0;
}

// Reads up to capacity-1 bytes, then probes for one more to tell a file
// that fills the buffer exactly from one that is too large. A folder fails
// at the first read (EISDIR).
int ReadSmallFile(const WideChar *path, char *bytes, int capacity) {
    char path8[Utf8PathBytes];
    if (capacity <= 0 || !PathToUtf8(path, path8)) return -1;
    int fd;
    do fd = open(path8, O_RDONLY | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) return -1;

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

// Cuts the last component off path in place ("a/b/c" -> "a/b", "/a" -> "/",
// "a" -> "."). Stores the removed component's start in *removed, or null
// when nothing was cut. False when path is already "/" or ".".
static bool CutLastComponent(char *path, const char **removed) {
    size_t length = strlen(path);
    while (length > 1 && path[length - 1] == '/') path[--length] = 0;  // trailing separators
    *removed = nullptr;
    if (strcmp(path, "/") == 0 || strcmp(path, ".") == 0) return false;
    char *slash = strrchr(path, '/');
    if (slash == nullptr) {
        *removed = path;  // caller copies before reuse; "." replaces it below
        return true;
    }
    *removed = slash + 1;
    while (slash > path && slash[-1] == '/') slash--;
    if (slash == path) slash++;  // keep the root
    *slash = 0;
    return true;
}

// Walks up from path to the deepest folder that exists, resolves it and
// base with realpath() and compares the results component-wise. A ".."
// among the parts that do not exist yet fails: the folders created later
// would lead out of wherever the check looked. Any failure gives false.
bool PathStaysInside(const WideChar *base, const WideChar *path) {
    char base8[Utf8PathBytes];
    char walk[Utf8PathBytes];
    if (!PathToUtf8(base, base8) || !PathToUtf8(path, walk)) return false;

    for (;;) {
        const char *removed = nullptr;
        bool relativeLeaf = strchr(walk, '/') == nullptr;
        if (!CutLastComponent(walk, &removed)) return false;
        if (removed != nullptr && strcmp(removed, "..") == 0) return false;
        if (relativeLeaf) strcpy(walk, ".");
        struct stat info;
        if (stat(walk, &info) == 0 && S_ISDIR(info.st_mode)) break;
    }

    char realBase[PATH_MAX];
    char realFolder[PATH_MAX];
    if (realpath(base8, realBase) == nullptr || realpath(walk, realFolder) == nullptr) return false;
    size_t baseLength = strlen(realBase);
    if (strncmp(realFolder, realBase, baseLength) != 0) return false;
    if (realFolder[baseLength] == 0) return true;
    return realFolder[baseLength] == '/' || strcmp(realBase, "/") == 0;
}
