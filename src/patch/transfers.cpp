// Downloads of a pass on several workers, results in manifest order.
// Platform-neutral: the workers are fire-and-forget threads of the thread
// seam; the queue is guarded by one mutex; idle workers wait on one
// condition variable, and the pass (and a download withdrawing its offer)
// on another.
#include "patch/transfers.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>

#include "platform/test_hooks.h"
#include "platform/thread.h"

int g_retryBackOffOverrideMs = 0;

enum SlotState { SlotFree, SlotWaiting, SlotRunning, SlotFinished };

// Work a running download shares (OfferWork): at most one per worker.
struct WorkOffer {
    SharedWork work;   // nullptr: the offer is free
    void *context;
    bool open;         // idle workers may take a piece of it
    int inside;        // workers doing a piece of it now
};

// Everything the queue keeps; one pass at a time.
struct TransferState {
    std::mutex lock;
    std::condition_variable changed;           // a slot finished, a worker ended or did a piece of an offer
    std::condition_variable workArrived;       // for idle workers: an entry waits, work is offered, or the end
                                               // (one worker woken per entry, not all of them)
    // The slots are made in slotStorage when the first pass queues its first
    // entry (NextQueueSlot), not at the program's start: made there, their counters would be written (and
    // their pages brought in) before anything else ran, pass or not.
    QueuedEntry *slots;                        // nullptr until then
    alignas(QueuedEntry) unsigned char slotStorage[TransferQueueSlots * sizeof(QueuedEntry)];
    SlotState states[TransferQueueSlots];
    int head;                                  // oldest slot not yet taken back
    int count;                                 // slots in use from head on
    int nextWaiting;                           // where workers look for work first
    bool stopping;                             // workers end once no work is left
    int workers;                               // workers still running
    TransferFunction transfer;
    int jobs;                                  // as StartTransfers was told
    bool widened;                              // WidenTransfers asked for more workers
    int wanted;                                // workers the pass is to have
    char buffers[MaxTransferWorkers][TransferBufferBytes];
    bool bufferTaken[MaxTransferWorkers];
    char inlineBuffer[TransferBufferBytes];    // for downloads on the pass's thread
    int64_t bytesFetched;                      // of the downloads that finished well (kept parts left out)
    int64_t bytesToFetch;                      // AddBytesToFetch's, less kept parts and failed downloads
    WorkOffer offers[MaxTransferWorkers];
};
static TransferState s_transfers;

// The oldest waiting slot, or -1. Caller holds the lock.
static int OldestWaitingSlot() {
    for (int i = 0; i < s_transfers.count; i++) {
        int slot = (s_transfers.head + i) % TransferQueueSlots;
        if (s_transfers.states[slot] == SlotWaiting) return slot;
    }
    return -1;
}

// Marks a download finished and settles its bytes: a failed one no longer
// fetches, a finished one fetched all but its kept part. Caller holds the
// lock.
static void FinishDownload(int slot) {
    QueuedEntry *queued = &s_transfers.slots[slot];
    int64_t size = queued->entry.expectedSize, kept = queued->bytesKept;
    if (queued->fetches && queued->failed) s_transfers.bytesToFetch -= size;
    if (queued->fetches && !queued->failed) {
        s_transfers.bytesToFetch -= kept;
        s_transfers.bytesFetched += size - kept;
    }
    s_transfers.states[slot] = SlotFinished;
    s_transfers.changed.notify_all();
}

// An offer an idle worker may help with, or -1. Caller holds the lock.
static int OpenOffer() {
    for (int i = 0; i < MaxTransferWorkers; i++)
        if (s_transfers.offers[i].work != nullptr && s_transfers.offers[i].open) return i;
    return -1;
}

// Does one piece of an offer's work with the lock released.
static void HelpWithOffer(int index, char *buffer, std::unique_lock<std::mutex> &hold) {
    WorkOffer *offer = &s_transfers.offers[index];
    offer->inside++;
    hold.unlock();
    bool more = offer->work(offer->context, buffer);
    hold.lock();
    offer->inside--;
    if (!more) offer->open = false;
    s_transfers.changed.notify_all();
}

static void StartOneMoreWorker();

