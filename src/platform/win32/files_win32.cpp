// File-system backend for Windows: the launcher's file operations on
// wide-character paths through kernel32 (CreateFileW, MoveFileExW,
// GetFullPathNameW, ...). Windows 7 or later, no other libraries.
// Long paths (from 240 units on) go to the system in their extended-length
// form, so game files deeper than MAX_PATH can be checked and installed.
// The folder lock of a pass is a named mutex only the current user may
// open: nothing is written for it.
// A replace keeps the read-only, hidden and system attributes of the file
// it replaces; the running program's own file is renamed aside for its
// successor (ReplaceRunningProgram).
// Files the launcher keeps between runs (partial bodies, resume records)
// are used only when they are plain files on a disk with one link, opened
// not through a reparse point, whose final path is the one asked for; so a
// link planted at such a name (a Unix symbolic link under Wine, which is
// no reparse point there) never makes the launcher read or write elsewhere.
// Leaves out: relative paths longer than 240 units in the current folder's
// drive-relative forms ("C:x"), which are turned into full paths like the
// system would.
#include <windows.h>

// windows.h maps ReplaceFile onto the system's ReplaceFileW; this file
// defines the launcher's own function of that name.
#undef ReplaceFile

#include <cstdlib>
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

// The volume and file number of what path leads to; false when it cannot
// be opened.
static bool FileIdentity(const WideChar *path, BY_HANDLE_FILE_INFORMATION *info) {
    SystemPath buffer;
    HANDLE h = CreateFileW(ForSystem(path, &buffer), FILE_READ_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    bool known = GetFileInformationByHandle(h, info) != 0;
    CloseHandle(h);
    return known;
}

static int64_t Join32(DWORD high, DWORD low) { return int64_t((uint64_t(high) << 32) | low); }

// A file that cannot be opened even for its attributes still has a size
// and a write time; its identity is then unknown (0).
bool StampLocalFile(const WideChar *path, FileStamp *stamp) {
    BY_HANDLE_FILE_INFORMATION info;
    if (FileIdentity(path, &info)) {
        if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return false;
        *stamp = FileStamp{Join32(info.nFileSizeHigh, info.nFileSizeLow),
                           Join32(info.ftLastWriteTime.dwHighDateTime, info.ftLastWriteTime.dwLowDateTime),
                           uint64_t(info.dwVolumeSerialNumber), uint64_t(Join32(info.nFileIndexHigh, info.nFileIndexLow))};
        return true;
    }
    WIN32_FILE_ATTRIBUTE_DATA data;
    SystemPath buffer;
    if (!GetFileAttributesExW(ForSystem(path, &buffer), GetFileExInfoStandard, &data)) return false;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return false;
    *stamp = FileStamp{Join32(data.nFileSizeHigh, data.nFileSizeLow),
                       Join32(data.ftLastWriteTime.dwHighDateTime, data.ftLastWriteTime.dwLowDateTime), 0, 0};
    return true;
}

// Large pages need a privilege players do not have.
void *AllocateBlockForFilling(size_t bytes) { return malloc(bytes); }

// Nothing is held: opening a file for its attributes is what a stamp
// costs here, through a held folder too.
StampSeries *BeginStampSeries() { return nullptr; }

bool StampInSeries(StampSeries *, const WideChar *path, FileStamp *stamp) { return StampLocalFile(path, stamp); }

void EndStampSeries(StampSeries *) {}

bool SameFileAt(const WideChar *a, const WideChar *b) {
    BY_HANDLE_FILE_INFORMATION infoA, infoB;
    return FileIdentity(a, &infoA) && FileIdentity(b, &infoB) &&
           infoA.dwVolumeSerialNumber == infoB.dwVolumeSerialNumber && infoA.nFileIndexHigh == infoB.nFileIndexHigh &&
           infoA.nFileIndexLow == infoB.nFileIndexLow;
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

// CREATE_NEW fails on anything at path, a link or a FIFO (under Wine) too.
FileHandle CreateFileForWriting(const WideChar *path) {
    SystemPath buffer;
    HANDLE h = CreateFileW(ForSystem(path, &buffer), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return NoFile;
    return reinterpret_cast<FileHandle>(h);
}

// What an existing file must be for the launcher to use it.
enum FileDemand {
    AnyRegularFile,    // a file on a disk (no folder, pipe or device), links followed
    KeptFileOfOurOwn,  // also: no reparse point, one link, its final path the one asked for
};

// path without its "\\?\" or "\\?\UNC\" prefix (the latter back to "\\").
static void DropExtendedPrefix(const WideChar *path, WideChar *out) {
    if (TextStartsWithNoCase(path, L"\\\\?\\UNC\\")) FormatText(out, ExtendedPathUnits, L"\\\\%s", path + 8);
    else if (TextStartsWithNoCase(path, L"\\\\?\\")) FormatText(out, ExtendedPathUnits, L"%s", path + 4);
    else FormatText(out, ExtendedPathUnits, L"%s", path);
}

// Where a handle really leads, without the extended-length prefix; false
// when the system cannot tell.
static bool FinalPathOf(HANDLE h, WideChar *out) {
    WideChar raw[ExtendedPathUnits];
    DWORD n = GetFinalPathNameByHandleW(h, raw, ExtendedPathUnits, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (n == 0 || n >= ExtendedPathUnits) return false;
    DropExtendedPrefix(raw, out);
    return true;
}

static bool SamePathText(const WideChar *a, const WideChar *b) {
    return CompareStringOrdinal(a, -1, b, -1, TRUE) == CSTR_EQUAL;
}

// The folder part of path into folder, and where the file name starts: "."
// for a bare name; a drive's root ("C:\") keeps its separator.
static int SplitFolder(const WideChar *path, WideChar *folder) {
    int nameAt = TextLength(path);
    while (nameAt > 0 && path[nameAt - 1] != L'\\' && path[nameAt - 1] != L'/') nameAt--;
    if (nameAt == 0) {
        FormatText(folder, ExtendedPathUnits, L".");
        return 0;
    }
    bool root = nameAt == 1 || path[nameAt - 2] == L':';
    int keep = root ? nameAt : nameAt - 1;
    for (int i = 0; i < keep; i++) folder[i] = path[i];
    folder[keep] = 0;
    return nameAt;
}

// True when h, opened from systemPath, is the file named there itself: its
// final path is the final path of systemPath's folder (links and junctions
// on the way to it are the player's and followed) plus systemPath's own
// file name. A link at the name itself leads elsewhere and fails this.
static bool HandleNamesItself(HANDLE h, const WideChar *systemPath) {
    if (TextLength(systemPath) >= ExtendedPathUnits) return false;
    WideChar folder[ExtendedPathUnits];
    const WideChar *name = systemPath + SplitFolder(systemPath, folder);
    HANDLE folderHandle = CreateFileW(folder, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (folderHandle == INVALID_HANDLE_VALUE) return false;
    WideChar folderFinal[ExtendedPathUnits], fileFinal[ExtendedPathUnits], expected[ExtendedPathUnits];
    bool known = FinalPathOf(folderHandle, folderFinal) && FinalPathOf(h, fileFinal);
    CloseHandle(folderHandle);
    if (!known) return false;
    int folderUnits = TextLength(folderFinal);
    bool endsWithSeparator = folderUnits > 0 && folderFinal[folderUnits - 1] == L'\\';
    return FormatText(expected, ExtendedPathUnits, endsWithSeparator ? L"%s%s" : L"%s\\%s", folderFinal, name) &&
           SamePathText(expected, fileFinal);
}

// Opens an existing file and keeps the handle only when it meets demand;
// INVALID_HANDLE_VALUE otherwise. A FIFO (which Wine opens without
// waiting) is no disk file and is refused before anything reads it.
static HANDLE OpenRegularFile(const WideChar *path, DWORD access, DWORD share, DWORD flags, FileDemand demand) {
    SystemPath buffer;
    const WideChar *systemPath = ForSystem(path, &buffer);
    if (demand == KeptFileOfOurOwn) flags |= FILE_FLAG_OPEN_REPARSE_POINT;
    HANDLE h = CreateFileW(systemPath, access, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | flags, nullptr);
    if (h == INVALID_HANDLE_VALUE) return h;
    BY_HANDLE_FILE_INFORMATION info;
    bool usable = GetFileType(h) == FILE_TYPE_DISK && GetFileInformationByHandle(h, &info) &&
                  !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    if (usable && demand == KeptFileOfOurOwn)
        usable = !(info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && info.nNumberOfLinks == 1 &&
                 HandleNamesItself(h, systemPath);
    if (!usable) {
        CloseHandle(h);
        SetLastError(ERROR_BAD_FILE_TYPE);  // something is there: never "not found"
        return INVALID_HANDLE_VALUE;
    }
    return h;
}

// Append data without write data: every write lands at the end whatever
// the position, which reads move from the start; FlushFileBuffers takes
// append access too. Nobody else may open the file meanwhile.
FileHandle OpenFileForAppending(const WideChar *path) {
    HANDLE h = OpenRegularFile(path, GENERIC_READ | FILE_APPEND_DATA, 0, 0, KeptFileOfOurOwn);
    return h == INVALID_HANDLE_VALUE ? NoFile : reinterpret_cast<FileHandle>(h);
}

FileHandle OpenFileForReading(const WideChar *path) {
    HANDLE h = OpenRegularFile(path, GENERIC_READ, FILE_SHARE_READ, FILE_FLAG_SEQUENTIAL_SCAN, AnyRegularFile);
    return h == INVALID_HANDLE_VALUE ? NoFile : reinterpret_cast<FileHandle>(h);
}

int ReadFromFile(FileHandle file, void *bytes, int count) {
    if (file == NoFile || count < 0) return -1;
    DWORD got = 0;
    if (!ReadFile(AsHandle(file), bytes, DWORD(count), &got, nullptr)) return -1;
    return int(got);
}

// A synchronous handle reads at the OVERLAPPED offset (and moves its
// position past what was read); reading past the end is no failure.
int ReadFromFileAt(FileHandle file, int64_t offset, void *bytes, int count) {
    if (file == NoFile || count < 0 || offset < 0) return -1;
    OVERLAPPED at = {};
    at.Offset = DWORD(uint64_t(offset) & 0xFFFFFFFFu);
    at.OffsetHigh = DWORD(uint64_t(offset) >> 32);
    DWORD got = 0;
    if (!ReadFile(AsHandle(file), bytes, DWORD(count), &got, &at)) return GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
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

// The OVERLAPPED offset of a synchronous handle: the system serializes
// calls on one handle, so threads writing different stretches never mix.
bool WriteToFileAt(FileHandle file, int64_t offset, const void *bytes, int count) {
    if (file == NoFile || count < 0 || offset < 0) return false;
    const char *p = static_cast<const char *>(bytes);
    while (count > 0) {
        OVERLAPPED at = {};
        at.Offset = DWORD(uint64_t(offset) & 0xFFFFFFFFu);
        at.OffsetHigh = DWORD(uint64_t(offset) >> 32);
        DWORD written = 0;
        if (!WriteFile(AsHandle(file), p, DWORD(count), &written, &at) || written == 0) return false;
        p += written;
        offset += written;
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

// What a replaced file passes on to the file that takes its place.
constexpr DWORD KeptAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

// The attributes of the file at systemPath to keep; 0 when there is none.
static DWORD AttributesToKeep(const WideChar *systemPath) {
    DWORD attributes = GetFileAttributesW(systemPath);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) return 0;
    return attributes & KeptAttributes;
}

// Moves source over target, then gives the file now at target the kept
// attributes. Write-through makes the rename reach the disk before the call
// returns, so a crash right after a patched file is reported never brings
// back the old one. Setting the attributes afterwards is not checked: the
// file is in place either way.
static bool MoveKeeping(const WideChar *source, const WideChar *target, DWORD kept) {
    if (!MoveFileExW(source, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return false;
    if (kept == 0) return true;
    DWORD now = GetFileAttributesW(target);
    if (now != INVALID_FILE_ATTRIBUTES) SetFileAttributesW(target, now | kept);
    return true;
}

// MoveFileExW will not replace a read-only file: the flag is lifted for
// the move and put back on the old file when the move fails.
bool ReplaceFile(const WideChar *source, const WideChar *target) {
    SystemPath sourceBuffer, targetBuffer;
    const WideChar *systemTarget = ForSystem(target, &targetBuffer);
    DWORD kept = AttributesToKeep(systemTarget);
    DWORD before = GetFileAttributesW(systemTarget);
    DWORD lifted = before & ~DWORD(FILE_ATTRIBUTE_READONLY);
    bool unlocked = (kept & FILE_ATTRIBUTE_READONLY) &&
                    SetFileAttributesW(systemTarget, lifted != 0 ? lifted : FILE_ATTRIBUTE_NORMAL);
    if (MoveKeeping(ForSystem(source, &sourceBuffer), systemTarget, kept)) return true;
    if (unlocked) SetFileAttributesW(systemTarget, before);
    return false;
}

// MoveFileExW with MOVEFILE_WRITE_THROUGH (MoveKeeping) is durable as it
// returns: there is no folder to flush afterwards.
bool MoveIntoPlace(const WideChar *source, const WideChar *target) { return ReplaceFile(source, target); }

void SyncFolder(const WideChar *) {}

// A running program's file may be renamed but not replaced or deleted.
// The one set aside is made plain and hidden once the new file is in: no
// longer read-only, so its removal at the next start is not refused.
bool ReplaceRunningProgram(const WideChar *source, const WideChar *target, const WideChar *aside) {
    SystemPath sourceBuffer, targetBuffer, asideBuffer;
    const WideChar *systemTarget = ForSystem(target, &targetBuffer);
    const WideChar *systemAside = ForSystem(aside, &asideBuffer);
    DWORD kept = AttributesToKeep(systemTarget);
    RemoveFile(aside);
    if (!MoveFileExW(systemTarget, systemAside, MOVEFILE_WRITE_THROUGH)) return false;
    if (!MoveKeeping(ForSystem(source, &sourceBuffer), systemTarget, kept)) {
        MoveFileExW(systemAside, systemTarget, MOVEFILE_WRITE_THROUGH);
        return false;
    }
    SetFileAttributesW(systemAside, FILE_ATTRIBUTE_HIDDEN);
    return true;
}

enum OwnNameRemoval { NameRemoved, NameNotRemoved, NameLeadsElsewhere };

// GetFileAttributesW describes a link or junction itself, not what it
// leads to. A Unix symbolic link under Wine is no reparse point: a plain
// file whose final path is not its own name is a link too. Opening a FIFO
// does not wait under Wine.
PathKind LookAtPath(const WideChar *path) {
    SystemPath buffer;
    const WideChar *systemPath = ForSystem(path, &buffer);
    DWORD attributes = GetFileAttributesW(systemPath);
    if (attributes == INVALID_FILE_ATTRIBUTES) return PathAbsent;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return PathLink;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return PathFolder;
    if (attributes & FILE_ATTRIBUTE_DEVICE) return PathOther;
    HANDLE h = CreateFileW(systemPath, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) return PathRegularFile;  // its removal fails and says so
    PathKind kind = GetFileType(h) != FILE_TYPE_DISK     ? PathOther  // a FIFO under Wine
                    : !HandleNamesItself(h, systemPath) ? PathLink
                                                        : PathRegularFile;
    CloseHandle(h);
    return kind;
}

// Deletes the file at systemPath through a handle opened on the name
// itself (a reparse point is not followed), and only when that handle's
// final path is the name: then the entry itself goes, whatever it is.
static OwnNameRemoval RemoveOwnName(const WideChar *systemPath) {
    HANDLE h = CreateFileW(systemPath, DELETE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) return NameNotRemoved;
    BY_HANDLE_FILE_INFORMATION info;
    OwnNameRemoval result = NameNotRemoved;
    if (!GetFileInformationByHandle(h, &info) || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        result = NameNotRemoved;
    } else if (!HandleNamesItself(h, systemPath)) {
        result = NameLeadsElsewhere;
    } else {
        FILE_DISPOSITION_INFO disposition = {TRUE};
        if (SetFileInformationByHandle(h, FileDispositionInfo, &disposition, sizeof disposition)) result = NameRemoved;
    }
    CloseHandle(h);  // the file goes with the last handle
    return result;
}

// Puts an empty file of our own in the place of the name at systemPath (a
// rename replaces the name, never the file it leads to), then deletes it.
// The empty file is made beside it under a name nothing else uses.
static bool ReplaceNameThenRemove(const WideChar *systemPath) {
    WideChar folder[ExtendedPathUnits], scratch[ExtendedPathUnits];
    if (TextLength(systemPath) >= ExtendedPathUnits) return false;
    SplitFolder(systemPath, folder);
    for (int attempt = 0; attempt < 16; attempt++) {
        int units = TextLength(folder);
        const WideChar *separator = units > 0 && folder[units - 1] == L'\\' ? L"" : L"\\";
        if (!FormatText(scratch, ExtendedPathUnits, L"%s%s.~launcher-removing-%d-%d", folder, separator,
                        int(GetCurrentProcessId()), attempt))
            return false;
        HANDLE h = CreateFileW(scratch, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            if (GetLastError() == ERROR_FILE_EXISTS) continue;
            return false;
        }
        CloseHandle(h);
        if (!MoveFileExW(scratch, systemPath, MOVEFILE_REPLACE_EXISTING)) {
            DeleteFileW(scratch);
            return false;
        }
        return RemoveOwnName(systemPath) == NameRemoved;
    }
    return false;
}

// The entry at path itself goes, never what it leads to. DeleteFileW
// would do on Windows, but under Wine it follows a Unix symbolic link and
// deletes the file the link leads to (Wine shows such a link as a plain
// file, no reparse point): a name whose final path is elsewhere is
// replaced by an empty file first, which is then deleted.
bool RemoveFile(const WideChar *path) {
    SystemPath buffer;
    const WideChar *systemPath = ForSystem(path, &buffer);
    OwnNameRemoval removal = RemoveOwnName(systemPath);
    if (removal == NameLeadsElsewhere) return ReplaceNameThenRemove(systemPath);
    return removal == NameRemoved;
}

// Reads until the end of the file. A file that grows while it is read is
// caught by the one-byte probe once the buffer is full. Held to the rules
// of a kept file: a link, a FIFO, a folder or a file with other hard links
// reads as absent.
int ReadSmallFile(const WideChar *path, char *bytes, int capacity) {
    if (capacity <= 0) return -1;
    HANDLE h = OpenRegularFile(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0,
                               KeptFileOfOurOwn);
    if (h == INVALID_HANDLE_VALUE) {
        bytes[0] = 0;
        DWORD why = GetLastError();
        return why == ERROR_FILE_NOT_FOUND || why == ERROR_PATH_NOT_FOUND ? NothingAtPath : -1;
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
// which is as good as free here). The mutex grants access to the current
// user alone; a mutex of that name made by someone else that denies us is
// no lock we can take (FolderLockUnavailable), never one to wait for.
struct FolderLock {
    HANDLE mutex;
};

constexpr int LockNameUnits = 64;

// A security descriptor whose access list lets only the current user (the
// process token's user) use the object. Fixed buffers, DWORD-aligned as
// the ACL and token functions want them.
struct UserOnlyAccess {
    SECURITY_ATTRIBUTES attributes;
    SECURITY_DESCRIPTOR descriptor;
    DWORD acl[64];
    DWORD tokenUser[(sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE) / sizeof(DWORD) + 1];
};

static bool MakeUserOnlyAccess(UserOnlyAccess *access) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    DWORD needed = 0;
    bool known = GetTokenInformation(token, TokenUser, access->tokenUser, sizeof access->tokenUser, &needed) != 0;
    CloseHandle(token);
    if (!known) return false;
    PSID user = reinterpret_cast<TOKEN_USER *>(access->tokenUser)->User.Sid;
    PACL acl = reinterpret_cast<PACL>(access->acl);
    if (!InitializeAcl(acl, sizeof access->acl, ACL_REVISION) ||
        !AddAccessAllowedAce(acl, ACL_REVISION, MUTEX_ALL_ACCESS, user) ||
        !InitializeSecurityDescriptor(&access->descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&access->descriptor, TRUE, acl, FALSE))
        return false;
    access->attributes.nLength = sizeof access->attributes;
    access->attributes.lpSecurityDescriptor = &access->descriptor;
    access->attributes.bInheritHandle = FALSE;
    return true;
}

bool BuildFolderLockPath(const WideChar *folder, WideChar *out, int capacity) {
    WideChar full[ExtendedPathUnits];
    DWORD n = GetFullPathNameW(folder, ExtendedPathUnits, full, nullptr);
    if (n == 0 || n >= ExtendedPathUnits || capacity < LockNameUnits) return false;
    while (n > 3 && full[n - 1] == L'\\') full[--n] = 0;
    CharUpperBuffW(full, n);
    uint64_t hash = HashTextUnits(full, int(n));
    FormatText(out, capacity, L"Local\\ZentharaLauncherFolder-");
    int used = TextLength(out);
    for (int i = 15; i >= 0; i--) {
        out[used + i] = L"0123456789abcdef"[hash & 15];
        hash >>= 4;
    }
    out[used + 16] = 0;
    return true;
}

// Creates or opens the folder's mutex; nullptr when it cannot be had
// (no full path, no user-only descriptor, or access denied to an existing
// one).
static HANDLE OpenFolderMutex(const WideChar *folder) {
    WideChar name[LockNameUnits];
    if (!BuildFolderLockPath(folder, name, LockNameUnits)) return nullptr;
    UserOnlyAccess access;
    if (!MakeUserOnlyAccess(&access)) return nullptr;
    return CreateMutexW(&access.attributes, FALSE, name);
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
