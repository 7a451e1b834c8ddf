// File-system backend for Windows: the launcher's file operations on
// wide-character paths through kernel32 (CreateFileW, MoveFileExW,
// GetFinalPathNameByHandleW, ...). Windows 7 or later, no other libraries.
// Leaves out long-path prefixes: paths stay below MAX_PATH except the
// resolved paths PathStaysInside compares, which may grow to 1024 units.
#include <windows.h>

// windows.h maps ReplaceFile onto the system's ReplaceFileW; this file
// defines the launcher's own function of that name.
#undef ReplaceFile

#include "platform/files.h"

// Longest resolved path PathStaysInside compares, units with terminator.
constexpr int FinalPathUnits = 1024;
// GetModuleFileNameW is never asked for more than this.
constexpr int ModulePathUnits = MAX_PATH;

static HANDLE AsHandle(FileHandle file) { return reinterpret_cast<HANDLE>(file); }

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
    if (!GetFileAttributesExW(path, GetFileExInfoStandard, &data)) return false;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return false;
    *size = int64_t((uint64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
    return true;
}

bool PathExists(const WideChar *path) {
    return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
}

// GetFileAttributesW describes a link itself, not what it leads to.
bool PathEntryExists(const WideChar *path) { return PathExists(path); }

void CreateFolder(const WideChar *path) {
    CreateDirectoryW(path, nullptr);
}

FileHandle CreateFileForWriting(const WideChar *path) {
    HANDLE h = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return NoFile;
    return reinterpret_cast<FileHandle>(h);
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
    return MoveFileExW(source, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool RemoveFile(const WideChar *path) {
    return DeleteFileW(path) != 0;
}

// Reads until the end of the file. A file that grows while it is read is
// caught by the one-byte probe once the buffer is full.
int ReadSmallFile(const WideChar *path, char *bytes, int capacity) {
    if (capacity <= 0) return -1;
    HANDLE h = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
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

static bool IsSeparator(WideChar c) { return c == L'\\' || c == L'/'; }

// Units of the root that must never be stripped from path: "X:\" (3),
// "X:" (2), "\" (1), or 0 for a relative path.
static int RootLength(const WideChar *path) {
    if (path[0] != 0 && path[1] == L':') return IsSeparator(path[2]) ? 3 : 2;
    if (IsSeparator(path[0])) return 1;
    return 0;
}

// Cuts the last component from folder (units long) and returns the new
// length, or -1 when only the root is left. A relative path whose last
// component goes becomes ".", the current folder.
static int StripLastComponent(WideChar *folder, int length) {
    int root = RootLength(folder);
    if (length <= root) return -1;
    int i = length;
    while (i > root && !IsSeparator(folder[i - 1])) i--;
    while (i > root && IsSeparator(folder[i - 1])) i--;
    if (i == 0) {
        folder[0] = L'.';
        folder[1] = 0;
        return 1;
    }
    folder[i] = 0;
    return i;
}

// Finds the deepest existing folder on the way to path (path itself when it
// is one). False when none can be found or path does not fit.
static bool DeepestExistingFolder(const WideChar *path, WideChar *folder, int capacity) {
    if (!CopyText(folder, capacity, path)) return false;
    int length = TextLength(folder);
    int root = RootLength(folder);
    while (length > root && IsSeparator(folder[length - 1])) folder[--length] = 0;
    if (length == 0) return false;
    for (;;) {
        DWORD attributes = GetFileAttributesW(folder);
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
            return true;
        if (length == 1 && folder[0] == L'.') return false;
        length = StripLastComponent(folder, length);
        if (length < 0) return false;
    }
}

// Resolves folder through links and junctions to its final path. Returns the
// length in units, 0 on failure.
static int FinalFolderPath(const WideChar *folder, WideChar *out, int capacity) {
    HANDLE h = CreateFileW(folder, FILE_READ_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return 0;
    DWORD n = GetFinalPathNameByHandleW(h, out, DWORD(capacity),
                                        FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    CloseHandle(h);
    if (n == 0 || n >= DWORD(capacity)) return 0;
    return int(n);
}

// Compares resolved paths as NTFS does: ordinal, case-insensitive over all
// of Unicode. The match must end at a component boundary so that "C:\Game2"
// is not taken to lie inside "C:\Game". Any failure refuses.
bool PathStaysInside(const WideChar *base, const WideChar *path) {
    static_assert(FinalPathUnits >= 2 * MAX_PATH, "resolved paths need room for a prefix");
    WideChar folder[FinalPathUnits];
    WideChar finalBase[FinalPathUnits];
    WideChar finalFolder[FinalPathUnits];
    if (!DeepestExistingFolder(path, folder, FinalPathUnits)) return false;
    int baseLength = FinalFolderPath(base, finalBase, FinalPathUnits);
    int folderLength = FinalFolderPath(folder, finalFolder, FinalPathUnits);
    if (baseLength == 0 || folderLength == 0 || folderLength < baseLength) return false;
    if (CompareStringOrdinal(finalBase, baseLength, finalFolder, baseLength, TRUE) != CSTR_EQUAL)
        return false;
    return folderLength == baseLength || finalBase[baseLength - 1] == L'\\' ||
           finalFolder[baseLength] == L'\\';
}
