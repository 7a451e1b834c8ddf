// One file's download: attempts with back-off, resuming a partial body
// where the server allows it, and the checks that decide whether the
// temporary replaces the target. Platform-neutral over the http, files and
// clock seams. Runs on any transfer worker.
#pragma once
#include <atomic>

#include "patch/transfers.h"
#include "platform/http.h"

struct Sha256Run;

constexpr int DownloadAttempts = 3;       // in all, for failures that may pass
constexpr int RetryAfterLimitMs = 30000;  // a longer Retry-After is cut to this

// Why a transfer failed, in a few words (at most 48 characters).
const char *HttpFailureText(HttpFailure failure);

// Downloads queued->entry over queued->localPath with buffer (of
// TransferBufferBytes). True when the file is in place; false with
// queued->failure set otherwise. An interrupted body stays in the
// temporary, with what a later attempt needs to go on from there.
bool DownloadEntry(QueuedEntry *queued, char *buffer);

// Removes what an earlier run left of the file at localPath's download
// (its temporary and resume record); for files that are in place.
void RemoveDownloadLeftovers(const WideChar *localPath);

// Adds the first bytes of the file at path to run, reading through buffer
// (TransferBufferBytes); bytesRead, when given, follows the count. False
// when the file cannot be read or ends before that many bytes.
bool AddFileToSha256(const WideChar *path, int64_t bytes, Sha256Run *run, char *buffer,
                     std::atomic<int64_t> *bytesRead);

// Whether the file at queued->localPath has exactly the manifest's size and
// SHA-256 (queued->entry.hasSha256 must be set); false too when it cannot
// be read. Reads through buffer (TransferBufferBytes).
bool FileHasManifestHash(QueuedEntry *queued, char *buffer);
