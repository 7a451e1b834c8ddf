// The check/patch pass. Platform-neutral over the http, files and thread
// seams. A download never leaves a partial or wrong file in place: it is
// written to a temporary file beside its target and replaces the target only
// once the whole body arrived with the size the manifest announced. A
// regular file listed with -1 is removed by the pass itself, in order.
// What each entry calls for is PlanEntry's decision (patch/plan); downloads
// run on several workers (patch/transfers); everything else, the reports
// included, happens on the pass's thread in manifest order. Entries that
// name one local file run one after another, so any number of workers
// leaves exactly what one would.
//
// Divisions: the reports; the manifest (fetch, signature, usability); the
// folder lock; one entry (look, plan, count); the bytes to fetch; the entry
// pass; the pass.
#include "patch/engine.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "patch/download.h"
#include "patch/fetch.h"
#include "patch/hash_cache.h"
#include "patch/leftovers.h"
#include "patch/local_path.h"
#include "patch/manifest_signature.h"
#include "patch/rate_cap.h"
#include "patch/temporary.h"
#include "patch/transfers.h"
#include "platform/files.h"

static const WideChar ContactingText[] = WTEXT("Contacting patch server...");
static const WideChar UnreachableText[] = WTEXT("Could not reach patch server (launcher.ini).");

constexpr int BytesReportMs = 250;  // how often the bytes fetched are told while the pass waits

// One pass's settings, reports and counts, handed from step to step.
struct Pass {
    const PassSettings *settings;
    const PassReports *reports;
    PassCounters *counters;
    LeftoverSweep sweep;
    uint8_t *countedFirst;  // a bit per entry: the walk before the entries counted its bytes to fetch
    int32_t entryIndex;     // of the entry being planned, among the entry lines
    HashCache *cache;       // what is known of the listed files' content
    StampSeries *stamps;    // the entries' stamps, taken on this thread
    struct UnsyncedFolders *unsynced;  // folders files were moved into, not synced yet (nullptr: none kept)
};

// Folders the pass moved files into without syncing them, each once.
constexpr int UnsyncedFolderSlots = 64;
struct UnsyncedFolders {
    WideChar paths[UnsyncedFolderSlots][LocalPathUnits];
    int count;
};

// ---------------------------------------------------------------- reports

static void ReportStatus(const Pass *pass, const WideChar *text, int32_t percent) {
    if (pass->reports->status != nullptr) pass->reports->status(pass->reports->context, text, percent);
}

// How far the fetching is; only a pass that patches fetches.
static void ReportBytes(const Pass *pass) {
    if (pass->reports->bytesProgress == nullptr || pass->settings->mode == Check) return;
    int64_t done = 0, total = 0;
    WideChar current[RelativePathUnits];
    ReadTransferProgress(&done, &total, current);
    pass->reports->bytesProgress(pass->reports->context, done, total, current);
}

// Which file is being hashed and how far, while the pass waits for it: the
// status line moves while a large file is read.
static void ReportHashing(const Pass *pass) {
    int64_t read = 0, size = 0;
    WideChar file[RelativePathUnits], text[ProgressTextUnits];
    if (pass->reports->status == nullptr || !ReadHashProgress(&read, &size, file) || size <= 0) return;
    const PassCounters *counters = pass->counters;
    int32_t ofFile = int32_t(read * 100 / size), entries = counters->total > 0 ? counters->total : 1;
    int32_t percent = int32_t((int64_t(counters->processed) * 100 + ofFile) / entries);
    FormatText(text, ProgressTextUnits, WTEXT("%s  %d%%  (%d/%d)"), file, int(ofFile), int(counters->processed + 1),
               int(counters->total));
    ReportStatus(pass, text, percent);
}

static void ReportUnusable(const Pass *pass, bool bySignature, const char *reason) {
    if (pass->reports->manifestUnusable != nullptr)
        pass->reports->manifestUnusable(pass->reports->context, bySignature, reason);
}

// ---------------------------------------------------------------- the manifest

// Why a fetched body cannot be used as the manifest (a page that is no
// manifest, or one cut off in transit, would report files as fine that were
// never looked at), or nullptr when it can. The text stays this thread's
// until its next pass.
static const char *UnusableManifestReason(const char *text) {
    static thread_local char reason[ManifestReasonBytes];
    ManifestUnusableReason(text, reason);
    return reason[0] != 0 ? reason : nullptr;
}

