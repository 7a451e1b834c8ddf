// One file's download: attempts with back-off, resuming a partial body
// where the server allows it, and the checks that decide whether the
// temporary replaces the target. Platform-neutral over the http, files and
// clock seams. Runs on any transfer worker.
#pragma once
#include <atomic>

#include "patch/plan.h"
#include "patch/request_url.h"
#include "patch/transfers.h"

constexpr int DownloadAttempts = 3;  // in all, for failures that may pass
constexpr int64_t ResumableBytes = 256 * 1024;  // smaller files are fetched whole again

// The wait before attempt number next (1 or 2) of a failure that may pass:
// 1 s, then 2 s, or what the server's Retry-After asked (retryAfterMs, -1
// for none). Tests shorten every wait.
int64_t BackOffBefore(int next, int64_t retryAfterMs);

// The URL to ask for an entry's file, as both builds send it (non-ASCII
// percent-encoded as UTF-8, a blank as %20; RequestUrlUnits units), or why
// the URL is refused (control characters, a user name or password, not
// http or https); nullptr when it is usable.
const char *PrepareDownloadUrl(const WideChar *sourceUrl, WideChar *out);

// Downloads queued->entry over queued->localPath with buffer (of
// TransferBufferBytes). True when the file is in place; false with
// queued->failure set otherwise. An interrupted body stays in the
// temporary, with what a later attempt needs to go on from there.
bool DownloadEntry(QueuedEntry *queued, char *buffer);

// Removes the running program's own file that an update of it set aside
// (see ReplaceRunningProgram in platform/files.h), once the program starts
// again from its new file. Called once at every start; nothing is reported
// (while the old program still runs, the file stays for a later start).
void RemoveSetAsideProgram();

// Removes what an earlier run left of the file at localPath's download
// (its temporary and resume record); for files that are in place.
void RemoveDownloadLeftovers(const WideChar *localPath);

// Removes the regular file at queued->localPath that the manifest lists as
// absent (PlanRemove), with its download leftovers. True when nothing is
// left at the path; false with queued->failure set otherwise. A link that
// took the file's place meanwhile goes itself, never what it leads to, and
// a folder stays.
bool RemoveListedFile(QueuedEntry *queued);