static uint32_t TransferWorkerThread(void *) {
    std::unique_lock<std::mutex> hold(s_transfers.lock);
    // A widened pass grows by each new worker starting two more, so the
    // threads are made beside the downloads rather than before them.
    for (int i = 0; i < 2 && s_transfers.workers < s_transfers.wanted && !s_transfers.stopping; i++)
        StartOneMoreWorker();
    int buffer = 0;
    while (s_transfers.bufferTaken[buffer]) buffer++;
    s_transfers.bufferTaken[buffer] = true;
    for (;;) {
        int slot = OldestWaitingSlot();
        int offer = slot < 0 ? OpenOffer() : -1;
        if (offer >= 0) {
            HelpWithOffer(offer, s_transfers.buffers[buffer], hold);
            continue;
        }
        if (slot < 0) {
            if (s_transfers.stopping) break;
            s_transfers.workArrived.wait(hold);
            continue;
        }
        s_transfers.states[slot] = SlotRunning;
        QueuedEntry *queued = &s_transfers.slots[slot];
        hold.unlock();
        queued->failed = !s_transfers.transfer(queued, s_transfers.buffers[buffer]);
        hold.lock();
        FinishDownload(slot);
    }
    s_transfers.bufferTaken[buffer] = false;
    s_transfers.workers--;
    s_transfers.changed.notify_all();
    return 0;
}

// Starts one more worker; when it cannot start, the pass asks for no more
// than it has. Caller holds the lock.
static void StartOneMoreWorker() {
    s_transfers.workers++;
    if (!StartWorker(TransferWorkerThread)) {
        s_transfers.workers--;
        s_transfers.wanted = s_transfers.workers;  // no more can start
    }
}

void StartTransfers(int jobs, TransferFunction transfer) {
    if (jobs < 1) jobs = 1;
    if (jobs > MaxTransferJobs) jobs = MaxTransferJobs;
    std::lock_guard<std::mutex> hold(s_transfers.lock);
    s_transfers.head = s_transfers.count = 0;
    s_transfers.stopping = false;
    s_transfers.bytesFetched = s_transfers.bytesToFetch = 0;
    s_transfers.transfer = transfer;
    s_transfers.jobs = jobs;
    s_transfers.widened = false;
    s_transfers.wanted = jobs;
    for (int i = 0; i < TransferQueueSlots; i++) s_transfers.states[i] = SlotFree;
    while (s_transfers.workers < s_transfers.wanted) StartOneMoreWorker();
}

void WidenTransfers() {
    std::lock_guard<std::mutex> hold(s_transfers.lock);
    if (s_transfers.widened || s_transfers.stopping || s_transfers.jobs < 2 || s_transfers.workers == 0) return;
    s_transfers.widened = true;
    int wide = s_transfers.jobs * MultiplexedDownloadsPerJob;
    s_transfers.wanted = wide < MaxTransferWorkers ? wide : MaxTransferWorkers;
    if (s_transfers.workers < s_transfers.wanted) StartOneMoreWorker();
}

QueuedEntry *NextQueueSlot() {
    std::lock_guard<std::mutex> hold(s_transfers.lock);
    if (s_transfers.slots == nullptr) {  // the first entry of the first pass: every slot is made
        for (int i = 0; i < TransferQueueSlots; i++) new (s_transfers.slotStorage + i * sizeof(QueuedEntry)) QueuedEntry;
        s_transfers.slots = reinterpret_cast<QueuedEntry *>(s_transfers.slotStorage);
    }
    if (s_transfers.count == TransferQueueSlots) return nullptr;
    int slot = (s_transfers.head + s_transfers.count) % TransferQueueSlots;
    return &s_transfers.slots[slot];
}

void QueueEntry(QueuedEntry *queued) {
    std::unique_lock<std::mutex> hold(s_transfers.lock);
    int slot = int(queued - s_transfers.slots);
    s_transfers.count++;
    queued->installed = false;
    if (!NeedsWorker(queued->action)) {
        s_transfers.states[slot] = SlotFinished;
        return;
    }
    queued->bytesOnDisk = 0;
    queued->bytesKept = 0;
    if (s_transfers.workers > 0) {
        s_transfers.states[slot] = SlotWaiting;
        s_transfers.workArrived.notify_one();
        return;
    }
    // No worker could be started: the pass downloads it itself, now.
    s_transfers.states[slot] = SlotRunning;
    hold.unlock();
    queued->failed = !s_transfers.transfer(queued, s_transfers.inlineBuffer);
    hold.lock();
    FinishDownload(slot);
}

static bool HeadFinished() {
    return s_transfers.count == 0 || s_transfers.states[s_transfers.head] == SlotFinished;
}

bool WaitForHead(int timeoutMs) {
    std::unique_lock<std::mutex> hold(s_transfers.lock);
    return s_transfers.changed.wait_for(hold, std::chrono::milliseconds(timeoutMs), HeadFinished);
}

