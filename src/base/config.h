// Start-up configuration: the program folder and the keys of launcher.ini.
// Platform-neutral over the files and ini seams.
#pragma once
#include "base/state.h"

constexpr int ConfigPathUnits = ProgramDirUnits + 16;  // programDir + "/launcher.ini"
constexpr int ServerUnits = 64;
constexpr int ServerPortUnits = 32;

// The folder part of an executable's full path: everything before the last
// separator at position 1 or later; empty when there is none.
void ProgramDirFromExecutablePath(const WideChar *exePath, WideChar *programDir);

// Fills state->programDir from the running executable's path.
void ResolveProgramDir(LauncherState *state);

// "<programDir><separator>launcher.ini" into out (ConfigPathUnits units).
void BuildConfigPath(const LauncherState *state, WideChar *out);

// Reads the eight keys of section "launcher" in their fixed order; a missing
// file, section or key keeps the field's initial value (so does an empty
// ManifestKey).
void LoadConfiguration(LauncherState *state);

// The MaxDownloadKiBps rule: _wtoi's value, and 0 (no cap) for anything
// below 1.
int32_t DownloadCapFromText(const WideChar *text);

// The ServerPort rule: _wtoi's value, and 6543 for anything below 1.
int32_t ServerPortFromText(const WideChar *text);

// Server text to the 8-bit form kept in serverHost (the ANSI code page on
// Windows, UTF-8 elsewhere), cut to ServerHostBytes-1 bytes.
void ServerHostFromText(const WideChar *text, char *serverHost);
