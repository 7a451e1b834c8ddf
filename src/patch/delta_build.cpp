// A changed large file built from its old copy and fetched ranges. The
// building worker walks the pieces in file order: it copies the old copy's
// pieces itself, and for each fetched piece waits for its ranges (fetching
// any nobody has taken yet), then reads them back from the temporary to
// hash them. Meanwhile idle workers of the pass take ranges from the front,
// so by the time the walk reaches a range it has usually arrived.
// Every range lands at its own offset (WriteToFileAt), so the order in which
// they arrive does not matter; the digest is always taken in file order.
//
// Divisions: the shared state of one build; fetching one range (the
// exchange, its body, its attempts); taking ranges (the shared work); the
// walk.
#include "patch/delta_build.h"

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "patch/download.h"
#include "patch/rate_cap.h"
#include "platform/clock.h"
#include "platform/crypto.h"
#include "platform/files.h"
#include "platform/http.h"

// ---------------------------------------------------------------------------
// The shared state of one build.

enum RangeState : uint8_t { RangeOpen, RangeTaken, RangeArrived, RangeBroken };

struct FetchRange {
    int64_t offset;
    int64_t length;
    RangeState state;
};

// What the building worker and its helpers share. ranges and states are
// guarded by lock; a change of state is announced on settled.
struct RangeBuild {
    const DeltaTarget *target;
    FetchRange *ranges;   // every fetched piece cut into ranges, in file order
    uint32_t rangeCount;
    std::mutex lock;
    std::condition_variable settled;
    uint32_t nextOpen;    // no open range before this one
    bool stopping;        // a range broke: no more are taken
    DeltaResult broken;   // what the first broken range means (DeltaUnusable or DeltaFailed)
    char why[FailureTextBytes];
};

// Cuts every fetched piece into ranges of at most DeltaRangeMaxBytes: a
// heap block (free it), nullptr when it cannot be had.
static FetchRange *CutIntoRanges(const DeltaPiece *pieces, uint32_t count, uint32_t *rangeCount) {
    uint32_t total = 0;
    for (uint32_t i = 0; i < count; i++)
        if (pieces[i].oldOffset < 0) total += uint32_t((pieces[i].length + DeltaRangeMaxBytes - 1) / DeltaRangeMaxBytes);
    FetchRange *ranges = static_cast<FetchRange *>(malloc(sizeof(FetchRange) * (total + 1)));
    if (ranges == nullptr) return nullptr;
    uint32_t n = 0;
    for (uint32_t i = 0; i < count; i++) {
        if (pieces[i].oldOffset >= 0) continue;
        for (int64_t done = 0; done < pieces[i].length; done += DeltaRangeMaxBytes) {
            int64_t left = pieces[i].length - done;
            ranges[n++] = FetchRange{pieces[i].offset + done, left < DeltaRangeMaxBytes ? left : DeltaRangeMaxBytes,
                                     RangeOpen};
        }
    }
    *rangeCount = n;
    return ranges;
}

// ---------------------------------------------------------------------------
// Fetching one range: up to DownloadAttempts requests, each for what is
// still missing of it.

enum RangeAttempt { RangeDone, RangeAgain, RangeRefused };

// One fetcher's working set: its buffer, the reason of its last failure
// and the wait its server asked for.
struct RangeFetcher {
    RangeBuild *build;
    char *buffer;
    char why[FailureTextBytes];
    int64_t waitMs;
};

static RangeAttempt Refuse(RangeFetcher *fetcher, RangeAttempt result, const char *why) {
    snprintf(fetcher->why, FailureTextBytes, "%s", why);
    return result;
}

// Whether an answer to a range request is exactly the range asked for.
static bool IsRangeAsked(const HttpResponseInfo *info, int64_t from, int64_t bytes, int64_t fileSize) {
    return info->status == 206 && info->rangeFirst == from && info->rangeLast == from + bytes - 1 &&
           info->rangeTotal == fileSize && (info->contentLength < 0 || info->contentLength == bytes);
}

