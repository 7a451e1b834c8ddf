// Worker backend for Windows: fire-and-forget threads through CreateThread
// (kernel32). The handle is closed at once: nobody joins, waits for or
// signals a worker, and the thread runs on after its handle is gone.
// Leaves out stack sizes, priorities and arguments; none are needed.
#include <windows.h>

#include "platform/thread.h"

static_assert(sizeof(ThreadResult) == sizeof(DWORD), "thread entries must match LPTHREAD_START_ROUTINE");

bool StartWorker(ThreadEntry entry) {
    HANDLE thread = CreateThread(nullptr, 0, entry, nullptr, 0, nullptr);
    if (thread == nullptr) return false;
    CloseHandle(thread);
    return true;
}