// The manifest text, fetched whole, signed when a key is set, and usable;
// nullptr otherwise, with the reason reported. *bytes is its length;
// *multiplexed tells whether it came over a connection that carries many
// requests at once.
static char *FetchManifest(const Pass *pass, size_t *bytes, bool *multiplexed) {
    const PassSettings *settings = pass->settings;
    char *text = nullptr;
    int status = 0;
    char why[SignatureReasonBytes];
    FetchResult fetched = FetchWhole(settings->manifestUrl, ManifestLimitBytes, &text, bytes, &status, why, multiplexed);
    if (fetched != FetchOk) {
        ReportUnusable(pass, false, why);
        return nullptr;
    }
    const char *unusable = *bytes == 0 ? "the body is empty" : nullptr;
    // With a manifest key, only a manifest whose signature holds, and that
    // is no older than one already applied, is used.
    if (unusable == nullptr && !ManifestSignatureAccepted(settings, pass->reports, text, *bytes, why)) {
        ReportUnusable(pass, true, why);
        free(text);
        return nullptr;
    }
    if (unusable == nullptr) unusable = UnusableManifestReason(text);
    if (unusable != nullptr) {
        ReportUnusable(pass, false, unusable);
        free(text);
        return nullptr;
    }
    return text;
}

// ---------------------------------------------------------------- the folder lock

// Takes the game folder's lock for the pass; while another pass holds it,
// this one says so and waits. A folder that cannot be locked at all is
// worked on without the lock, as it would be by itself.
static FolderLock *LockGameFolder(const Pass *pass) {
    FolderLock *lock = nullptr;
    if (TryLockFolder(pass->settings->gameFolder, &lock) != FolderLockBusy) return lock;
    if (pass->reports->waitingForFolder != nullptr) pass->reports->waitingForFolder(pass->reports->context);
    lock = WaitLockFolder(pass->settings->gameFolder);
    ReportStatus(pass, ContactingText, 0);
    return lock;
}

// ---------------------------------------------------------------- one entry

// Whether the entry's fields and path pass every rule, with its local path
// and that path's key filled in.
static bool PreparePaths(const Pass *pass, QueuedEntry *queued) {
    const ManifestEntry *entry = &queued->entry;
    queued->gameFolderUnits = TextLength(pass->settings->gameFolder);
    queued->pathKey[0] = 0;
    if (!entry->fieldsFit || !IsSafeRelativePath(entry->relativePath) || NamesTemporaryFile(entry->relativePath) ||
        !BuildLocalPath(pass->settings->gameFolder, entry->relativePath, queued->localPath))
        return false;
    BuildPathKey(queued->localPath, queued->pathKey);
    return true;
}

// Whether key (BuildPathKey) names the file at path.
static bool KeyNames(const WideChar *key, const WideChar *path) {
    WideChar other[LocalPathUnits];
    BuildPathKey(path, other);
    return TextEqual(key, other);
}

// What PlanEntry needs of an entry listed with -1: what is at its path, and
// whether that is launcher.ini at the top of the game folder or the running
// program's own file (by path key, or as one file when the game folder is
// given as a relative path or through a link).
static void LookAtAbsentEntry(const Pass *pass, const QueuedEntry *queued, EntryFacts *facts) {
    facts->kind = LookAtPath(queued->localPath);
    if (facts->kind == PathAbsent) return;
    WideChar path[LocalPathUnits];
    facts->isLauncherIni =
        BuildLocalPath(pass->settings->gameFolder, WTEXT("launcher.ini"), path) && KeyNames(queued->pathKey, path);
    facts->isRunningProgram = ExecutablePath(path, LocalPathUnits) > 0 &&
                              (KeyNames(queued->pathKey, path) || SameFileAt(queued->localPath, path));
}

