// Folder listing on Windows: FindFirstFileW/FindNextFileW over "\\?\"
// paths, so folders deeper than MAX_PATH list too. Every reparse point
// (symbolic link, junction, cloud placeholder) is reported as a link and
// never entered. Standard output's file is recognised by volume serial
// number and file id.
#include "dir_walk.h"

#include <cstdio>
#include <cstring>
#include <windows.h>

#include "base/text.h"

constexpr int WidePathUnits = 32768;  // the longest path Windows takes behind \\?\ .

// The listing is not re-entered (the caller queues folders), so one set of
// path buffers serves every call.
static wchar_t s_given[WidePathUnits];   // root or relative folder, converted
static wchar_t s_folder[WidePathUnits];  // \\?\ path of the folder being listed
static wchar_t s_search[WidePathUnits];  // s_folder plus "\*"
static wchar_t s_file[WidePathUnits];    // s_folder plus one entry's name

bool IsExistingFolder(const char *path) {
    if (path[0] == 0 || !Utf8ToText(path, s_given, WidePathUnits)) return false;
    DWORD attributes = GetFileAttributesW(s_given);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

static bool Append(wchar_t *out, int *used, const wchar_t *text) {
    for (; *text != 0; text++) {
        if (*used >= WidePathUnits - 1) return false;
        out[(*used)++] = *text;
    }
    out[*used] = 0;
    return true;
}

// "\\?\C:\root\relative\folder" or "\\?\UNC\server\share\..." into
// s_folder, without a trailing backslash; its length, or -1.
static int BuildFolderPath(const char *root, const char *relativeFolder) {
    static wchar_t full[WidePathUnits];
    if (!Utf8ToText(root, s_given, WidePathUnits)) return -1;
    DWORD fullLength = GetFullPathNameW(s_given, WidePathUnits, full, nullptr);
    if (fullLength == 0 || fullLength >= DWORD(WidePathUnits)) return -1;
    int used = 0;
    s_folder[0] = 0;
    bool ok;
    if (full[0] == L'\\' && full[1] == L'\\' && (full[2] == L'?' || full[2] == L'.') && full[3] == L'\\')
        ok = Append(s_folder, &used, full);
    else if (full[0] == L'\\' && full[1] == L'\\')
        ok = Append(s_folder, &used, L"\\\\?\\UNC\\") && Append(s_folder, &used, full + 2);
    else
        ok = Append(s_folder, &used, L"\\\\?\\") && Append(s_folder, &used, full);
    if (!ok) return -1;
    while (used > 0 && s_folder[used - 1] == L'\\') s_folder[--used] = 0;
    if (relativeFolder[0] != 0) {
        if (!Utf8ToText(relativeFolder, s_given, WidePathUnits)) return -1;
        for (wchar_t *p = s_given; *p != 0; p++)
            if (*p == L'/') *p = L'\\';
        if (!Append(s_folder, &used, L"\\") || !Append(s_folder, &used, s_given)) return -1;
    }
    return used;
}

// Which file a handle is open on: volume serial number and file id.
struct FileIdentity {
    ULONGLONG volume;
    BYTE id[16];
};

// FILE_INFO_BY_HANDLE_CLASS's FileIdInfo (Windows 8 on), not declared for
// the Windows 7 target this program is built for.
constexpr int FileIdInfoClass = 18;

// Windows 8 and later give the 128-bit id (the only one ReFS keeps unique);
// Wine gives nothing else for standard handles inherited from the Unix
// side. Windows 7 has only the older 64-bit index. The method that worked
// for standard output is used for every file, so ids compare like with like.
static bool IdentityOf(HANDLE file, bool useIdInfo, FileIdentity *out) {
    memset(out, 0, sizeof *out);
    if (useIdInfo) {
        struct {
            ULONGLONG volume;
            BYTE id[16];
        } idInfo;
        if (!GetFileInformationByHandleEx(file, FILE_INFO_BY_HANDLE_CLASS(FileIdInfoClass), &idInfo, sizeof idInfo))
            return false;
        out->volume = idInfo.volume;
        memcpy(out->id, idInfo.id, sizeof out->id);
        return true;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file, &info)) return false;
    out->volume = info.dwVolumeSerialNumber;
    memcpy(out->id, &info.nFileIndexLow, sizeof info.nFileIndexLow);
    memcpy(out->id + 4, &info.nFileIndexHigh, sizeof info.nFileIndexHigh);
    return true;
}

