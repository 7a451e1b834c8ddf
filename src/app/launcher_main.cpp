// The launcher's entry after the platform's start-up code: what an update
// of the program set aside goes, then the configuration, then the window
// and its message loop. Platform-neutral.
#include "app/launcher_main.h"

#include "base/config.h"
#include "patch/download.h"
#include "platform/window.h"

int LauncherMain(int showCommand) {
    RemoveSetAsideProgram();  // what updating this program set aside
    ResolveProgramDir(&g_state);
    LoadConfiguration(&g_state);
    return RunMainWindow(showCommand);
}
