// One file's download, with retries and resuming. Platform-neutral.
// A body goes to the file's temporary, which is always created anew and
// exclusively, so no two writers ever share one. When the response names a
// validator (a strong ETag, else Last-Modified), a small resume record
// beside the temporary keeps it with the manifest's size, written before
// the first body byte; so whenever a body stops (a failure after the
// retries, the window closed, Ctrl+C, a crash, kill -9), the next attempt in
// this pass or a later one asks for the rest only: "Range: bytes=N-" with
// "If-Range" and the validator. What the answer means is ClassifyAnswer's
// decision (patch/plan); this file carries it out. A failure that may pass
// gets up to three attempts in all, 1 s then 2 s apart, or after the
// server's Retry-After (at most 30 s). Files under 256 KiB get no resume
// record: they are fetched whole again. A kept part is used
// only when it is a plain file of the game folder (the files seam checks
// the open handle), and the size check decides whether the temporary
// replaces the target (with the target's permission bits, and the running
// program's own file set aside first where the system wants that).
// An entry with a SHA-256 in the manifest is hashed as its body is written
// (a resumed body: the kept part first, read through the same handle), so
// the digest covers the whole file when the last byte is there; a body
// whose digest differs never replaces the target.
#include "patch/download.h"

#include <cstdio>
#include <cstring>

#include "patch/delta_build.h"
#include "patch/rate_cap.h"
#include "patch/temporary.h"
#include "platform/clock.h"
#include "platform/crypto.h"
#include "platform/files.h"
#include "platform/http.h"
#include "platform/test_hooks.h"

constexpr int BackOffMs[DownloadAttempts - 1] = {1000, 2000};
constexpr int ResumeRecordBytes = 512;
static const char ResumeRecordHead[] = "launcher-partial 1\n";

static_assert(Sha256Bytes == Sha256DigestBytes, "one digest size");
static const char HashDiffersText[] = "SHA-256 differs from the manifest";
static const char NoHashText[] = "SHA-256 could not be computed";

enum AttemptResult { AttemptDone, AttemptAgain, AttemptFailed };

// One download's working set across its attempts. The temporary's handle
// lives here and nowhere else: opened by KeepPart or StartPart, closed by
// ClosePart.
struct Download {
    QueuedEntry *queued;
    char *buffer;                             // TransferBufferBytes
    WideChar url[RequestUrlUnits];            // what is asked for, as both builds send it
    WideChar partPath[TemporaryPathUnits];    // the temporary holding the body so far
    WideChar recordPath[TemporaryPathUnits];  // its resume record
    bool recordOnDisk;                        // a resume record may be at recordPath (false: known absent)
    FileHandle part;                          // the temporary, while an attempt has it open
    int64_t have;                             // bytes of the body in it
    char validator[HttpValidatorBytes];       // the version those bytes are of ("" none)
    Sha256Run *hash;                          // the body's digest so far, when the manifest gives one
    int64_t waitMs;                           // before the next attempt; -1 the usual back-off
};

static AttemptResult Fail(Download *download, AttemptResult result, const char *why) {
    snprintf(download->queued->failure, FailureTextBytes, "%s", why);
    return result;
}

// Removes the resume record, unless it is known to be absent.
static void RemoveRecord(Download *download) {
    if (download->recordOnDisk) RemoveFile(download->recordPath);
    download->recordOnDisk = false;
}

// Parses "launcher-partial 1\nsize N\nvalidator V\n": the size the body
// was begun for and the validator of its version. Learns on the way
// whether a record is there at all (most often not).
static bool ReadResumeRecord(Download *download, int64_t *size, char *validator) {
    char text[ResumeRecordBytes];
    int bytes = ReadSmallFile(download->recordPath, text, ResumeRecordBytes);
    download->recordOnDisk = bytes != NothingAtPath;
    if (bytes < 0) return false;
    size_t headBytes = sizeof ResumeRecordHead - 1;
    if (strncmp(text, ResumeRecordHead, headBytes) != 0 || strncmp(text + headBytes, "size ", 5) != 0) return false;
    *size = ParseInt64LikeAtoi64(text + headBytes + 5);
    const char *value = strstr(text, "\nvalidator ");
    if (value == nullptr) return false;
    value += 11;
    const char *end = strchr(value, '\n');
    if (end == nullptr || end == value || end - value >= HttpValidatorBytes) return false;
    memcpy(validator, value, size_t(end - value));
    validator[end - value] = 0;
    return true;
}

