// Process entry on POSIX: the command line is ignored, as on Windows, and
// the window is shown the normal way.
#include "app/launcher_main.h"

constexpr int ShowNormal = 1;  // the value Windows calls SW_SHOWNORMAL

int main() { return LauncherMain(ShowNormal); }
