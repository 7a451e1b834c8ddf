// INI seam on POSIX: launcher.ini read and written with the project's ini
// text code. Files are UTF-8. A write goes to a temporary file beside the
// target, is flushed, then renamed over it, so a crash at any moment leaves
// either the old file or the new one, never half of one.
// Leaves out: other encodings than UTF-8 (a byte-order mark is skipped),
// whole-section reads and key deletion.
#include "platform/ini.h"

#include "base/ini_text.h"
#include "platform/files.h"

constexpr int IniFileBytes = 64 * 1024;  // larger files are left alone
constexpr int IniNameBytes = 1024;       // a key, section or value in UTF-8
constexpr int IniPathUnits = 1024;

void ReadIniString(const WideChar *section, const WideChar *key, const WideChar *defaultValue,
                   WideChar *out, int capacity, const WideChar *path) {
    CopyText(out, capacity, defaultValue);
    char text[IniFileBytes];
    if (ReadSmallFile(path, text, IniFileBytes) < 0) return;
    char sectionUtf8[IniNameBytes], keyUtf8[IniNameBytes], value[IniFileBytes];
    if (!TextToUtf8(section, sectionUtf8, IniNameBytes) || !TextToUtf8(key, keyUtf8, IniNameBytes)) return;
    if (!FindIniValue(text, sectionUtf8, keyUtf8, value, IniFileBytes)) return;
    Utf8ToText(value, out, capacity);  // a long value is cut to capacity-1 units
}

bool WriteIniString(const WideChar *section, const WideChar *key, const WideChar *value,
                    const WideChar *path) {
    char text[IniFileBytes];
    if (!PathExists(path)) text[0] = 0;
    else if (ReadSmallFile(path, text, IniFileBytes) < 0) return false;

    char sectionUtf8[IniNameBytes], keyUtf8[IniNameBytes], valueUtf8[IniNameBytes];
    if (!TextToUtf8(section, sectionUtf8, IniNameBytes) || !TextToUtf8(key, keyUtf8, IniNameBytes) ||
        !TextToUtf8(value, valueUtf8, IniNameBytes))
        return false;
    char updated[IniFileBytes + 2 * IniNameBytes];
    int length = SetIniValue(text, sectionUtf8, keyUtf8, valueUtf8, updated, int(sizeof updated));
    if (length < 0) return false;

    WideChar temporary[IniPathUnits];
    if (!FormatText(temporary, IniPathUnits, WTEXT("%s.tmp"), path)) return false;
    FileHandle file = CreateFileForWriting(temporary);
    if (file == NoFile) return false;
    bool written = WriteToFile(file, updated, length) && FlushFile(file);
    CloseFile(file);
    if (!written || !ReplaceFile(temporary, path)) {
        RemoveFile(temporary);
        return false;
    }
    return true;
}
