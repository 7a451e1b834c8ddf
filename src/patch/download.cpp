// One file's download, with retries and resuming. Platform-neutral.
// A body goes to the file's temporary. When the response names a validator
// (a strong ETag, else Last-Modified), a small resume record beside the
// temporary keeps it with the manifest's size, written before the first
// body byte; so whenever a body stops (a failure after the retries, the
// window closed, Ctrl+C, a crash, kill -9), the next attempt in this pass or
// a later one asks for the rest only: "Range: bytes=N-" with "If-Range" and
// the validator. A 206 whose Content-Range starts at N and ends at the
// manifest's size is appended; any other answer starts over, so bytes of
// two versions are never spliced. The size check still decides whether the
// temporary replaces the target.
// An entry with a SHA-256 in the manifest is hashed as its body is written
// (a resumed body: the part on the disk first, then the rest as it
// arrives), so the digest covers the whole file when the last byte is
// there, without reading the file again; a body whose digest differs never
// replaces the target.
#include "patch/download.h"

#include <cstdio>
#include <cstring>

#include "base/state.h"
#include "patch/temporary.h"
#include "platform/clock.h"
#include "platform/crypto.h"
#include "platform/files.h"
#include "platform/http.h"
#include "platform/test_hooks.h"

constexpr int BackOffMs[DownloadAttempts - 1] = {1000, 2000};
constexpr int ResumeRecordBytes = 512;
constexpr int64_t ResumableBytes = 256 * 1024;  // smaller files are fetched whole again
static const char ResumeRecordHead[] = "launcher-partial 1\n";

// What a later attempt needs to go on with a partial body.
struct ResumeRecord {
    int64_t size;                        // the manifest's size when the body began
    char validator[HttpValidatorBytes];  // strong ETag or Last-Modified of that response
};

enum AttemptResult { AttemptDone, AttemptAgain, AttemptFailed };

// One attempt's working set.
struct Attempt {
    QueuedEntry *queued;
    char *buffer;
    WideChar partPath[TemporaryPathUnits];    // the temporary holding the body so far
    WideChar recordPath[TemporaryPathUnits];  // its resume record
    int retryAfterMs;                         // the server's Retry-After, -1 when none
    Sha256Run *hash;                          // the body's digest so far, when the manifest gives one
};

static_assert(Sha256Bytes == Sha256DigestBytes, "one digest size");
static const char HashDiffersText[] = "SHA-256 differs from the manifest";

static bool Fail(QueuedEntry *queued, const char *why) {
    snprintf(queued->failure, FailureTextBytes, "%s", why);
    return false;
}

static AttemptResult FailAttempt(Attempt *attempt, AttemptResult result, const char *why) {
    Fail(attempt->queued, why);
    return result;
}

static bool IsTransientStatus(int status) { return status == 408 || status == 429 || (status >= 500 && status <= 599); }

static bool IsTransientFailure(HttpFailure failure) {
    return failure == HttpFailedConnect || failure == HttpFailedTimeout || failure == HttpFailedCut;
}

const char *HttpFailureText(HttpFailure failure) {
    switch (failure) {
    case HttpFailedUrl: return "not an http or https URL, or too many redirects";
    case HttpFailedConnect: return "could not connect to the server";
    case HttpFailedTimeout: return "timed out: no data for too long";
    case HttpFailedTooSlow: return "the server is too slow (its answer trickles)";
    case HttpFailedCut: return "the connection broke before the body's end";
    case HttpFailedEncoded: return "the server sent an encoded body";
    default: return "the transfer failed";
    }
}

// Parses "launcher-partial 1\nsize N\nvalidator V\n".
static bool ReadResumeRecord(const WideChar *path, ResumeRecord *record) {
    char text[ResumeRecordBytes];
    if (ReadSmallFile(path, text, ResumeRecordBytes) < 0) return false;
    size_t headBytes = sizeof ResumeRecordHead - 1;
    if (strncmp(text, ResumeRecordHead, headBytes) != 0 || strncmp(text + headBytes, "size ", 5) != 0) return false;
    record->size = ParseInt64LikeAtoi64(text + headBytes + 5);
    const char *validator = strstr(text, "\nvalidator ");
    if (validator == nullptr) return false;
    validator += 11;
    const char *end = strchr(validator, '\n');
    if (end == nullptr || end == validator || size_t(end - validator) >= sizeof record->validator) return false;
    memcpy(record->validator, validator, size_t(end - validator));
    record->validator[end - validator] = 0;
    return true;
}