QueuedEntry *TakeFinishedEntry(bool wait) {
    std::unique_lock<std::mutex> hold(s_transfers.lock);
    if (wait) s_transfers.changed.wait(hold, HeadFinished);
    if (s_transfers.count == 0 || s_transfers.states[s_transfers.head] != SlotFinished) return nullptr;
    int slot = s_transfers.head;
    s_transfers.states[slot] = SlotFree;
    s_transfers.head = (slot + 1) % TransferQueueSlots;
    s_transfers.count--;
    // Nobody waits for a free slot but the pass itself, which is here: no
    // wake-up, so idle workers cost nothing per entry.
    return &s_transfers.slots[slot];
}

bool PathIsQueued(const WideChar *key) {
    std::lock_guard<std::mutex> hold(s_transfers.lock);
    for (int i = 0; i < s_transfers.count; i++) {
        const QueuedEntry *queued = &s_transfers.slots[(s_transfers.head + i) % TransferQueueSlots];
        if (PathKeysCollide(queued->pathKey, key)) return true;
    }
    return false;
}

void StopTransfers() {
    std::unique_lock<std::mutex> hold(s_transfers.lock);
    s_transfers.stopping = true;
    s_transfers.workArrived.notify_all();
    s_transfers.changed.wait(hold, [] { return s_transfers.workers == 0; });
}

bool OfferWork(SharedWork work, void *context) {
    std::lock_guard<std::mutex> hold(s_transfers.lock);
    if (s_transfers.workers < 2) return false;  // the only worker is the one offering
    for (WorkOffer &offer : s_transfers.offers) {
        if (offer.work != nullptr) continue;
        offer = WorkOffer{work, context, true, 0};
        s_transfers.workArrived.notify_all();
        return true;
    }
    return false;
}

void WithdrawWork(void *context) {
    std::unique_lock<std::mutex> hold(s_transfers.lock);
    for (WorkOffer &offer : s_transfers.offers) {
        if (offer.work == nullptr || offer.context != context) continue;
        offer.open = false;
        s_transfers.changed.wait(hold, [&offer] { return offer.inside == 0; });
        offer.work = nullptr;
        return;
    }
}

void AddBytesToFetch(int64_t bytes) {
    std::lock_guard<std::mutex> hold(s_transfers.lock);
    s_transfers.bytesToFetch += bytes;
}

void CountFetch(QueuedEntry *queued) {
    std::lock_guard<std::mutex> hold(s_transfers.lock);
    queued->bytesOnDisk = 0;
    queued->bytesKept = 0;
    queued->fetches = true;
    s_transfers.bytesToFetch += queued->entry.expectedSize;
}

// A running download's kept part counts neither as fetched nor as to fetch;
// while it is hashed again before the body goes on, nothing has travelled.
void ReadTransferProgress(int64_t *bytesDone, int64_t *bytesToFetch, WideChar *currentFile) {
    std::lock_guard<std::mutex> hold(s_transfers.lock);
    *bytesDone = s_transfers.bytesFetched;
    *bytesToFetch = s_transfers.bytesToFetch;
    currentFile[0] = 0;
    for (int i = 0; i < s_transfers.count; i++) {
        int slot = (s_transfers.head + i) % TransferQueueSlots;
        const QueuedEntry *queued = &s_transfers.slots[slot];
        if (s_transfers.states[slot] != SlotRunning || !queued->fetches) continue;
        int64_t kept = queued->bytesKept, travelled = queued->bytesOnDisk - kept;
        *bytesDone += travelled > 0 ? travelled : 0;
        *bytesToFetch -= kept;
        if (currentFile[0] == 0) CopyText(currentFile, RelativePathUnits, queued->entry.relativePath);
    }
}

bool ReadHashProgress(int64_t *bytesRead, int64_t *size, WideChar *currentFile) {
    std::lock_guard<std::mutex> hold(s_transfers.lock);
    for (int i = 0; i < s_transfers.count; i++) {
        int slot = (s_transfers.head + i) % TransferQueueSlots;
        const QueuedEntry *queued = &s_transfers.slots[slot];
        if (s_transfers.states[slot] != SlotRunning || queued->fetches || queued->action == PlanDownload) continue;
        *bytesRead = queued->bytesOnDisk;
        *size = queued->entry.expectedSize;
        CopyText(currentFile, RelativePathUnits, queued->entry.relativePath);
        return true;
    }
    return false;
}