// Written before the body's first byte. It needs no flush of its own: after
// a crash, a body without its record is only discarded, and a record whose
// body lost its tail is gone on with from what is there. Failure only means
// no resuming later.
static void WriteResumeRecord(Download *download, int64_t size, const char *validator) {
    const WideChar *path = download->recordPath;
    char text[ResumeRecordBytes];
    int length = snprintf(text, sizeof text, "%ssize %lld\nvalidator %s\n", ResumeRecordHead,
                          static_cast<long long>(size), validator);
    RemoveRecord(download);
    FileHandle file = CreateFileForWriting(path);
    download->recordOnDisk = file != NoFile;
    if (file == NoFile) return;
    bool written = length > 0 && length < int(sizeof text) && WriteToFile(file, text, length);
    CloseFile(file);
    if (!written) RemoveRecord(download);
}

static void ClosePart(Download *download) {
    if (download->part != NoFile) CloseFile(download->part);
    download->part = NoFile;
}

// Creates every folder on the way to the file below the game folder (which
// exists). Failures are not reported: the file creation that follows fails
// instead.
static void CreateParentDirectories(const QueuedEntry *queued) {
    WideChar folder[LocalPathUnits];
    CopyText(folder, LocalPathUnits, queued->localPath);
    for (int i = queued->gameFolderUnits + 1; folder[i] != 0; i++) {
        if (folder[i] != PathSeparator) continue;
        folder[i] = 0;
        CreateFolder(folder);
        folder[i] = PathSeparator;
    }
}

// Forgets the kept part: closed, its record removed. Its bytes stay for
// CreatePart to replace.
static void ForgetPart(Download *download) {
    ClosePart(download);
    download->have = 0;
    download->validator[0] = 0;
    RemoveRecord(download);
}

// Creates the temporary anew. What an earlier run left at its name is
// removed, and missing folders on the way made, only when the creation
// fails: a fresh download costs one system call here.
static bool CreatePart(Download *download) {
    download->part = CreateFileForWriting(download->partPath);
    if (download->part != NoFile) return true;
    RemoveFile(download->partPath);
    CreateParentDirectories(download->queued);
    download->part = CreateFileForWriting(download->partPath);
    return download->part != NoFile;
}

// Drops the kept part and its record, whatever they are (a link goes, not
// what it names; under Wine a dangling link is not seen to exist, so the
// removal is not asked first).
static void DiscardPart(Download *download) {
    ForgetPart(download);
    RemoveFile(download->partPath);
}

// Starts the digest of a body over again (nothing when the manifest gives
// no hash); false when the library cannot start one.
static bool RestartHash(Download *download) {
    Sha256Abandon(download->hash);
    download->hash = nullptr;
    if (!download->queued->entry.hasSha256) return true;
    download->hash = Sha256Begin();
    return download->hash != nullptr;
}

// Feeds the kept part to the digest through its own handle, from its start:
// false when it cannot be read to the end.
static bool HashKeptPart(Download *download) {
    int64_t done = 0;
    while (done < download->have) {
        int64_t left = download->have - done;
        int got = ReadFromFile(download->part, download->buffer,
                               left < TransferBufferBytes ? int(left) : TransferBufferBytes);
        if (got <= 0) return false;
        Sha256Add(download->hash, download->buffer, size_t(got));
        done += got;
        download->queued->bytesOnDisk = done;
    }
    return true;
}

