// INI backend for Windows: one key of a private-profile file through
// GetPrivateProfileStringW and WritePrivateProfileStringW (kernel32).
// Leaves out whole-section reads and key deletion, which the launcher never
// needs; the file format, quoting and caching are the system's.
#include <windows.h>

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

void ReadIniString(const WideChar *section, const WideChar *key, const WideChar *defaultValue,
                   WideChar *out, int capacity, const WideChar *path) {
    if (capacity <= 0) return;
    WideChar local[IniPathUnits];
    GetPrivateProfileStringW(section, key, defaultValue, out, DWORD(capacity),
                             LocalIniPath(path, local));
}

// A line break inside the value would end the line early and smuggle the
// rest into the file as keys or sections of its own, so such values are
// refused whole.
bool WriteIniString(const WideChar *section, const WideChar *key, const WideChar *value,
                    const WideChar *path) {
    if (value == nullptr) return false;
    for (const WideChar *p = value; *p != 0; p++)
        if (*p == L'\r' || *p == L'\n') return false;
    WideChar local[IniPathUnits];
    return WritePrivateProfileStringW(section, key, value, LocalIniPath(path, local)) != 0;
}