// Looks at the disk for a prepared entry: its facts (with the file's stamp,
// and what the hash cache knows of a file of the listed size) and its plan.
static EntryPlan LookAndPlan(const Pass *pass, QueuedEntry *queued, bool pathUsable, EntryFacts *facts) {
    const ManifestEntry *entry = &queued->entry;
    int64_t sizeOnDisk = -1;
    if (pathUsable && StampInSeries(pass->stamps, queued->localPath, &queued->stamp)) sizeOnDisk = queued->stamp.size;
    *facts = EntryFacts{pass->settings->mode, pass->settings->verify, entry, pathUsable, sizeOnDisk,
                        PathAbsent, false, false, false, false};
    uint8_t known[Sha256Bytes];
    if (sizeOnDisk >= 0 && sizeOnDisk == entry->expectedSize && entry->hasSha256 && !pass->settings->verify &&
        LookUpHash(pass->cache, entry->relativePath, &queued->stamp, known)) {
        facts->hashKnown = true;
        facts->hashMatches = memcmp(known, entry->sha256, Sha256Bytes) == 0;
    }
    if (pathUsable && entry->expectedSize == -1) LookAtAbsentEntry(pass, queued, facts);
    return PlanEntry(facts);
}

// Whether the walk before the entries counted this entry's bytes to fetch.
static bool CountedFirst(const Pass *pass) {
    int32_t i = pass->entryIndex;
    if (pass->countedFirst == nullptr || i >= pass->counters->total) return false;
    return (pass->countedFirst[i / 8] >> (i % 8) & 1) != 0;
}

// Looks at the disk for a prepared entry and plans it. A removal is carried
// out here, on the pass's thread: an earlier entry of the same file has
// been counted by now, so it removes what that one left. The bytes to fetch
// follow what the disk shows now, where the walk before saw otherwise.
static void PlanQueuedEntry(const Pass *pass, QueuedEntry *queued, bool pathUsable) {
    EntryFacts facts;
    EntryPlan plan = LookAndPlan(pass, queued, pathUsable, &facts);
    DescribeDifference(&facts, queued->why);
    queued->action = plan.action;
    queued->differs = plan.differs;
    queued->fetches = plan.action == PlanDownload;
    queued->stamped = facts.sizeOnDisk >= 0;
    queued->hashed = false;
    if (queued->fetches != CountedFirst(pass))
        AddBytesToFetch(queued->fetches ? queued->entry.expectedSize : -queued->entry.expectedSize);
    queued->failed = plan.action == PlanRefused;
    queued->failure[0] = 0;  // most entries: no formatting for nothing to say
    if (plan.reason != nullptr) snprintf(queued->failure, FailureTextBytes, "%s", plan.reason);
    if (plan.action == PlanRemove) queued->failed = !RemoveListedFile(queued);
    // What an interrupted download left of a file now in place is stale; a
    // differing file's partial body is kept for resuming.
    if (pass->settings->mode != Check && !plan.differs && pathUsable) RemoveDownloadLeftovers(queued->localPath);
}

// Whether a present file's content is the manifest's, by reading it; the
// SHA-256 read is kept for the hash cache.
static bool ContentMatches(QueuedEntry *queued, char *buffer) {
    queued->hashed = HashLocalFile(queued->localPath, queued->entry.expectedSize, buffer, TransferBufferBytes,
                                   &queued->bytesOnDisk, queued->sha256);
    return queued->hashed && memcmp(queued->sha256, queued->entry.sha256, Sha256Bytes) == 0;
}

// A download with a SHA-256 in the manifest had its digest checked as the
// body arrived: the installed file's stamp is all the hash cache needs.
static void NoteInstalledContent(QueuedEntry *queued) {
    queued->hashed = queued->entry.hasSha256 && StampLocalFile(queued->localPath, &queued->stamp);
    if (queued->hashed) memcpy(queued->sha256, queued->entry.sha256, Sha256Bytes);
}

// A worker's job: a download, or a file to hash first (downloaded again
// when it differs and the pass patches).
static bool ServeEntry(QueuedEntry *queued, char *buffer) {
    if (queued->action == PlanVerify || queued->action == PlanVerifyThenDownload) {
        if (ContentMatches(queued, buffer)) return true;
        queued->differs = true;
        snprintf(queued->why, ReasonBytes, "%s", HashDiffersWhy);
        if (queued->action == PlanVerify) return true;  // Check: only counted
        CountFetch(queued);
    }
    if (!DownloadEntry(queued, buffer)) return false;
    NoteInstalledContent(queued);
    return true;
}

// Files are moved into place without their folder's sync; the pass notes
// each folder once and syncs them all at its end (or when more folders are
// waiting than it notes), so a pass pays one sync per folder rather than
// per file, in whatever order the manifest takes its folders.
static void SyncUnsyncedFolders(const Pass *pass) {
    UnsyncedFolders *unsynced = pass->unsynced;
    for (int i = 0; unsynced != nullptr && i < unsynced->count; i++) SyncFolder(unsynced->paths[i]);
    if (unsynced != nullptr) unsynced->count = 0;
}

