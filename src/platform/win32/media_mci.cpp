// Media backend for Windows: each command string goes to MCI unchanged
// (mciSendStringW, winmm). MCI posts MM_MCINOTIFY to the main window when a
// "notify" play ends; the window procedure hands its code to OnMusicNotify.
// Leaves out return strings: no command asks for one.
#include <windows.h>
#include <mmsystem.h>

#include <atomic>

#include "app/state.h"
#include "platform/media.h"

static std::atomic<int> commandsSent{0};

int SendMediaCommand(const WideChar *command, bool notify) {
    commandsSent++;
    HWND target = notify ? static_cast<HWND>(g_state.mainWindow) : nullptr;
    return static_cast<int>(mciSendStringW(command, nullptr, 0, target));
}

int MediaCommandsSent() { return commandsSent; }
