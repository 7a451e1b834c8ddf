// Window seam stand-in for the unit tests: records what each forced repaint
// would have painted, counts repaint and quit requests and queues media
// notifications. Thread-safe, as the real window's entry points are.
#include "window_recording.h"

#include <atomic>
#include <mutex>

#include "base/state.h"
#include "platform/window.h"

static std::mutex s_recordLock;
static std::atomic<int> s_repaintRequests{0};
static std::atomic<int> s_quitRequests{0};
static std::vector<int> s_postedNotifications;
static std::atomic<void *> s_windowHandle{nullptr};

std::vector<ShownStatus> &ShownStatuses() {
    static std::vector<ShownStatus> shown;
    return shown;
}

int RepaintRequests() { return s_repaintRequests; }
int QuitRequests() { return s_quitRequests; }

void ClearWindowRecords() {
    std::lock_guard<std::mutex> hold(s_recordLock);
    ShownStatuses().clear();
    s_postedNotifications.clear();
    s_repaintRequests = 0;
    s_quitRequests = 0;
}

std::vector<int> TakePostedMediaNotifications() {
    std::lock_guard<std::mutex> hold(s_recordLock);
    std::vector<int> taken;
    taken.swap(s_postedNotifications);
    return taken;
}

void RequestRepaint() { s_repaintRequests++; }

void ForceRepaint() {
    s_repaintRequests++;
    WideChar text[StatusTextUnits];
    ReadStatusText(&g_state, text);
    char utf8[StatusTextUnits * 4];
    TextToUtf8(text, utf8, int(sizeof utf8));
    std::lock_guard<std::mutex> hold(s_recordLock);
    ShownStatuses().push_back({utf8, g_state.progress.load()});
}

int RunMainWindow(int) { return 0; }
void *MainWindowHandle() { return s_windowHandle; }
void SetRecordedWindowHandle(void *handle) { s_windowHandle = handle; }
void RequestQuit() { s_quitRequests++; }

void PostMediaNotification(int code) {
    std::lock_guard<std::mutex> hold(s_recordLock);
    s_postedNotifications.push_back(code);
}