// Reads a range's body into the temporary at its place, on from *got.
static RangeAttempt ReadRangeBody(RangeFetcher *fetcher, HttpRequest *request, const FetchRange *range,
                                  int64_t *got) {
    const DeltaTarget *target = fetcher->build->target;
    for (;;) {
        int count = 0;
        if (!HttpRead(request, fetcher->buffer, TransferBufferBytes, &count)) {
            AnswerFacts facts = {false, HttpReadFailure(request), nullptr, 0, "", target->queued->entry.expectedSize};
            AnswerVerdict verdict = ClassifyAnswer(&facts);
            return Refuse(fetcher, verdict.action == AnswerRetry ? RangeAgain : RangeRefused, verdict.reason);
        }
        if (count == 0) break;
        if (*got + count > range->length ||
            !WriteToFileAt(target->part, range->offset + *got, fetcher->buffer, count))
            return Refuse(fetcher, RangeRefused, "the range could not be written");
        *got += count;
        target->queued->bytesOnDisk += count;
        PaceReceivedBytes(count);
    }
    return *got == range->length ? RangeDone : Refuse(fetcher, RangeAgain, "the connection broke before the range's end");
}

// One request for what is still missing of a range. An answer other than
// exactly that range (a 200 with the whole file, another range) refuses
// ranges for this file.
static RangeAttempt ExchangeRange(RangeFetcher *fetcher, HttpRoot *root, const FetchRange *range, int64_t *got) {
    const DeltaTarget *target = fetcher->build->target;
    HttpRequestOptions options = {range->offset + *got, nullptr, range->length - *got};
    HttpResponseInfo info;
    AnswerFacts facts = {true, HttpOk, &info, 0, "", target->queued->entry.expectedSize};
    HttpRequest *request = HttpOpenUrlWith(root, target->url, &options, &info, &facts.failure);
    facts.answered = request != nullptr;
    RangeAttempt result = RangeRefused;
    if (facts.answered && IsRangeAsked(&info, options.rangeFrom, options.rangeBytes, facts.expectedSize)) {
        result = ReadRangeBody(fetcher, request, range, got);
    } else {
        AnswerVerdict verdict = ClassifyAnswer(&facts);
        fetcher->waitMs = verdict.waitMs;
        result = Refuse(fetcher, verdict.action == AnswerRetry ? RangeAgain : RangeRefused, verdict.reason);
    }
    if (request != nullptr) HttpCloseRequest(request);
    return result;
}

// Fetches range number index (taken by the caller) and settles its state:
// arrived, or broken with what that means for the file.
static void FetchRangeAt(RangeFetcher *fetcher, HttpRoot *root, uint32_t index) {
    RangeBuild *build = fetcher->build;
    const FetchRange *range = &build->ranges[index];
    int64_t got = 0;
    RangeAttempt result = RangeRefused;
    DeltaResult meaning = DeltaUnusable;
    for (int tried = 1; root != nullptr; tried++) {
        fetcher->waitMs = -1;
        result = ExchangeRange(fetcher, root, range, &got);
        if (result != RangeAgain) break;
        if (tried == DownloadAttempts) {
            meaning = DeltaFailed;
            break;
        }
        SleepMs(int(BackOffBefore(tried, fetcher->waitMs)));
    }
    if (root == nullptr) Refuse(fetcher, RangeRefused, "no HTTP session");
    std::lock_guard<std::mutex> hold(build->lock);
    build->ranges[index].state = result == RangeDone ? RangeArrived : RangeBroken;
    if (result != RangeDone && !build->stopping) {
        build->stopping = true;
        build->broken = meaning;
        snprintf(build->why, FailureTextBytes, "%s", fetcher->why);
    }
    build->settled.notify_all();
}

// ---------------------------------------------------------------------------
// Taking ranges: the first open range goes to whoever asks.

// Takes the first open range (marking it taken); -1 when none is open or
// the build is stopping. Caller holds the lock.
static int64_t TakeOpenRange(RangeBuild *build) {
    if (build->stopping) return -1;
    while (build->nextOpen < build->rangeCount && build->ranges[build->nextOpen].state != RangeOpen)
        build->nextOpen++;
    if (build->nextOpen == build->rangeCount) return -1;
    build->ranges[build->nextOpen].state = RangeTaken;
    return build->nextOpen++;
}

// The shared work a helper does: one range per call, over a session of its own.
static bool FetchOfferedRange(void *context, char *buffer) {
    RangeBuild *build = static_cast<RangeBuild *>(context);
    int64_t index;
    {
        std::lock_guard<std::mutex> hold(build->lock);
        index = TakeOpenRange(build);
    }
    if (index < 0) return false;
    RangeFetcher fetcher = {build, buffer, "", -1};
    HttpRoot *root = HttpOpenRoot();
    FetchRangeAt(&fetcher, root, uint32_t(index));
    if (root != nullptr) HttpCloseRoot(root);
    return true;
}