// Written before the body's first byte. It needs no flush of its own: after
// a crash, a body without its record is only discarded, and a record whose
// body lost its tail is gone on with from what is there. Failure only means
// no resuming later.
static void WriteResumeRecord(const WideChar *path, const ResumeRecord *record) {
    char text[ResumeRecordBytes];
    int length = snprintf(text, sizeof text, "%ssize %lld\nvalidator %s\n", ResumeRecordHead,
                          static_cast<long long>(record->size), record->validator);
    FileHandle file = CreateFileForWriting(path);
    if (file == NoFile) return;
    bool written = length > 0 && length < int(sizeof text) && WriteToFile(file, text, length);
    CloseFile(file);
    if (!written) RemoveFile(path);
}

// The validator an If-Range may carry: a strong ETag, else Last-Modified;
// "" when the response has neither (its body cannot be resumed).
static void ChooseValidator(const HttpResponseInfo *info, char *validator) {
    const char *chosen = info->etag[0] != 0 && strncmp(info->etag, "W/", 2) != 0 ? info->etag : info->lastModified;
    snprintf(validator, HttpValidatorBytes, "%s", chosen);
}

static void DiscardPartial(Attempt *attempt) {
    if (PathEntryExists(attempt->partPath)) RemoveFile(attempt->partPath);
    if (PathEntryExists(attempt->recordPath)) RemoveFile(attempt->recordPath);
}

// Creates every folder on the way to localPath below the program folder
// (which exists). Failures are not reported: the file creation that follows
// fails instead.
static void CreateParentDirectories(const WideChar *localPath) {
    WideChar folder[LocalPathUnits];
    CopyText(folder, LocalPathUnits, localPath);
    for (int i = TextLength(g_state.programDir) + 1; folder[i] != 0; i++) {
        if (folder[i] != PathSeparator) continue;
        folder[i] = 0;
        CreateFolder(folder);
        folder[i] = PathSeparator;
    }
}

// Streams the body into file after the have bytes already there. Done only
// when the body is complete: no transport error, the announced
// Content-Length met, and exactly the manifest's size in all (reading
// stops as soon as it is exceeded). A body that broke off may be resumed;
// one of a wrong size, or a file that cannot be written, may not.
static AttemptResult CopyBody(Attempt *attempt, HttpRequest *request, FileHandle file, int64_t have,
                              int64_t contentLength) {
    int64_t expectedSize = attempt->queued->entry.expectedSize;
    int64_t received = 0;
    attempt->queued->bytesOnDisk = have;
    for (;;) {
        int count = 0;
        if (!HttpRead(request, attempt->buffer, TransferBufferBytes, &count)) {
            HttpFailure failure = HttpReadFailure(request);
            return FailAttempt(attempt, IsTransientFailure(failure) ? AttemptAgain : AttemptFailed,
                               HttpFailureText(failure));
        }
        if (count == 0) break;
        received += count;
        if (have + received > expectedSize)
            return FailAttempt(attempt, AttemptFailed, "size mismatch: the body is larger than the manifest says");
        if (!WriteToFile(file, attempt->buffer, count))
            return FailAttempt(attempt, AttemptFailed, "the file could not be written (disk full?)");
        if (attempt->hash != nullptr) Sha256Add(attempt->hash, attempt->buffer, size_t(count));
        attempt->queued->bytesOnDisk = have + received;
    }
    if (contentLength >= 0 && received != contentLength)
        return FailAttempt(attempt, AttemptAgain, "the connection broke before the body's end");
    if (have + received != expectedSize)
        return FailAttempt(attempt, AttemptFailed, "size mismatch: the body is smaller than the manifest says");
    return AttemptDone;
}

// Opens the temporary for appending when its partial body and record allow
// going on (*have bytes, *validator); otherwise removes whatever is there
// and gives NoFile with *have 0 (the body then starts over once the server
// answered).
static FileHandle OpenPartial(Attempt *attempt, int64_t *have, char *validator) {
    int64_t expectedSize = attempt->queued->entry.expectedSize;
    ResumeRecord record;
    *have = 0;
    validator[0] = 0;
    int64_t size = -1;
    if (LocalFileSize(attempt->partPath, &size) && size > 0 && size < expectedSize &&
        ReadResumeRecord(attempt->recordPath, &record) && record.size == expectedSize &&
        (attempt->hash == nullptr || AddFileToSha256(attempt->partPath, size, attempt->hash, attempt->buffer,
                                                     &attempt->queued->bytesOnDisk))) {
        FileHandle file = OpenFileForAppending(attempt->partPath);
        if (file != NoFile) {
            *have = size;
            snprintf(validator, HttpValidatorBytes, "%s", record.validator);
            return file;
        }
    }
    DiscardPartial(attempt);
    return NoFile;
}

