// The check/patch pass: fetches the manifest, compares every listed file
// with the disk and, in Patch mode, downloads each differing file into
// place. It takes its settings as one argument and tells everything through
// one set of callbacks: the window's write the state record and repaint,
// launcher-patch's print. Platform-neutral over the http, files and thread
// seams.
#pragma once
#include <cstdint>

#include "patch/manifest.h"

constexpr int64_t ManifestLimitBytes = 256ll * 1024 * 1024;  // larger answers are refused

// What a pass works with.
struct PassSettings {
    const WideChar *gameFolder;   // holds the game files; no trailing separator
    const WideChar *manifestUrl;  // http or https
    const WideChar *manifestKey;  // minisign public key line the manifest must be signed with; "" for none
    int mode;                     // Check or Patch
    int jobs;                     // downloads at once, 1-16; 0 for the default of 8
    bool verify;                  // also hash every present file of the right size whose entry has a SHA-256
    bool countBytesFirst;         // Patch: walk the manifest once first, so the bytes to fetch are known up
                                  // front (for a live display); one more size lookup per entry
    int32_t maxDownloadKiBps;     // the bandwidth all downloads of the pass share, KiB/s; 0 for no cap
};

// What a pass tells, in order, on the pass's thread. A null member is not
// called; context is handed to every call.
struct PassReports {
    void *context;
    // The status line: a text and the bar's percent (-1: no bar).
    void (*status)(void *context, const WideChar *text, int32_t percent);
    // Another launcher holds the game folder: this pass waits for it.
    void (*waitingForFolder)(void *context);
    // A file failed (once the entries before it were counted): its path as
    // the manifest writes it, and why in a few words. Also a notice about
    // the game folder's launcher.state (damaged, or not writable), under
    // that name, which is no error of the pass.
    void (*fileFailed)(void *context, const WideChar *relativePath, const char *reason);
    // The manifest could not be used (the pass then ends as unreachable):
    // why, in a few words; bySignature when it was its signature that failed.
    void (*manifestUnusable)(void *context, bool bySignature, const char *reason);
    // An entry differs (once the entries before it were counted, in both
    // modes): its path as the manifest writes it, and why in a few words
    // ("missing", "size 10, manifest says 12", "SHA-256 differs", "must not
    // exist", or why the entry is unusable).
    void (*entryDiffers)(void *context, const WideChar *relativePath, const char *why);
    // How far Patch's fetching is: the bytes that travelled so far (a kept
    // part resumed counts only what is fetched after it), the bytes to fetch
    // in all (without countBytesFirst it grows as entries are planned; a
    // failed download's bytes leave it), and the manifest path of a download
    // running now ("" for none). Told at the start of the entries, after
    // each entry that fetched, and every quarter second while the pass waits.
    void (*bytesProgress)(void *context, int64_t bytesDone, int64_t bytesToFetch, const WideChar *currentFile);
};

// How a pass ended, for callers that need more than the status line.
struct PassOutcome {
    bool serverReached;     // false when the manifest could not be fetched or used
    PassCounters counters;
};

// Runs one whole pass on the calling thread (it blocks on network and disk).
// Passes on one game folder, in this process or any other, run one after
// another: each holds the folder's lock from its start to its closing
// message. The closing message is the last status reported.
void RunManifestPass(const PassSettings *settings, const PassReports *reports, PassOutcome *outcome);