// Opens what an earlier attempt or run kept, when it can be gone on with:
// a record for this size, and a part that is a plain file of its own,
// shorter than the file. Anything else is dropped and the body starts over.
static void KeepPart(Download *download) {
    if (!download->recordOnDisk) return;  // nothing kept (CreatePart drops a part without its record)
    int64_t recordSize = -1, size = -1;
    char validator[HttpValidatorBytes] = "";
    int64_t expectedSize = download->queued->entry.expectedSize;
    if (download->part == NoFile && ReadResumeRecord(download, &recordSize, validator) &&
        recordSize == expectedSize)
        download->part = OpenFileForAppending(download->partPath);
    if (download->part != NoFile && LocalFileSize(download->partPath, &size) && size > 0 && size < expectedSize) {
        download->have = size;
        download->queued->bytesKept = size;
        snprintf(download->validator, HttpValidatorBytes, "%s", validator);
        if (download->hash == nullptr || HashKeptPart(download)) return;
    }
    DiscardPart(download);
}

// Creates the temporary for a whole body in place of whatever is at its
// name, and its resume record when the body is worth resuming.
static bool StartPart(Download *download, const HttpResponseInfo *info) {
    ForgetPart(download);
    if (!RestartHash(download) || !CreatePart(download)) return false;
    const char *chosen = info->etag[0] != 0 && strncmp(info->etag, "W/", 2) != 0 ? info->etag : info->lastModified;
    int64_t expectedSize = download->queued->entry.expectedSize;
    if (chosen[0] != 0 && expectedSize >= ResumableBytes) WriteResumeRecord(download, expectedSize, chosen);
    return true;
}

// A body's read failed: another attempt when the failure may pass.
static AttemptResult FailedRead(Download *download, HttpRequest *request) {
    AnswerFacts facts = {false, HttpReadFailure(request), nullptr, 0, "", download->queued->entry.expectedSize};
    AnswerVerdict verdict = ClassifyAnswer(&facts);
    return Fail(download, verdict.action == AnswerRetry ? AttemptAgain : AttemptFailed, verdict.reason);
}

// Streams the body into the part after the bytes already there. Done only
// when the body is complete: no transport error, the announced
// Content-Length met, and exactly the manifest's size in all (reading
// stops as soon as it is exceeded). A body that broke off may be resumed;
// one of a wrong size, or a file that cannot be written, may not.
static AttemptResult CopyBody(Download *download, HttpRequest *request, int64_t contentLength) {
    int64_t expectedSize = download->queued->entry.expectedSize;
    int64_t received = 0;
    download->queued->bytesKept = download->have;
    download->queued->bytesOnDisk = download->have;
    for (;;) {
        int count = 0;
        if (!HttpRead(request, download->buffer, TransferBufferBytes, &count)) return FailedRead(download, request);
        if (count == 0) break;
        if (download->have + received + count > expectedSize)
            return Fail(download, AttemptFailed, "size mismatch: the body is larger than the manifest says");
        if (!WriteToFile(download->part, download->buffer, count))
            return Fail(download, AttemptFailed, "the file could not be written (disk full?)");
        if (download->hash != nullptr) Sha256Add(download->hash, download->buffer, size_t(count));
        received += count;
        download->queued->bytesOnDisk = download->have + received;
        PaceReceivedBytes(count);
    }
    if (contentLength >= 0 && received != contentLength)
        return Fail(download, AttemptAgain, "the connection broke before the body's end");
    if (download->have + received != expectedSize)
        return Fail(download, AttemptFailed, "size mismatch: the body is smaller than the manifest says");
    return AttemptDone;
}