// ---------------------------------------------------------------------------
// The walk, in file order.

// Writes an old copy's piece at its place and hashes it.
static DeltaResult CopyOldPiece(const DeltaTarget *target, const DeltaPiece *piece, Sha256Run *hash) {
    for (int64_t done = 0; done < piece->length;) {
        int64_t left = piece->length - done;
        int want = left < TransferBufferBytes ? int(left) : TransferBufferBytes;
        int got = ReadFromFileAt(target->old, piece->oldOffset + done, target->buffer, want);
        if (got <= 0) return DeltaUnusable;  // the old copy changed under us: fetch the file whole
        if (!WriteToFileAt(target->part, piece->offset + done, target->buffer, got)) {
            snprintf(target->queued->failure, FailureTextBytes, "%s", "the file could not be written (disk full?)");
            return DeltaFailed;
        }
        Sha256Add(hash, target->buffer, size_t(got));
        done += got;
    }
    return DeltaBuilt;
}

// Waits until range number index has arrived, fetching it first when
// nobody took it yet; false when it (or another range) broke.
static bool AwaitRange(RangeBuild *build, RangeFetcher *self, HttpRoot *root, uint32_t index) {
    std::unique_lock<std::mutex> hold(build->lock);
    if (!build->stopping && build->ranges[index].state == RangeOpen) {
        build->ranges[index].state = RangeTaken;
        hold.unlock();
        FetchRangeAt(self, root, index);
        hold.lock();
    }
    build->settled.wait(hold, [&] { return build->stopping || build->ranges[index].state == RangeArrived; });
    return build->ranges[index].state == RangeArrived;
}

// Reads an arrived range back from the temporary into the digest.
static bool HashArrivedRange(const DeltaTarget *target, const FetchRange *range, Sha256Run *hash) {
    for (int64_t done = 0; done < range->length;) {
        int64_t left = range->length - done;
        int want = left < TransferBufferBytes ? int(left) : TransferBufferBytes;
        int got = ReadFromFileAt(target->part, range->offset + done, target->buffer, want);
        if (got <= 0) return false;
        Sha256Add(hash, target->buffer, size_t(got));
        done += got;
    }
    return true;
}

// Walks the pieces; fetched pieces are the next ranges in order.
static DeltaResult WalkPieces(RangeBuild *build, const DeltaPiece *pieces, uint32_t count, Sha256Run *hash) {
    const DeltaTarget *target = build->target;
    RangeFetcher self = {build, target->buffer, "", -1};
    HttpRoot *root = HttpOpenRoot();
    uint32_t next = 0;
    DeltaResult result = DeltaBuilt;
    for (uint32_t i = 0; i < count && result == DeltaBuilt; i++) {
        if (pieces[i].oldOffset >= 0) {
            result = CopyOldPiece(target, &pieces[i], hash);
            continue;
        }
        for (int64_t end = pieces[i].offset + pieces[i].length; result == DeltaBuilt && next < build->rangeCount &&
                                                                 build->ranges[next].offset < end;
             next++) {
            if (!AwaitRange(build, &self, root, next)) {
                result = build->broken;  // settled for good once a range broke
                if (result == DeltaFailed) snprintf(target->queued->failure, FailureTextBytes, "%s", build->why);
            } else if (!HashArrivedRange(target, &build->ranges[next], hash)) result = DeltaUnusable;
        }
    }
    if (root != nullptr) HttpCloseRoot(root);
    std::lock_guard<std::mutex> hold(build->lock);
    build->stopping = true;  // helpers take nothing more
    return result;
}

DeltaResult BuildDeltaPieces(const DeltaTarget *target, const DeltaPiece *pieces, uint32_t count,
                             uint8_t digest[Sha256Bytes]) {
    RangeBuild build;
    build.target = target;
    build.nextOpen = 0;
    build.stopping = false;
    build.broken = DeltaUnusable;
    build.why[0] = 0;
    build.ranges = CutIntoRanges(pieces, count, &build.rangeCount);
    Sha256Run *hash = Sha256Begin();
    DeltaResult result = DeltaUnusable;
    if (build.ranges != nullptr && hash != nullptr) {
        bool shared = build.rangeCount > 1 && OfferWork(FetchOfferedRange, &build);
        result = WalkPieces(&build, pieces, count, hash);
        if (shared) WithdrawWork(&build);
    }
    bool ended = Sha256End(hash, digest);
    if (result == DeltaBuilt && !ended) result = DeltaUnusable;
    free(build.ranges);
    return result;
}