// Whether what an attempt left can be gone on with: some body and its record.
static bool PartialIsWorthKeeping(const Attempt *attempt) {
    int64_t size = 0;
    return LocalFileSize(attempt->partPath, &size) && size > 0 && PathEntryExists(attempt->recordPath);
}

// Starts the digest of a body over again (nothing when the manifest gives
// no hash); false when the library cannot start one.
static bool RestartHash(Attempt *attempt) {
    Sha256Abandon(attempt->hash);
    attempt->hash = nullptr;
    if (!attempt->queued->entry.hasSha256) return true;
    attempt->hash = Sha256Begin();
    return attempt->hash != nullptr;
}

// Whether the finished body's digest is the manifest's. A resumed body that
// differs may owe it to the part kept from before (the disk, or a server
// that sent another version under the same validator): the next attempt
// fetches it whole. A whole body that differs is final.
static AttemptResult CheckBodyHash(Attempt *attempt, int64_t resumedFrom) {
    uint8_t digest[Sha256Bytes];
    bool ended = Sha256End(attempt->hash, digest);
    attempt->hash = nullptr;
    if (ended && memcmp(digest, attempt->queued->entry.sha256, Sha256Bytes) == 0) return AttemptDone;
    if (!ended) return FailAttempt(attempt, AttemptFailed, "SHA-256 could not be computed");
    return FailAttempt(attempt, resumedFrom > 0 ? AttemptAgain : AttemptFailed, HashDiffersText);
}

static AttemptResult RunAttempt(Attempt *attempt) {
    const ManifestEntry *entry = &attempt->queued->entry;
    attempt->retryAfterMs = -1;
    if (!RestartHash(attempt)) return FailAttempt(attempt, AttemptFailed, "SHA-256 could not be computed");
    int64_t have = 0;
    char validator[HttpValidatorBytes];
    FileHandle file = OpenPartial(attempt, &have, validator);
    if (have == 0 && !RestartHash(attempt)) {
        CloseFile(file);
        return FailAttempt(attempt, AttemptFailed, "SHA-256 could not be computed");
    }

    HttpRoot *root = HttpOpenRoot();
    if (root == nullptr) {
        CloseFile(file);
        return FailAttempt(attempt, AttemptAgain, "no HTTP session");
    }
    HttpRequestOptions options = {have > 0 ? have : -1, have > 0 ? validator : nullptr};
    HttpResponseInfo info;
    HttpFailure failure = HttpOk;
    HttpRequest *request = HttpOpenUrlWith(root, entry->sourceUrl, &options, &info, &failure);
    AttemptResult result = AttemptFailed;
    int64_t resumedFrom = 0;  // bytes of the body that were on the disk before this answer
    if (request == nullptr) {
        result = FailAttempt(attempt, IsTransientFailure(failure) ? AttemptAgain : AttemptFailed,
                             HttpFailureText(failure));
    } else if (have > 0 && info.status == 206) {
        // The rest of the same version, or nothing of it.
        if (info.rangeFirst == have && info.rangeTotal == entry->expectedSize) {
            resumedFrom = have;
            result = CopyBody(attempt, request, file, have, info.contentLength);
        } else {
            CloseFile(file);
            file = NoFile;
            DiscardPartial(attempt);
            result = FailAttempt(attempt, AttemptAgain, "the server resumed at another place");
        }
    } else if (info.status >= 200 && info.status <= 299 && info.status != 206) {
        // The whole body: a partial from before is replaced.
        if (file != NoFile) {
            CloseFile(file);
            DiscardPartial(attempt);
            if (!RestartHash(attempt)) file = NoFile;
        }
        file = attempt->hash != nullptr || !entry->hasSha256 ? CreateFileForWriting(attempt->partPath) : NoFile;
        // Small files are fetched whole again rather than resumed, which
        // spares every one of them a record.
        ResumeRecord record = {entry->expectedSize, {0}};
        ChooseValidator(&info, record.validator);
        if (record.validator[0] != 0 && entry->expectedSize >= ResumableBytes)
            WriteResumeRecord(attempt->recordPath, &record);
        result = file == NoFile ? FailAttempt(attempt, AttemptFailed, "the temporary file could not be created")
                                : CopyBody(attempt, request, file, 0, info.contentLength);
    } else {
        char why[FailureTextBytes];
        snprintf(why, sizeof why, "HTTP status %d", info.status);
        if (info.status == 416 && file != NoFile) {  // the partial does not fit the file any more
            CloseFile(file);
            file = NoFile;
            DiscardPartial(attempt);
        }
        result = FailAttempt(attempt, IsTransientStatus(info.status) || info.status == 416 ? AttemptAgain : AttemptFailed,
                             why);
        if (info.retryAfterSeconds >= 0) attempt->retryAfterMs = info.retryAfterSeconds * 1000;
    }
    if (request != nullptr) HttpCloseRequest(request);
    HttpCloseRoot(root);
    if (result == AttemptDone && attempt->hash != nullptr) {
        result = CheckBodyHash(attempt, resumedFrom);
        if (result == AttemptAgain) {
            // Not resumable: the bytes kept are what is in doubt.
            CloseFile(file);
            file = NoFile;
            DiscardPartial(attempt);
        }
    }
    Sha256Abandon(attempt->hash);
    attempt->hash = nullptr;

    // On the disk before the rename, so a power cut never leaves the target
    // empty; a body that is kept for resuming is flushed too.
    if (file != NoFile) {
        if (!FlushFile(file) && result == AttemptDone)
            result = FailAttempt(attempt, AttemptFailed, "the file could not be flushed to the disk");
        CloseFile(file);
    }
    if (result == AttemptDone) {
        if (!ReplaceFile(attempt->partPath, attempt->queued->localPath))
            result = FailAttempt(attempt, AttemptFailed, "the file could not be replaced");
        if (PathEntryExists(attempt->recordPath)) RemoveFile(attempt->recordPath);
    }
    // A body that cannot be gone on with is not kept: after a final
    // failure, or when nothing (or nothing resumable) arrived.
    if (result == AttemptFailed || (result == AttemptAgain && !PartialIsWorthKeeping(attempt)))
        DiscardPartial(attempt);
    return result;
}

