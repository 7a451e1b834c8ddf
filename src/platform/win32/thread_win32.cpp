// Worker backend for Windows: fire-and-forget threads through CreateThread
// (kernel32). The handle is closed at once: nobody joins, waits for or
// signals a worker, and the thread runs on after its handle is gone.
// The core's entries have the default calling convention, so a small
// trampoline adapts each to the __stdcall shape CreateThread calls.
// Leaves out stack sizes, priorities and arguments; none are needed.
#include <windows.h>

#include <new>

#include "platform/thread.h"

struct WorkerStart {
    ThreadEntry entry;  // carried on the heap: a function pointer is no void *
};

static DWORD WINAPI WorkerTrampoline(void *argument) {
    WorkerStart *start = static_cast<WorkerStart *>(argument);
    ThreadEntry entry = start->entry;
    delete start;
    return DWORD(entry(nullptr));
}

bool StartWorker(ThreadEntry entry) {
    if (entry == nullptr) return false;
    WorkerStart *start = new (std::nothrow) WorkerStart{entry};
    if (start == nullptr) return false;
    HANDLE thread = CreateThread(nullptr, 0, WorkerTrampoline, start, 0, nullptr);
    if (thread == nullptr) {
        delete start;
        return false;
    }
    CloseHandle(thread);
    return true;
}