// Asks for the file (the rest of it, with a kept part) and carries out what
// the answer calls for.
static AttemptResult Exchange(Download *download, HttpRoot *root) {
    HttpRequestOptions options = {download->have > 0 ? download->have : -1,
                                  download->have > 0 ? download->validator : nullptr, 0};
    HttpResponseInfo info;
    AnswerFacts facts = {true, HttpOk, &info, download->have, download->validator,
                         download->queued->entry.expectedSize};
    HttpRequest *request = HttpOpenUrlWith(root, download->url, &options, &info, &facts.failure);
    facts.answered = request != nullptr;
    if (facts.answered && info.multiplexed) WidenTransfers();
    AnswerVerdict verdict = ClassifyAnswer(&facts);
    AttemptResult result = AttemptFailed;
    switch (verdict.action) {
    case AnswerWhole:
        result = StartPart(download, &info) ? CopyBody(download, request, info.contentLength)
                                            : Fail(download, AttemptFailed, "the temporary file could not be created");
        break;
    case AnswerResume: result = CopyBody(download, request, info.contentLength); break;
    case AnswerStartOver:
        DiscardPart(download);
        result = Fail(download, AttemptAgain, verdict.reason);
        break;
    case AnswerRetry:
        download->waitMs = verdict.waitMs;
        result = Fail(download, AttemptAgain, verdict.reason);
        break;
    case AnswerFail: result = Fail(download, AttemptFailed, verdict.reason); break;
    }
    if (request != nullptr) HttpCloseRequest(request);
    return result;
}

// Whether the finished body's digest is the manifest's. A resumed body that
// differs may owe it to the part kept from before (the disk, or a server
// that sent another version under the same validator): it is dropped and
// the next attempt fetches the file whole. A whole body that differs is final.
static AttemptResult CheckBodyHash(Download *download, int64_t resumedFrom) {
    uint8_t digest[Sha256Bytes];
    bool ended = Sha256End(download->hash, digest);
    download->hash = nullptr;
    if (ended && memcmp(digest, download->queued->entry.sha256, Sha256Bytes) == 0) return AttemptDone;
    if (!ended) return Fail(download, AttemptFailed, NoHashText);
    if (resumedFrom == 0) return Fail(download, AttemptFailed, HashDiffersText);
    DiscardPart(download);
    return Fail(download, AttemptAgain, HashDiffersText);
}

// Whether localPath is the running program's own file, however either is
// spelled.
static bool IsRunningProgram(const WideChar *localPath) {
    struct Self {
        WideChar path[LocalPathUnits];
        bool known;
    };
    static const Self self = [] {  // asked once per process, not per file
        Self found;
        found.known = ExecutablePath(found.path, LocalPathUnits) > 0;
        return found;
    }();
    return self.known && SameFileAt(localPath, self.path);
}

// Moves the temporary over the target, leaving the folder's sync to the
// pass (once per folder, not per file). The running program's own file is
// set aside first where the system wants that (Windows), durably; the
// process goes on with its old code and its next start runs the new one.
// Where the pass found no file, there is no program to ask about.
static bool ReplaceTarget(Download *download) {
    const WideChar *target = download->queued->localPath;
    if (!download->queued->stamped || !IsRunningProgram(target))
        return download->queued->installed = MoveIntoPlace(download->partPath, target);
    WideChar aside[TemporaryPathUnits];
    return BuildSetAsidePath(target, aside) && ReplaceRunningProgram(download->partPath, target, aside);
}

// Puts a complete body in place: on the disk before the rename, so a power
// cut never leaves the target empty.
static AttemptResult InstallPart(Download *download) {
    bool flushed = FlushFile(download->part);
    ClosePart(download);
    if (!flushed) return Fail(download, AttemptFailed, "the file could not be flushed to the disk");
    AttemptResult result = AttemptDone;
    if (!ReplaceTarget(download)) result = Fail(download, AttemptFailed, "the file could not be replaced");
    RemoveRecord(download);
    return result;
}

