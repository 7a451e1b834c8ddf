// Downloads of a pass on several workers at once, with their results handed
// back in manifest order, so everything the player sees (the reports every
// 16 entries, the counts, the closing message) is exactly what a pass that
// downloads one file after another shows. Platform-neutral over the thread
// seam; one pass at a time uses it.
// The pass puts every entry it has looked at into the queue in order:
// entries that need no download arrive finished; differing ones (and files
// to hash) wait for a worker. The pass takes entries back from the head only once they are
// finished, so an entry's report waits for the entries before it.
#pragma once
#include <atomic>
#include <cstdint>

#include "patch/local_path.h"
#include "patch/manifest.h"
#include "patch/plan.h"
#include "platform/crypto.h"

constexpr int DefaultTransferJobs = 8;  // downloads at once, unless told otherwise
constexpr int MaxTransferJobs = 16;
// Over a connection that carries many requests at once (HTTP/2), jobs
// cost no connection each: a pass of several jobs then runs this many
// times as many downloads at once, up to MaxTransferWorkers.
constexpr int MultiplexedDownloadsPerJob = 16;
constexpr int MaxTransferWorkers = 100;
constexpr int TransferQueueSlots = 256;  // entries held between looking at them and reporting them
constexpr int TransferBufferBytes = 32768;
constexpr int FailureTextBytes = ReasonBytes;

// One entry between the moment the pass looked at it and its report.
struct QueuedEntry {
    ManifestEntry entry;
    WideChar localPath[LocalPathUnits];
    WideChar pathKey[LocalPathUnits];   // localPath as one file (BuildPathKey): entries of one key run in turn
    int gameFolderUnits;                // units of localPath before the manifest's part
    PlanAction action;                  // what the entry calls for (PlanEntry)
    bool differs;                       // counted as differing (a hash that differs sets it too)
    bool failed;                        // the download (or the entry) failed
    char failure[FailureTextBytes];     // why, in a few words, when failed
    char why[ReasonBytes];              // why it differs, when it does (DescribeDifference)
    bool fetches;                       // its bytes count among those to fetch (set before queueing, or CountFetch)
    std::atomic<int64_t> bytesOnDisk;   // of its body so far, while it downloads (any thread reads it)
    std::atomic<int64_t> bytesKept;     // of those, what an earlier attempt or run had kept: not fetched now
    bool installed;                     // moved into place without its folder's sync (MoveIntoPlace):
                                        // the pass syncs the folder (set by the worker)
    FileStamp stamp;                    // of the file at localPath when looked at (or once installed)
    bool stamped;                       // a regular file was at localPath when looked at (so a download
                                        // over nothing there is never over the running program)
    bool hashed;                        // its content's SHA-256 is known for the hash cache: read, or
                                        // checked as it was downloaded (set by the worker)
    uint8_t sha256[Sha256Bytes];        // that SHA-256, when hashed
};

// Whether an entry's plan needs a worker: a download or a hash (a removal
// is the pass's own, quick work).
inline bool NeedsWorker(PlanAction action) {
    return action == PlanDownload || action == PlanVerify || action == PlanVerifyThenDownload;
}

// Downloads queued->entry over queued->localPath with buffer (of
// TransferBufferBytes) and says how it went: true when the file is in
// place; false with queued->failure set otherwise. Runs on any worker.
typedef bool (*TransferFunction)(QueuedEntry *queued, char *buffer);

// Starts up to jobs (1 to MaxTransferJobs) workers that run transfer.
// When none can be started, downloads run on the pass's own thread as
// they are queued.
void StartTransfers(int jobs, TransferFunction transfer);

// A download was answered over a multiplexed connection: from now on the
// pass runs up to jobs x MultiplexedDownloadsPerJob downloads at once
// (MaxTransferWorkers at most), adding workers the first time. Nothing
// for a pass of one job or one whose downloads run on its own thread.
void WidenTransfers();

// A free slot at the tail of the queue, or nullptr while the queue is full
// (take the head back first). Fill it, then hand it over with QueueEntry,
// or leave it unused.
QueuedEntry *NextQueueSlot();
void QueueEntry(QueuedEntry *queued);

// Waits up to timeoutMs for the head of the queue to finish: false when it
// is still running then, true when it finished or the queue is empty.
bool WaitForHead(int timeoutMs);

// The finished entry at the head of the queue, or nullptr when the head is
// not finished yet (or the queue is empty). With wait, waits for the head
// to finish instead (nullptr only for an empty queue). The entry stays
// valid until the next call of TakeFinishedEntry or NextQueueSlot.
QueuedEntry *TakeFinishedEntry(bool wait);

// Whether an entry in the queue, finished or not, has a path key that
// collides with key (PathKeysCollide): the pass then takes entries back
// until none does, so the later entry sees what the earlier one left.
bool PathIsQueued(const WideChar *key);

// Waits for the workers to end; the queue must be empty.
void StopTransfers();

// Work a running download shares with workers that have nothing queued
// (one large file's ranges). Each call does one piece of it with the
// worker's buffer (TransferBufferBytes) and returns true, or returns false
// when nothing is left to take: the offer then gets no more workers.
typedef bool (*SharedWork)(void *context, char *buffer);

// Offers work to idle workers until WithdrawWork(context). False when it
// cannot be shared (no workers, or too many offers already): the caller
// then does all of it itself.
bool OfferWork(SharedWork work, void *context);

// Sends no more workers to the offer of context and waits until those
// doing a piece of it have returned.
void WithdrawWork(void *context);

// Adds bytes (or takes them off, when negative) to those the pass fetches,
// beside the entries that fetch; the pass tells its total this way.
void AddBytesToFetch(int64_t bytes);

// A queued entry that needs its file fetched after all (a hashed file that
// differs): its size joins the bytes to fetch. Called on the worker that
// runs it, before the download.
void CountFetch(QueuedEntry *queued);

// How far the fetching is, on any thread: the bytes that travelled for the
// entries that fetch (finished well and running), the bytes to fetch in
// all (AddBytesToFetch's, less what kept parts spare and what failed
// downloads no longer fetch), and the manifest path of the oldest running
// download into currentFile (RelativePathUnits units; empty when none).
void ReadTransferProgress(int64_t *bytesDone, int64_t *bytesToFetch, WideChar *currentFile);

// How far the oldest file being hashed (and not fetched) is: its manifest
// path into currentFile (RelativePathUnits units), the bytes read and its
// size. False when no file is being hashed.
bool ReadHashProgress(int64_t *bytesRead, int64_t *size, WideChar *currentFile);
