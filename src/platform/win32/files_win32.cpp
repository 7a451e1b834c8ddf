// File-system backend for Windows: the launcher's file operations on
// wide-character paths through kernel32 (CreateFileW, MoveFileExW,
// GetFullPathNameW, ...). Windows 7 or later, no other libraries.
// Long paths (from 240 units on) go to the system in their extended-length
// form, so game files deeper than MAX_PATH can be checked and installed.
// The folder lock of a pass is a named mutex: nothing is written for it.
// Leaves out: relative paths longer than 240 units in the current folder's
// drive-relative forms ("C:x"), which are turned into full paths like the
// system would.
#include <windows.h>

// windows.h maps ReplaceFile onto the system's ReplaceFileW; this file
// defines the launcher's own function of that name.
#undef ReplaceFile

#include <new>

#include "platform/files.h"

// GetModuleFileNameW is never asked for more than this.
constexpr int ModulePathUnits = MAX_PATH;

static HANDLE AsHandle(FileHandle file) { return reinterpret_cast<HANDLE>(file); }

// Paths this long or longer are handed over as "\\?\C:\..." or
// "\\?\UNC\server\share\...", which lifts the MAX_PATH limit; CreateDirectoryW
// stops at 248 units already, so the switch comes before that.
constexpr int ExtendedFromUnits = 240;
constexpr int ExtendedPathUnits = 1400;  // longest path handed to the system, units

struct SystemPath {
    WideChar text[ExtendedPathUnits];
};

// path as the system should get it: itself when short, else its full
// extended-length form in buffer. A path that cannot be made full is handed
// over as it is, so the call fails as it would have.
static const WideChar *ForSystem(const WideChar *path, SystemPath *buffer) {
    if (TextLength(path) < ExtendedFromUnits || TextStartsWithNoCase(path, L"\\\\?\\")) return path;
    WideChar full[ExtendedPathUnits];
    DWORD n = GetFullPathNameW(path, ExtendedPathUnits, full, nullptr);
    if (n == 0 || n >= ExtendedPathUnits) return path;
    bool unc = full[0] == L'\\' && full[1] == L'\\';
    bool fits = unc ? FormatText(buffer->text, ExtendedPathUnits, L"\\\\?\\UNC\\%s", full + 2)
                    : FormatText(buffer->text, ExtendedPathUnits, L"\\\\?\\%s", full);
    return fits ? buffer->text : path;
}

int ExecutablePath(WideChar *out, int capacity) {
    if (capacity <= 0) return 0;
    DWORD limit = DWORD(capacity < ModulePathUnits ? capacity : ModulePathUnits);
    DWORD n = GetModuleFileNameW(nullptr, out, limit);
    // A result that fills the whole buffer was cut (and older systems leave
    // it unterminated): report failure rather than a wrong folder.
    if (n == 0 || n >= limit) {
        out[0] = 0;
        return 0;
    }
    return int(n);
}

