// INI seam: one key of a private-profile file.
// Backends: win32/ini_win32.cpp (GetPrivateProfileStringW and
// WritePrivateProfileStringW) and posix/ini_posix.cpp (over base/ini_text).
#pragma once
#include "base/text.h"

// Reads section/key from the file at path into out (capacity units, cut to
// capacity-1); the default when the file, section or key is missing.
void ReadIniString(const WideChar *section, const WideChar *key, const WideChar *defaultValue,
                   WideChar *out, int capacity, const WideChar *path);

// Writes section/key = value, creating the file, section or key as needed.
// False when the file could not be written.
bool WriteIniString(const WideChar *section, const WideChar *key, const WideChar *value,
                    const WideChar *path);
