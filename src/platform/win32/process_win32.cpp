// Process seam on Windows: CreateProcessW with the game path as the program
// (never searched for), no inherited handles, default creation flags, the
// launcher's environment and a zeroed start-up record. Both handles of the
// new process are closed at once: the launcher never waits for the game.
// Leaves out: job objects, priorities and any wait for the game.
#include <windows.h>

#include "platform/process.h"

bool StartProcess(const WideChar *programPath, WideChar *commandLine, const WideChar *workingDir) {
    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    ZeroMemory(&process, sizeof process);
    if (!CreateProcessW(programPath, commandLine, nullptr, nullptr, FALSE, 0, nullptr, workingDir, &startup,
                        &process))
        return false;
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return true;
}
