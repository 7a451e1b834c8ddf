// The check/patch pass: fetches the manifest from patchUrl, compares every
// listed file's size on disk and, in Patch mode, downloads each differing
// file into place. Reports only through statusText and progress of the
// state record, forcing a repaint after each change. Platform-neutral over
// the http, files and window seams.
#pragma once
#include <cstdint>

#include "patch/manifest.h"
#include "platform/thread.h"

constexpr int ManifestInitialBytes = 65536;
constexpr int ManifestFreeBytes = 4096;                       // kept free before each read
constexpr int64_t ManifestLimitBytes = 256ll * 1024 * 1024;   // larger answers are refused
constexpr int TransferBufferBytes = 32768;

// How a pass ended, for callers that need more than the status line.
struct PassOutcome {
    bool serverReached;     // false when the manifest could not be fetched
    PassCounters counters;
};

// Runs one whole pass on the calling thread (it blocks on network and disk).
// Only one pass may run at a time. Never touches busy.
void RunManifestPass(int mode);
void RunManifestPassWithOutcome(int mode, PassOutcome *outcome);

// Thread entries: run a pass, then clear busy (after the closing message
// has been shown). The parameter is ignored; the result is always 0.
uint32_t CheckThread(void *);
uint32_t PatchThread(void *);
