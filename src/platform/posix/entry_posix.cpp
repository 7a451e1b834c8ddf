// Process entry on POSIX: the command line is ignored, as on Windows, and
// the window is shown the normal way. Workers still running when the window
// closes (a patch run, a probe, the music) end with the process at once, as
// they do on Windows: the process leaves with _exit, so no static object is
// torn down under a thread that is still using it.
// Leaves out: command-line options and signal handling (the defaults end
// the process, which is what closing the window does too).
#include <unistd.h>

#include <cstdio>

#include "app/launcher_main.h"

constexpr int ShowNormal = 1;  // the value Windows calls SW_SHOWNORMAL

int main() {
    int code = LauncherMain(ShowNormal);
    fflush(nullptr);
    _exit(code);
}
