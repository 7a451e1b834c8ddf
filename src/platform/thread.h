// Worker seam: fire-and-forget threads.
// Backends: win32/thread_win32.cpp (CreateThread) and
// posix/thread_posix.cpp (detached pthreads).
#pragma once
#include <cstdint>

// A thread entry: one pointer-sized parameter (always null), result always
// 0. The backend adapts it to the system's own entry shape.
typedef uint32_t (*ThreadEntry)(void *);

// Starts entry on a new thread with default attributes and no argument;
// nobody waits for it. False when the thread could not be created.
bool StartWorker(ThreadEntry entry);
