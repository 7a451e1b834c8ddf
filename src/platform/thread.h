// Worker seam: fire-and-forget threads.
// Backends: win32/thread_win32.cpp (CreateThread) and
// posix/thread_posix.cpp (detached pthreads).
#pragma once
#include <cstdint>

#ifdef _WIN32
#define THREAD_CALL __stdcall
typedef unsigned long ThreadResult;
#else
#define THREAD_CALL
typedef uint32_t ThreadResult;
#endif

// A thread entry: one ignored pointer-sized parameter, result always 0.
typedef ThreadResult(THREAD_CALL *ThreadEntry)(void *);

// Starts entry on a new thread with default attributes and no argument;
// nobody waits for it. False when the thread could not be created.
bool StartWorker(ThreadEntry entry);