static AttemptResult RunAttempt(Download *download) {
    download->waitMs = -1;
    if (!RestartHash(download)) return Fail(download, AttemptFailed, NoHashText);
    KeepPart(download);
    HttpRoot *root = HttpOpenRoot();
    if (root == nullptr) {
        ClosePart(download);
        return Fail(download, AttemptAgain, "no HTTP session");
    }
    int64_t resumedFrom = download->have;
    AttemptResult result = Exchange(download, root);
    HttpCloseRoot(root);
    if (result == AttemptDone && download->hash != nullptr) result = CheckBodyHash(download, resumedFrom);
    Sha256Abandon(download->hash);
    download->hash = nullptr;
    if (result == AttemptDone) result = InstallPart(download);
    if (result == AttemptDone) return result;
    // A body that cannot be gone on with is not kept: after a final failure,
    // or when nothing (or nothing resumable) arrived.
    if (download->part != NoFile && !FlushFile(download->part)) result = AttemptFailed;
    ClosePart(download);
    int64_t size = 0;
    bool worthKeeping = download->recordOnDisk && LocalFileSize(download->partPath, &size) && size > 0;
    if (result == AttemptFailed || !worthKeeping) DiscardPart(download);
    download->have = 0;
    return result;
}

int64_t BackOffBefore(int next, int64_t retryAfterMs) {
    int64_t waitMs = retryAfterMs >= 0 ? retryAfterMs : BackOffMs[next - 1];
    if (g_retryBackOffOverrideMs > 0 && waitMs > g_retryBackOffOverrideMs) waitMs = g_retryBackOffOverrideMs;
    return waitMs;
}

// ---------------------------------------------------------------------------
// A large file built from its old copy (patch/delta, patch/delta_build):
// the old copy's chunks are copied, the missing ones fetched in ranges, and
// the whole lands in the download's temporary. Anything that makes the
// plan unusable (no index, a server that ignores ranges or answers another
// range, a result whose digest differs) leaves the file to the whole
// download, silently; a range whose transfer keeps failing fails the file
// as a whole download would. While it runs, the bytes the old copy spares
// count as kept, so the pass's totals show the bytes that travel.

// Writes the new file into a fresh temporary by the plan and checks its
// digest; the old copy stays open for reading meanwhile.
static DeltaResult BuildFromPlan(Download *download, FileHandle old, const DeltaPiece *pieces, uint32_t count) {
    ForgetPart(download);
    if (!CreatePart(download)) return DeltaUnusable;
    DeltaTarget target = {download->queued, download->url, download->part, old, download->buffer};
    uint8_t digest[Sha256Bytes];
    DeltaResult result = BuildDeltaPieces(&target, pieces, count, digest);
    if (result == DeltaBuilt && memcmp(digest, download->queued->entry.sha256, Sha256Bytes) != 0) result = DeltaUnusable;
    return result;
}

// Plans the pieces of the new file from its index and the old copy's chunks
// and builds it; the old copy's bytes that need not travel count as kept.
static DeltaResult PlanAndBuild(Download *download, FileHandle old, int64_t oldSize, const FetchedIndex *index) {
    ChunkRecord *oldChunks = nullptr;
    uint32_t oldCount = 0;
    uint8_t *cutBuffer = static_cast<uint8_t *>(malloc(ChunkBufferBytes));
    bool cut = cutBuffer != nullptr && CutOldCopy(old, oldSize, cutBuffer, &oldChunks, &oldCount);
    free(cutBuffer);
    if (!cut) return DeltaUnusable;
    uint32_t wanted = index->header.chunkCount;
    DeltaPiece *pieces = static_cast<DeltaPiece *>(malloc(sizeof(DeltaPiece) * (wanted + 1)));
    uint32_t count = pieces != nullptr
                         ? PlanDeltaPieces(index->records, wanted, oldChunks, oldCount, DeltaMergeGapBytes, pieces)
                         : 0;
    free(oldChunks);
    DeltaResult result = DeltaUnusable;
    if (pieces != nullptr) {
        download->queued->bytesKept = download->queued->entry.expectedSize - DeltaFetchBytes(pieces, count);
        download->queued->bytesOnDisk = download->queued->bytesKept.load();
        result = BuildFromPlan(download, old, pieces, count);
    }
    free(pieces);
    return result;
}