// Without memory for the list, each folder is synced at once.
static void NoteMovedInto(const Pass *pass, const WideChar *localPath) {
    UnsyncedFolders *unsynced = pass->unsynced;
    WideChar folder[LocalPathUnits];
    CopyText(folder, LocalPathUnits, localPath);
    int end = TextLength(folder);
    while (end > 0 && folder[end - 1] != PathSeparator) end--;
    folder[end > 1 ? end - 1 : end] = 0;
    for (int i = unsynced != nullptr ? unsynced->count - 1 : -1; i >= 0; i--)
        if (TextEqual(folder, unsynced->paths[i])) return;
    if (unsynced == nullptr) {
        SyncFolder(folder);
        return;
    }
    if (unsynced->count == UnsyncedFolderSlots) SyncUnsyncedFolders(pass);
    CopyText(unsynced->paths[unsynced->count++], LocalPathUnits, folder);
}

// Counts an entry once everything before it was counted, reports it, and
// tells why it differs and of a failure.
static void FinishEntry(const Pass *pass, const QueuedEntry *queued) {
    PassCounters *counters = pass->counters;
    if (queued->installed) NoteMovedInto(pass, queued->localPath);
    if (queued->hashed) RecordHash(pass->cache, queued->entry.relativePath, &queued->stamp, queued->sha256);
    counters->processed++;
    if (queued->differs) counters->differing++;
    if (queued->differs && pass->reports->entryDiffers != nullptr)
        pass->reports->entryDiffers(pass->reports->context, queued->entry.relativePath, queued->why);
    if (queued->fetches) ReportBytes(pass);
    if (queued->failed) {
        counters->errors++;
        if (pass->reports->fileFailed != nullptr)
            pass->reports->fileFailed(pass->reports->context, queued->entry.relativePath, queued->failure);
    }
    int32_t percent = 0;
    if (!ShouldReportProgress(counters->processed, counters->total, &percent)) return;
    WideChar text[ProgressTextUnits];
    FormatProgressText(queued->entry.relativePath, counters->processed, counters->total, text);
    ReportStatus(pass, text, percent);
}

// ---------------------------------------------------------------- the bytes to fetch

// The entry pass plans at most a queue's length ahead, so the bytes it will
// fetch are known up front only from a walk over the whole manifest first,
// comparing sizes as Check does (one more size lookup per entry, asked for
// by a live display only). The walk notes which entries it counted; the
// entry pass then corrects the total wherever the disk shows otherwise (an
// earlier entry of the same file put it in place, a file changed), so the
// total ends exact. Each line is parsed from a copy: the text stays as it
// is for the entry pass. Without memory for the walk the total grows as
// entries are planned.
static void CountBytesFirst(Pass *pass, const char *text) {
    int32_t entries = pass->counters->total;
    pass->countedFirst = static_cast<uint8_t *>(calloc(size_t(entries) / 8 + 1, 1));
    char *line = nullptr;
    size_t lineBytes = 0;
    int64_t bytes = 0;
    int32_t index = 0;
    QueuedEntry probe;
    for (const char *start = text; pass->countedFirst != nullptr && *start != 0;) {
        const char *feed = strchr(start, '\n');
        size_t length = feed != nullptr ? size_t(feed - start) : strlen(start);
        if (length + 1 > lineBytes) {
            free(line);
            lineBytes = length + 1;
            line = static_cast<char *>(malloc(lineBytes));
        }
        if (line == nullptr) {
            free(pass->countedFirst);
            pass->countedFirst = nullptr;
            bytes = 0;
            break;
        }
        memcpy(line, start, length);
        line[length] = 0;
        start += feed != nullptr ? length + 1 : length;
        if (!ParseManifestLine(line, &probe.entry) || index >= entries) continue;
        EntryFacts facts;
        if (LookAndPlan(pass, &probe, PreparePaths(pass, &probe), &facts).action == PlanDownload) {
            bytes += probe.entry.expectedSize;
            pass->countedFirst[index / 8] |= uint8_t(1u << (index % 8));
        }
        index++;
    }
    free(line);
    AddBytesToFetch(bytes);
}

// ---------------------------------------------------------------- the entry pass

