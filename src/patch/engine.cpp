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
// folder lock; one entry (look, plan, count); the entry pass; the pass.
#include "patch/engine.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "patch/download.h"
#include "patch/fetch.h"
#include "patch/leftovers.h"
#include "patch/local_path.h"
#include "patch/manifest_signature.h"
#include "patch/temporary.h"
#include "patch/transfers.h"
#include "platform/files.h"

static const WideChar ContactingText[] = WTEXT("Contacting patch server...");
static const WideChar UnreachableText[] = WTEXT("Could not reach patch server (launcher.ini).");

// One pass's settings, reports and counts, handed from step to step.
struct Pass {
    const PassSettings *settings;
    const PassReports *reports;
    PassCounters *counters;
    LeftoverSweep sweep;
};

// ---------------------------------------------------------------- reports

static void ReportStatus(const Pass *pass, const WideChar *text, int32_t percent) {
    if (pass->reports->status != nullptr) pass->reports->status(pass->reports->context, text, percent);
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
// nullptr otherwise, with the reason reported. *bytes is its length.
static char *FetchManifest(const Pass *pass, size_t *bytes) {
    const PassSettings *settings = pass->settings;
    char *text = nullptr;
    int status = 0;
    char why[SignatureReasonBytes];
    FetchResult fetched = FetchWhole(settings->manifestUrl, ManifestLimitBytes, &text, bytes, &status, why);
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

// Looks at the disk for a prepared entry and plans it. A removal is carried
// out here, on the pass's thread: an earlier entry of the same file has
// been counted by now, so it removes what that one left.
static void PlanQueuedEntry(const Pass *pass, QueuedEntry *queued, bool pathUsable) {
    int64_t sizeOnDisk = -1;
    if (pathUsable && !LocalFileSize(queued->localPath, &sizeOnDisk)) sizeOnDisk = -1;
    EntryFacts facts = {pass->settings->mode, pass->settings->verify, &queued->entry, pathUsable, sizeOnDisk,
                        PathAbsent, false, false};
    if (pathUsable && queued->entry.expectedSize == -1) LookAtAbsentEntry(pass, queued, &facts);
    EntryPlan plan = PlanEntry(&facts);
    queued->action = plan.action;
    queued->differs = plan.differs;
    queued->failed = plan.action == PlanRefused;
    snprintf(queued->failure, FailureTextBytes, "%s", plan.reason != nullptr ? plan.reason : "");
    if (plan.action == PlanRemove) queued->failed = !RemoveListedFile(queued);
    // What an interrupted download left of a file now in place is stale; a
    // differing file's partial body is kept for resuming.
    if (pass->settings->mode != Check && !plan.differs && pathUsable) RemoveDownloadLeftovers(queued->localPath);
}

// A worker's job: a download, or a file to hash first (downloaded again
// when it differs and the pass patches).
static bool ServeEntry(QueuedEntry *queued, char *buffer) {
    if (queued->action == PlanVerify || queued->action == PlanVerifyThenDownload) {
        if (FileHasManifestHash(queued, buffer)) return true;
        queued->differs = true;
        if (queued->action == PlanVerify) return true;  // Check: only counted
        queued->bytesOnDisk = 0;
    }
    return DownloadEntry(queued, buffer);
}

// Counts an entry once everything before it was counted, reports it, and
// tells of a failure.
static void FinishEntry(const Pass *pass, const QueuedEntry *queued) {
    PassCounters *counters = pass->counters;
    counters->processed++;
    if (queued->differs) counters->differing++;
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

// ---------------------------------------------------------------- the entry pass

// Looks at one entry line and queues it; lines that are no entry are
// skipped. An entry whose file an entry still in the queue names (or has on
// its way) waits for that one to be counted first.
static void HandleLine(Pass *pass, char *line) {
    QueuedEntry *queued;
    while ((queued = NextQueueSlot()) == nullptr) FinishEntry(pass, TakeFinishedEntry(true));
    if (!ParseManifestLine(line, &queued->entry)) return;
    bool pathUsable = PreparePaths(pass, queued);
    if (pathUsable)
        while (PathIsQueued(queued->pathKey)) FinishEntry(pass, TakeFinishedEntry(true));
    PlanQueuedEntry(pass, queued, pathUsable);
    if (pass->settings->mode != Check && pathUsable) NoteListedFile(&pass->sweep, queued->localPath, queued->pathKey);
    QueueEntry(queued);
    while (const QueuedEntry *finished = TakeFinishedEntry(false)) FinishEntry(pass, finished);
}

// Every entry line in order, downloads handed to the workers, and entries
// counted and reported in order as the ones before them finish.
static void HandleEntries(Pass *pass, char *text) {
    const PassSettings *settings = pass->settings;
    bool workers = settings->mode != Check || settings->verify;
    if (workers) StartTransfers(settings->jobs > 0 ? settings->jobs : DefaultTransferJobs, ServeEntry);
    if (settings->mode != Check) BeginLeftoverSweep(&pass->sweep, pass->counters->total);
    for (char *line = text; line != nullptr && *line != 0;) {
        char *next = CutManifestLine(line);
        HandleLine(pass, line);
        line = next;
    }
    while (const QueuedEntry *finished = TakeFinishedEntry(true)) FinishEntry(pass, finished);
    if (workers) StopTransfers();
    if (settings->mode != Check) SweepLeftovers(&pass->sweep);
}

// ---------------------------------------------------------------- the pass

void RunManifestPass(const PassSettings *settings, const PassReports *reports, PassOutcome *outcome) {
    *outcome = PassOutcome{false, PassCounters{0, 0, 0, 0}};
    Pass pass = {settings, reports, &outcome->counters, LeftoverSweep{}};
    ReportStatus(&pass, ContactingText, 0);
    FolderLock *lock = LockGameFolder(&pass);
    size_t manifestBytes = 0;
    char *text = FetchManifest(&pass, &manifestBytes);
    if (text == nullptr) {
        UnlockFolder(lock);
        ReportStatus(&pass, UnreachableText, -1);
        return;
    }
    outcome->serverReached = true;
    outcome->counters.total = CountManifestEntries(text);
    HandleEntries(&pass, text);
    free(text);
    UnlockFolder(lock);

    WideChar closing[ClosingTextUnits];
    FinalStatusText(settings->mode, &outcome->counters, closing);
    ReportStatus(&pass, closing, -1);
}
