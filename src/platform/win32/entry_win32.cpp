// Entry point of the Windows launcher: a wide-character GUI program (linked
// with -municode) that works out how its window should first be shown and
// hands over to the platform-neutral LauncherMain.
// Leaves out the command line: the launcher takes no arguments.
// Ends the process directly, so running workers never outlive the statics.
#include <windows.h>

#include "app/launcher_main.h"

// The show command comes from the starter's STARTUPINFO (a shortcut set to
// "minimised", for instance) rather than from nCmdShow, which some starters
// leave at its default even when they asked for something else.
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    GetStartupInfoW(&startup);
    int showCommand = (startup.dwFlags & STARTF_USESHOWWINDOW) ? int(startup.wShowWindow)
                                                               : SW_SHOWDEFAULT;
    // Workers still running (a patch run, a probe, the music) end with the
    // process: ExitProcess stops them before anything is torn down, where
    // returning would run static destructors under their feet.
    ExitProcess(UINT(LauncherMain(showCommand)));
}
