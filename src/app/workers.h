// The window's check/patch pass: its thread entries and the busy protocol
// around them. Platform-neutral over the thread and window seams.
#pragma once
#include <cstdint>

// Thread entries: run a pass with the configuration of the state record,
// showing its reports in the status line, then clear busy (after the
// closing message has been shown). The parameter is ignored; the result is
// always 0.
uint32_t CheckThread(void *);
uint32_t PatchThread(void *);

// Starts CheckThread (mode Check) or PatchThread (any other mode) unless a
// run is active. busy is set before the thread starts and cleared again when
// it cannot be started. False when nothing was started.
bool StartPassWorker(int mode);