// Whether the file may be built from the copy at its path: a large file
// with a SHA-256 in the manifest, a large old copy, and no partial body a
// whole download would go on with.
static bool HasUsableOldCopy(const Download *download, int64_t *oldSize) {
    const ManifestEntry *entry = &download->queued->entry;
    return entry->hasSha256 && entry->expectedSize >= ChunkedFileMinBytes &&
           !download->recordOnDisk && LocalFileSize(download->queued->localPath, oldSize) &&
           *oldSize >= ChunkedFileMinBytes;
}

static DeltaResult PatchFromOldCopy(Download *download) {
    int64_t oldSize = 0;
    if (!HasUsableOldCopy(download, &oldSize)) return DeltaUnusable;
    const ManifestEntry *entry = &download->queued->entry;
    FetchedIndex index;
    if (!FetchChunkIndex(entry->sourceUrl, entry->expectedSize, entry->sha256, &index)) return DeltaUnusable;
    FileHandle old = OpenFileForReading(download->queued->localPath);
    DeltaResult result = old != NoFile ? PlanAndBuild(download, old, oldSize, &index) : DeltaUnusable;
    free(index.records);
    if (old != NoFile) CloseFile(old);
    if (result == DeltaBuilt) result = InstallPart(download) == AttemptDone ? DeltaBuilt : DeltaFailed;
    if (result != DeltaBuilt) DiscardPart(download);
    if (result == DeltaUnusable) {  // the whole download starts from nothing
        download->queued->failure[0] = 0;
        download->queued->bytesKept = 0;
        download->queued->bytesOnDisk = 0;
    }
    return result;
}

const char *PrepareDownloadUrl(const WideChar *sourceUrl, WideChar *out) {
    if (!IsFetchableUrl(sourceUrl)) return "not an http or https URL";
    HttpUrlVerdict verdict = PrepareRequestUrl(sourceUrl, out, RequestUrlUnits);
    return verdict == HttpUrlReady ? nullptr : RequestUrlRefusal(verdict);
}

bool DownloadEntry(QueuedEntry *queued, char *buffer) {
    static Download blank;
    Download download = blank;
    download.queued = queued;
    download.buffer = buffer;
    download.part = NoFile;
    const char *refusal = PrepareDownloadUrl(queued->entry.sourceUrl, download.url);
    if (refusal != nullptr) return Fail(&download, AttemptFailed, refusal) == AttemptDone;
    if (!BuildTemporaryPath(queued->localPath, download.partPath) ||
        !BuildResumeRecordPath(queued->localPath, download.recordPath))
        return Fail(&download, AttemptFailed, "no room for a temporary name") == AttemptDone;
    int64_t ignoredSize = 0;
    char ignoredValidator[HttpValidatorBytes];
    ReadResumeRecord(&download, &ignoredSize, ignoredValidator);  // whether one is there at all
    DeltaResult delta = PatchFromOldCopy(&download);
    if (delta != DeltaUnusable) return delta == DeltaBuilt;
    for (int tried = 1;; tried++) {
        AttemptResult result = RunAttempt(&download);
        if (result == AttemptDone) return true;
        if (result == AttemptFailed || tried == DownloadAttempts) return false;
        SleepMs(int(BackOffBefore(tried, download.waitMs)));
    }
}

void RemoveSetAsideProgram() {
    WideChar self[LocalPathUnits], aside[TemporaryPathUnits];
    if (ExecutablePath(self, LocalPathUnits) > 0 && BuildSetAsidePath(self, aside)) RemoveFile(aside);
}

void RemoveDownloadLeftovers(const WideChar *localPath) {
    WideChar path[TemporaryPathUnits];
    if (BuildTemporaryPath(localPath, path)) RemoveFile(path);
    if (BuildResumeRecordPath(localPath, path)) RemoveFile(path);
}

// An unlink (DeleteFileW's work) is durable enough: a removal a power cut
// undoes leaves a file the next pass removes again.
bool RemoveListedFile(QueuedEntry *queued) {
    RemoveDownloadLeftovers(queued->localPath);
    if (RemoveFile(queued->localPath) || !PathEntryExists(queued->localPath)) return true;
    snprintf(queued->failure, FailureTextBytes, "%s", "the file could not be removed");
    return false;
}
