// Worker seam on POSIX: fire-and-forget detached pthreads.
// The core's entry (one pointer argument, an integer result) is not the
// shape pthread_create calls, so a small trampoline adapts it.
// Leaves out: joining, stack sizes, names and signal masks; nobody waits for
// a worker and each one ends by returning.
#include "platform/thread.h"

#include <pthread.h>

#include <new>

struct WorkerStart {
    ThreadEntry entry;  // carried on the heap: a function pointer is no void *
};

static void *WorkerTrampoline(void *argument) {
    WorkerStart *start = static_cast<WorkerStart *>(argument);
    ThreadEntry entry = start->entry;
    delete start;
    entry(nullptr);
    return nullptr;
}

// Created detached, so the thread's resources go back the moment it ends
// and there is no moment in which it exists joinable with nobody to join it.
bool StartWorker(ThreadEntry entry) {
    if (entry == nullptr) return false;
    WorkerStart *start = new (std::nothrow) WorkerStart{entry};
    if (start == nullptr) return false;

    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) {
        delete start;
        return false;
    }
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    int failed = pthread_create(&thread, &attributes, WorkerTrampoline, start);
    pthread_attr_destroy(&attributes);
    if (failed != 0) {
        delete start;
        return false;
    }
    return true;
}
