// Process seam: starting the game and never waiting for it.
// Backends: win32/process_win32.cpp (CreateProcessW) and
// posix/process_posix.cpp (posix_spawn; Windows programs through Wine).
#pragma once
#include "base/text.h"

// Starts the program at programPath (never searched for on PATH) with
// commandLine, a Windows-style command line whose first word is the quoted
// program path, in workingDir, with the launcher's environment and no
// inherited handles beyond the standard streams. The launcher keeps no
// handle to the process. commandLine may be modified. False when the
// process could not be created.
bool StartProcess(const WideChar *programPath, WideChar *commandLine, const WideChar *workingDir);