// The head entry once it finished (nullptr when the queue is empty), telling
// how far the fetching is while it waits.
static const QueuedEntry *AwaitHead(const Pass *pass) {
    while (!WaitForHead(BytesReportMs)) {
        ReportBytes(pass);
        ReportHashing(pass);
    }
    return TakeFinishedEntry(false);
}

// Looks at one entry line and queues it; lines that are no entry are
// skipped. An entry whose file an entry still in the queue names (or has on
// its way) waits for that one to be counted first.
static void HandleLine(Pass *pass, char *line) {
    QueuedEntry *queued;
    while ((queued = NextQueueSlot()) == nullptr) FinishEntry(pass, AwaitHead(pass));
    if (!ParseManifestLine(line, &queued->entry)) return;
    bool pathUsable = PreparePaths(pass, queued);
    if (pathUsable)
        while (PathIsQueued(queued->pathKey)) FinishEntry(pass, AwaitHead(pass));
    PlanQueuedEntry(pass, queued, pathUsable);
    pass->entryIndex++;
    if (pass->settings->mode != Check && pathUsable) NoteListedFile(&pass->sweep, queued->localPath, queued->pathKey);
    QueueEntry(queued);
    while (const QueuedEntry *finished = TakeFinishedEntry(false)) FinishEntry(pass, finished);
}

// Every entry line in order, downloads and hashing handed to the workers,
// and entries counted and reported in order as the ones before them
// finish. The hash cache is read before the first entry and written after
// the last. A manifest that came multiplexed lets the downloads start as
// many at once as such a connection carries.
static void HandleEntries(Pass *pass, char *text, bool multiplexed) {
    const PassSettings *settings = pass->settings;
    HashCache cache;
    OpenHashCache(&cache, settings->gameFolder);
    pass->cache = &cache;
    pass->stamps = BeginStampSeries();
    pass->unsynced = static_cast<UnsyncedFolders *>(malloc(sizeof(UnsyncedFolders)));
    if (pass->unsynced != nullptr) pass->unsynced->count = 0;
    bool workers = settings->mode != Check || settings->verify || strstr(text, "#sha256=") != nullptr;
    SetRateCap(settings->mode == Patch ? settings->maxDownloadKiBps : 0);
    if (workers) StartTransfers(settings->jobs > 0 ? settings->jobs : DefaultTransferJobs, ServeEntry);
    if (workers && multiplexed && settings->mode == Patch) WidenTransfers();
    if (settings->mode != Check) BeginLeftoverSweep(&pass->sweep, pass->counters->total);
    if (settings->mode != Check && settings->countBytesFirst) CountBytesFirst(pass, text);
    ReportBytes(pass);
    for (char *line = text; line != nullptr && *line != 0;) {
        char *next = CutManifestLine(line);
        HandleLine(pass, line);
        line = next;
    }
    while (const QueuedEntry *finished = AwaitHead(pass)) FinishEntry(pass, finished);
    if (workers) StopTransfers();
    SetRateCap(0);
    SyncUnsyncedFolders(pass);
    free(pass->unsynced);
    pass->unsynced = nullptr;
    CloseHashCache(&cache);
    pass->cache = nullptr;
    EndStampSeries(pass->stamps);
    pass->stamps = nullptr;
    free(pass->countedFirst);
    if (settings->mode != Check) SweepLeftovers(&pass->sweep);
}

// ---------------------------------------------------------------- the pass

void RunManifestPass(const PassSettings *settings, const PassReports *reports, PassOutcome *outcome) {
    *outcome = PassOutcome{false, PassCounters{0, 0, 0, 0}};
    Pass pass = {settings, reports, &outcome->counters, LeftoverSweep{}, nullptr, 0, nullptr, nullptr, nullptr};
    ReportStatus(&pass, ContactingText, 0);
    FolderLock *lock = LockGameFolder(&pass);
    size_t manifestBytes = 0;
    bool multiplexed = false;
    char *text = FetchManifest(&pass, &manifestBytes, &multiplexed);
    if (text == nullptr) {
        UnlockFolder(lock);
        ReportStatus(&pass, UnreachableText, -1);
        return;
    }
    outcome->serverReached = true;
    outcome->counters.total = CountManifestEntries(text);
    HandleEntries(&pass, text, multiplexed);
    free(text);
    UnlockFolder(lock);

    WideChar closing[ClosingTextUnits];
    FinalStatusText(settings->mode, &outcome->counters, closing);
    ReportStatus(&pass, closing, -1);
}