// The disk file standard output goes to; found is false for a console, a
// pipe or no handle at all.
struct OutputIdentity {
    bool known;
    bool found;
    bool useIdInfo;
    FileIdentity identity;
};

static OutputIdentity s_output;

static bool SameFileAsOutput(const wchar_t *path) {
    if (!s_output.known) {
        s_output.known = true;
        HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
        if (out != nullptr && out != INVALID_HANDLE_VALUE && GetFileType(out) == FILE_TYPE_DISK) {
            s_output.useIdInfo = true;
            s_output.found = IdentityOf(out, true, &s_output.identity);
            if (!s_output.found) {
                s_output.useIdInfo = false;
                s_output.found = IdentityOf(out, false, &s_output.identity);
            }
        }
    }
    if (!s_output.found) return false;
    // No access rights asked for: only attributes are read, which works
    // whatever sharing the file was opened with.
    HANDLE file = CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    FileIdentity identity;
    // Wine reports volume 0 for a standard handle inherited from the Unix
    // side; the file id alone then decides.
    bool same = IdentityOf(file, s_output.useIdInfo, &identity) &&
                memcmp(identity.id, s_output.identity.id, sizeof identity.id) == 0 &&
                (s_output.identity.volume == 0 || identity.volume == s_output.identity.volume);
    CloseHandle(file);
    return same;
}

static FolderEntryKind KindOf(DWORD attributes) {
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return EntryLink;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return EntryFolder;
    if (attributes & FILE_ATTRIBUTE_DEVICE) return EntryOther;
    return EntryFile;
}

bool ListFolder(const char *root, const char *relativeFolder, FolderVisitor visit, void *context,
                char *why, int whyBytes) {
    int folderLength = BuildFolderPath(root, relativeFolder);
    int searchLength = folderLength;
    bool fits = folderLength >= 0 && CopyText(s_search, WidePathUnits, s_folder);
    if (!fits || !Append(s_search, &searchLength, L"\\*")) {
        snprintf(why, size_t(whyBytes), "the path is too long");
        return false;
    }
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(s_search, &found);
    if (search == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND) return true;  // a drive root with nothing on it
        snprintf(why, size_t(whyBytes), "Windows error %lu", (unsigned long)error);
        return false;
    }
    bool ok = true;
    do {
        const wchar_t *name = found.cFileName;
        if ((name[0] == L'.' && name[1] == 0) || (name[0] == L'.' && name[1] == L'.' && name[2] == 0)) continue;
        FolderEntry entry;
        TextToUtf8(name, entry.name, EntryNameBytes);
        static wchar_t back[MAX_PATH + 1];
        entry.nameExact = Utf8ToText(entry.name, back, MAX_PATH + 1) && TextEqual(back, name);
        entry.kind = KindOf(found.dwFileAttributes);
        entry.size = int64_t((uint64_t(found.nFileSizeHigh) << 32) | found.nFileSizeLow);
        entry.isStandardOutput = false;
        if (entry.kind == EntryFile) {
            int fileLength = folderLength;
            CopyText(s_file, WidePathUnits, s_folder);
            if (Append(s_file, &fileLength, L"\\") && Append(s_file, &fileLength, name))
                entry.isStandardOutput = SameFileAsOutput(s_file);
        }
        visit(context, &entry);
    } while (FindNextFileW(search, &found));
    DWORD error = GetLastError();
    if (error != ERROR_NO_MORE_FILES) {
        snprintf(why, size_t(whyBytes), "Windows error %lu", (unsigned long)error);
        ok = false;
    }
    FindClose(search);
    return ok;
}
