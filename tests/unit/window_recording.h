// Window seam stand-in for the unit tests (no window exists in them): every
// forced repaint records the status text and progress it would have shown,
// quit requests are counted and media notifications are queued for the test
// to hand to the music's loop handling itself, as the window would.
#pragma once
#include <string>
#include <vector>

struct ShownStatus {
    std::string text;  // UTF-8
    int progress;
};

// What the forced repaints showed, oldest first; cleared by the tests.
std::vector<ShownStatus> &ShownStatuses();
int RepaintRequests();
int QuitRequests();
void ClearWindowRecords();

// The handle MainWindowHandle gives other backends: nullptr (no window, so
// the GDI canvas paints off-screen) unless a test made a window of its own
// for them (the MCI tests' notification window).
void SetRecordedWindowHandle(void *handle);

// Notifications posted so far, oldest first; taking them empties the queue.
std::vector<int> TakePostedMediaNotifications();