// A folder has no size we could compare with a manifest entry, so it fails
// like a missing file would.
bool LocalFileSize(const WideChar *path, int64_t *size) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    SystemPath buffer;
    if (!GetFileAttributesExW(ForSystem(path, &buffer), GetFileExInfoStandard, &data)) return false;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return false;
    *size = int64_t((uint64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
    return true;
}

bool PathExists(const WideChar *path) {
    SystemPath buffer;
    return GetFileAttributesW(ForSystem(path, &buffer)) != INVALID_FILE_ATTRIBUTES;
}

// GetFileAttributesW describes a link itself, not what it leads to.
bool PathEntryExists(const WideChar *path) { return PathExists(path); }

void CreateFolder(const WideChar *path) {
    SystemPath buffer;
    CreateDirectoryW(ForSystem(path, &buffer), nullptr);
}

FileHandle CreateFileForWriting(const WideChar *path) {
    SystemPath buffer;
    HANDLE h = CreateFileW(ForSystem(path, &buffer), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return NoFile;
    return reinterpret_cast<FileHandle>(h);
}

// Opened for writing (FlushFileBuffers wants the whole write right) with
// the position at the end; nobody else may open it meanwhile. The
// reparse-point flag opens a link itself, which is then refused.
FileHandle OpenFileForAppending(const WideChar *path) {
    SystemPath buffer;
    HANDLE h = CreateFileW(ForSystem(path, &buffer), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) return NoFile;
    BY_HANDLE_FILE_INFORMATION info;
    LARGE_INTEGER none = {};
    if (!GetFileInformationByHandle(h, &info) || (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
        !SetFilePointerEx(h, none, nullptr, FILE_END)) {
        CloseHandle(h);
        return NoFile;
    }
    return reinterpret_cast<FileHandle>(h);
}

FileHandle OpenFileForReading(const WideChar *path) {
    SystemPath buffer;
    HANDLE h = CreateFileW(ForSystem(path, &buffer), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    return h == INVALID_HANDLE_VALUE ? NoFile : reinterpret_cast<FileHandle>(h);
}

int ReadFromFile(FileHandle file, void *bytes, int count) {
    if (file == NoFile || count < 0) return -1;
    DWORD got = 0;
    if (!ReadFile(AsHandle(file), bytes, DWORD(count), &got, nullptr)) return -1;
    return int(got);
}

// WriteFile may accept fewer bytes than offered; keep going until all are
// written or a call fails or makes no progress.
bool WriteToFile(FileHandle file, const void *bytes, int count) {
    if (file == NoFile || count < 0) return false;
    const char *p = static_cast<const char *>(bytes);
    while (count > 0) {
        DWORD written = 0;
        if (!WriteFile(AsHandle(file), p, DWORD(count), &written, nullptr) || written == 0)
            return false;
        p += written;
        count -= int(written);
    }
    return true;
}

bool FlushFile(FileHandle file) {
    if (file == NoFile) return false;
    return FlushFileBuffers(AsHandle(file)) != 0;
}

void CloseFile(FileHandle file) {
    if (file != NoFile) CloseHandle(AsHandle(file));
}

// Write-through makes the rename reach the disk before the call returns, so
// a crash right after a patched file is reported never brings back the old
// one.
bool ReplaceFile(const WideChar *source, const WideChar *target) {
    SystemPath sourceBuffer, targetBuffer;
    return MoveFileExW(ForSystem(source, &sourceBuffer), ForSystem(target, &targetBuffer),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool RemoveFile(const WideChar *path) {
    SystemPath buffer;
    return DeleteFileW(ForSystem(path, &buffer)) != 0;
}

// Reads until the end of the file. A file that grows while it is read is
// caught by the one-byte probe once the buffer is full.
int ReadSmallFile(const WideChar *path, char *bytes, int capacity) {
    if (capacity <= 0) return -1;
    SystemPath buffer;
    HANDLE h = CreateFileW(ForSystem(path, &buffer), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        bytes[0] = 0;
        return -1;
    }
    int total = 0;
    bool ok = true;
    LARGE_INTEGER size;
    if (!GetFileSizeEx(h, &size) || size.QuadPart > capacity - 1) ok = false;
    while (ok) {
        DWORD got = 0;
        if (total == capacity - 1) {
            char probe;
            if (!ReadFile(h, &probe, 1, &got, nullptr) || got != 0) ok = false;
            break;
        }
        if (!ReadFile(h, bytes + total, DWORD(capacity - 1 - total), &got, nullptr)) ok = false;
        else if (got == 0) break;
        else total += int(got);
    }
    CloseHandle(h);
    if (!ok) {
        bytes[0] = 0;
        return -1;
    }
    bytes[total] = 0;
    return total;
}

bool ListFolder(const WideChar *folder, FolderEntryVisitor visit, void *context) {
    WideChar pattern[ExtendedPathUnits];
    if (!FormatText(pattern, ExtendedPathUnits, L"%s\\*", folder)) return false;
    SystemPath buffer;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(ForSystem(pattern, &buffer), &found);
    if (search == INVALID_HANDLE_VALUE) return false;
    do {
        if (wcscmp(found.cFileName, L".") != 0 && wcscmp(found.cFileName, L"..") != 0) visit(found.cFileName, context);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return true;
}

// The lock is a named mutex whose name is made from the folder's full path,
// upper-cased as the file system compares names: every process of this
// session that works on the folder asks for the same mutex. The system
// releases a mutex whose owner died (the next owner sees it abandoned,
// which is as good as free here).
struct FolderLock {
    HANDLE mutex;
};

constexpr int LockNameUnits = 64;

static HANDLE OpenFolderMutex(const WideChar *folder) {
    WideChar full[ExtendedPathUnits];
    DWORD n = GetFullPathNameW(folder, ExtendedPathUnits, full, nullptr);
    if (n == 0 || n >= ExtendedPathUnits) return nullptr;
    while (n > 3 && full[n - 1] == L'\\') full[--n] = 0;
    CharUpperBuffW(full, n);
    uint64_t hash = 14695981039346656037ull;  // FNV-1a over the units
    for (DWORD i = 0; i < n; i++) {
        hash = (hash ^ (uint16_t(full[i]) & 0xFF)) * 1099511628211ull;
        hash = (hash ^ (uint16_t(full[i]) >> 8)) * 1099511628211ull;
    }
    WideChar name[LockNameUnits];
    FormatText(name, LockNameUnits, L"Local\\ZentharaLauncherFolder-");
    int used = TextLength(name);
    for (int i = 15; i >= 0; i--) {
        name[used + i] = L"0123456789abcdef"[hash & 15];
        hash >>= 4;
    }
    name[used + 16] = 0;
    return CreateMutexW(nullptr, FALSE, name);
}

static FolderLockState LockFolderMutex(const WideChar *folder, DWORD waitMs, FolderLock **lock) {
    *lock = nullptr;
    HANDLE mutex = OpenFolderMutex(folder);
    if (mutex == nullptr) return FolderLockUnavailable;
    DWORD woke = WaitForSingleObject(mutex, waitMs);
    if (woke != WAIT_OBJECT_0 && woke != WAIT_ABANDONED) {
        CloseHandle(mutex);
        return woke == WAIT_TIMEOUT ? FolderLockBusy : FolderLockUnavailable;
    }
    *lock = new (std::nothrow) FolderLock{mutex};
    if (*lock == nullptr) {
        ReleaseMutex(mutex);
        CloseHandle(mutex);
        return FolderLockUnavailable;
    }
    return FolderLocked;
}

FolderLockState TryLockFolder(const WideChar *folder, FolderLock **lock) {
    return LockFolderMutex(folder, 0, lock);
}

FolderLock *WaitLockFolder(const WideChar *folder) {
    FolderLock *lock = nullptr;
    LockFolderMutex(folder, INFINITE, &lock);
    return lock;
}

void UnlockFolder(FolderLock *lock) {
    if (lock == nullptr) return;
    ReleaseMutex(lock->mutex);
    CloseHandle(lock->mutex);
    delete lock;
}
