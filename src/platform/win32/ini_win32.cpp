// INI backend for Windows: one key of a private-profile file through
// GetPrivateProfileStringW and WritePrivateProfileStringW (kernel32).
// Leaves out whole-section reads and key deletion, which the launcher never
// needs; the file format, quoting and caching are the system's.
// Only a plain file on a disk is handed to those functions: a folder, a
// device or (under Wine) a Unix FIFO at the path reads as a missing file
// and is never written. The look comes just before the call, so a file
// swapped in between is the system's to handle.
#include <windows.h>

#include "base/ini_text.h"
#include "platform/ini.h"

// The private-profile functions look a bare file name up in the Windows
// folder; the launcher means the current folder, as on every other platform.
constexpr int IniPathUnits = MAX_PATH + 2;

static const WideChar *LocalIniPath(const WideChar *path, WideChar *buffer) {
    for (const WideChar *p = path; *p != 0; p++)
        if (*p == L'\\' || *p == L'/' || *p == L':') return path;
    if (!FormatText(buffer, IniPathUnits, L".\\%s", path)) return path;
    return buffer;
}

enum IniFileKind { IniFileMissing, IniFilePlain, IniFileOther };

// What is at path: nothing, a plain file on a disk (links followed, as the
// private-profile functions follow them), or anything else. Opening for
// attributes only reads nothing, and a FIFO opens without waiting.
static IniFileKind KindOfIniFile(const WideChar *path) {
    HANDLE h = CreateFileW(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? IniFileMissing : IniFileOther;
    }
    BY_HANDLE_FILE_INFORMATION info;
    bool plain = GetFileType(h) == FILE_TYPE_DISK && GetFileInformationByHandle(h, &info) &&
                 !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    CloseHandle(h);
    return plain ? IniFilePlain : IniFileOther;
}

// Anything but a plain file reads as missing: the default, by the same
// rule the system applies to it.
void ReadIniString(const WideChar *section, const WideChar *key, const WideChar *defaultValue,
                   WideChar *out, int capacity, const WideChar *path) {
    if (capacity <= 0) return;
    WideChar local[IniPathUnits];
    const WideChar *file = LocalIniPath(path, local);
    if (KindOfIniFile(file) == IniFileOther) {
        CopyIniDefault(defaultValue, out, capacity);
        return;
    }
    GetPrivateProfileStringW(section, key, defaultValue, out, DWORD(capacity), file);
}

// A line break inside the value would end the line early and smuggle the
// rest into the file as keys or sections of its own, so such values are
// refused whole. A path holding something other than a file is not
// written either.
bool WriteIniString(const WideChar *section, const WideChar *key, const WideChar *value,
                    const WideChar *path) {
    if (value == nullptr) return false;
    for (const WideChar *p = value; *p != 0; p++)
        if (*p == L'\r' || *p == L'\n') return false;
    WideChar local[IniPathUnits];
    const WideChar *file = LocalIniPath(path, local);
    if (KindOfIniFile(file) == IniFileOther) return false;
    return WritePrivateProfileStringW(section, key, value, file) != 0;
}
