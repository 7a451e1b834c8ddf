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

// How a pass ended, for callers that need more than the status line.
struct PassOutcome {
    bool serverReached;     // false when the manifest could not be fetched
    PassCounters counters;
};

// What a caller that reports more than the status line (the console tool)
// wants to hear of a pass; a null member is not called.
struct PassObserver {
    void (*waitingForFolder)();  // another pass holds the game folder: this one waits for it
    // A file failed (in manifest order, once the entries before it were
    // counted): its path as the manifest writes it, and why in a few words.
    void (*fileFailed)(const WideChar *relativePath, const char *reason);
    int transferJobs;            // downloads at once, 1-16; 0 for the default of 8
    // The manifest was fetched but its signature did not verify with the
    // configured key (the pass then ends as if unreachable): why, in a few words.
    void (*manifestRefused)(const char *reason);
    // Also hash every present file of the right size whose entry carries a
    // SHA-256 (on the transfer workers): one that differs counts as
    // differing, and Patch downloads it again. The window never asks for it.
    bool verifyHashes;
};

// Runs one whole pass on the calling thread (it blocks on network and disk).
// Passes on one game folder, in this process or any other, run one after
// another: each holds the folder's lock from its start to its closing
// message. Never touches busy.
void RunManifestPass(int mode);
void RunManifestPassWithOutcome(int mode, PassOutcome *outcome, const PassObserver *observer);

// Thread entries: run a pass, then clear busy (after the closing message
// has been shown). The parameter is ignored; the result is always 0.
uint32_t CheckThread(void *);
uint32_t PatchThread(void *);
