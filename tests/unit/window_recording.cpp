// Window seam stand-in for the unit tests: records what each forced repaint
// would have painted.
#include "window_recording.h"

#include <mutex>

#include "app/state.h"
#include "platform/window.h"

static std::mutex shownLock;

std::vector<ShownStatus> &ShownStatuses() {
    static std::vector<ShownStatus> shown;
    return shown;
}

void RequestRepaint() {}

void ForceRepaint() {
    WideChar text[StatusTextUnits];
    ReadStatusText(&g_state, text);
    char utf8[StatusTextUnits * 4];
    TextToUtf8(text, utf8, int(sizeof utf8));
    std::lock_guard<std::mutex> hold(shownLock);
    ShownStatuses().push_back({utf8, g_state.progress.load()});
}

int RunMainWindow(int) { return 0; }
