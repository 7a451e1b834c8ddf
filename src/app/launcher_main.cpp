// The launcher's entry after the platform's start-up code: configuration
// first, then the window and its message loop. Platform-neutral.
#include "app/launcher_main.h"

#include "base/config.h"
#include "platform/window.h"

int LauncherMain(int showCommand) {
    ResolveProgramDir(&g_state);
    LoadConfiguration(&g_state);
    return RunMainWindow(showCommand);
}
