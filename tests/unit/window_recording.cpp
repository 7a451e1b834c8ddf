// Window seam stand-in for the unit tests: records what each forced repaint
// would have painted, counts repaint and quit requests and queues media
// notifications. Thread-safe, as the real window's entry points are.
#include "window_recording.h"

#include <atomic>
#include <mutex>

#include "app/state.h"
#include "platform/window.h"

static std::mutex recordLock;
static std::atomic<int> repaintRequests{0};
static std::atomic<int> quitRequests{0};
static std::vector<int> postedNotifications;

std::vector<ShownStatus> &ShownStatuses() {
    static std::vector<ShownStatus> shown;
    return shown;
}

int RepaintRequests() { return repaintRequests; }
int QuitRequests() { return quitRequests; }

void ClearWindowRecords() {
    std::lock_guard<std::mutex> hold(recordLock);
    ShownStatuses().clear();
    postedNotifications.clear();
    repaintRequests = 0;
    quitRequests = 0;
}

std::vector<int> TakePostedMediaNotifications() {
    std::lock_guard<std::mutex> hold(recordLock);
    std::vector<int> taken;
    taken.swap(postedNotifications);
    return taken;
}

void RequestRepaint() { repaintRequests++; }

void ForceRepaint() {
    repaintRequests++;
    WideChar text[StatusTextUnits];
    ReadStatusText(&g_state, text);
    char utf8[StatusTextUnits * 4];
    TextToUtf8(text, utf8, int(sizeof utf8));
    std::lock_guard<std::mutex> hold(recordLock);
    ShownStatuses().push_back({utf8, g_state.progress.load()});
}

int RunMainWindow(int) { return 0; }
void RequestQuit() { quitRequests++; }

void PostMediaNotification(int code) {
    std::lock_guard<std::mutex> hold(recordLock);
    postedNotifications.push_back(code);
}