// The wait before attempt number next (1 or 2): 1 s, then 2 s, or what the
// server's Retry-After asks, up to 30 s. Tests shorten every wait.
static int BackOffBefore(int next, int retryAfterMs) {
    int waitMs = retryAfterMs >= 0 ? (retryAfterMs < RetryAfterLimitMs ? retryAfterMs : RetryAfterLimitMs)
                                   : BackOffMs[next - 1];
    if (g_retryBackOffOverrideMs > 0 && waitMs > g_retryBackOffOverrideMs) waitMs = g_retryBackOffOverrideMs;
    return waitMs;
}

bool DownloadEntry(QueuedEntry *queued, char *buffer) {
    Attempt attempt;
    attempt.queued = queued;
    attempt.buffer = buffer;
    attempt.hash = nullptr;
    if (!IsFetchableUrl(queued->entry.sourceUrl)) return Fail(queued, "not an http or https URL");
    if (!BuildTemporaryPath(queued->localPath, attempt.partPath) ||
        !BuildResumeRecordPath(queued->localPath, attempt.recordPath))
        return Fail(queued, "no room for a temporary name");
    CreateParentDirectories(queued->localPath);
    for (int tried = 1;; tried++) {
        AttemptResult result = RunAttempt(&attempt);
        if (result == AttemptDone) return true;
        if (result == AttemptFailed || tried == DownloadAttempts) return false;
        SleepMs(BackOffBefore(tried, attempt.retryAfterMs));
    }
}

void RemoveDownloadLeftovers(const WideChar *localPath) {
    WideChar path[TemporaryPathUnits];
    if (BuildTemporaryPath(localPath, path) && PathEntryExists(path)) RemoveFile(path);
    if (BuildResumeRecordPath(localPath, path) && PathEntryExists(path)) RemoveFile(path);
}

bool AddFileToSha256(const WideChar *path, int64_t bytes, Sha256Run *run, char *buffer,
                     std::atomic<int64_t> *bytesRead) {
    FileHandle file = OpenFileForReading(path);
    if (file == NoFile) return false;
    int64_t done = 0;
    bool whole = true;
    while (done < bytes) {
        int64_t left = bytes - done;
        int got = ReadFromFile(file, buffer, left < TransferBufferBytes ? int(left) : TransferBufferBytes);
        if (got <= 0) {
            whole = false;
            break;
        }
        Sha256Add(run, buffer, size_t(got));
        done += got;
        if (bytesRead != nullptr) *bytesRead = done;
    }
    CloseFile(file);
    return whole;
}

bool FileHasManifestHash(QueuedEntry *queued, char *buffer) {
    Sha256Run *run = Sha256Begin();
    if (run == nullptr) return false;
    uint8_t digest[Sha256Bytes];
    bool read = AddFileToSha256(queued->localPath, queued->entry.expectedSize, run, buffer, &queued->bytesOnDisk);
    if (!read) {
        Sha256Abandon(run);
        return false;
    }
    // A file that grew while it was read is not the one that was hashed.
    int64_t size = -1;
    bool sameSize = LocalFileSize(queued->localPath, &size) && size == queued->entry.expectedSize;
    return Sha256End(run, digest) && sameSize && memcmp(digest, queued->entry.sha256, Sha256Bytes) == 0;
}
