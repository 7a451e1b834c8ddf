// The launcher's entry after the platform's start-up code.
#pragma once

// Resolves the program folder, reads launcher.ini and runs the window until
// the launcher quits. Returns the process exit code, 0.
int LauncherMain(int showCommand);
