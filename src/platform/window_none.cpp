// Window seam stand-in used while the launcher has no window of its own:
// repaint requests go nowhere and the "message loop" ends at once, so the
// launcher starts, reads its configuration and exits with 0.
#include "platform/window.h"

void RequestRepaint() {}
void ForceRepaint() {}
int RunMainWindow(int) { return 0; }
void RequestQuit() {}
void PostMediaNotification(int) {}
