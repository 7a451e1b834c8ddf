// The check/patch pass. Platform-neutral over the http, files and window
// seams. A download never leaves a partial or wrong file in place: it is
// written to a temporary file beside its target and replaces the target only
// once the whole body arrived with the size the manifest announced.
// Downloads run on several workers (patch/transfers); everything else, the
// reports included, happens on the pass's thread in manifest order.
#include "patch/engine.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "base/state.h"
#include "patch/local_path.h"
#include "patch/manifest_signature.h"
#include "patch/download.h"
#include "patch/temporary.h"
#include "patch/transfers.h"
#include "platform/files.h"
#include "platform/http.h"
#include "platform/window.h"

static const WideChar ContactingText[] = WTEXT("Contacting patch server...");
static const WideChar UnreachableText[] = WTEXT("Could not reach patch server (launcher.ini).");

static void ShowStatus(const WideChar *text, int32_t progress) {
    SetStatusText(&g_state, text);
    g_state.progress = progress;
    ForceRepaint();
}

static bool IsSuccessStatus(int status) { return status >= 200 && status <= 299; }

// Fetches the whole manifest at patchUrl into a heap block ending in a zero
// byte (*bytes: the body's length, without it). Returns nullptr when there
// is no usable answer: no connection, a non-2xx status, a failed or short
// read, an empty body or one above ManifestLimitBytes. A manifest cut off
// in transit is refused, since it would report files as checked that were
// never looked at.
static char *FetchManifest(size_t *bytes) {
    if (!IsFetchableUrl(g_state.patchUrl)) return nullptr;
    HttpRoot *root = HttpOpenRoot();
    if (root == nullptr) return nullptr;
    int status = 0;
    int64_t contentLength = -1;
    HttpRequest *request = HttpOpenUrl(root, g_state.patchUrl, &status, &contentLength);
    if (request == nullptr) {
        HttpCloseRoot(root);
        return nullptr;
    }
    int64_t capacity = ManifestInitialBytes;
    int64_t used = 0;
    char *text = IsSuccessStatus(status) ? static_cast<char *>(malloc(size_t(capacity))) : nullptr;
    bool complete = text != nullptr;
    while (complete) {
        int received = 0;
        if (!HttpRead(request, text + used, int(capacity - 1 - used), &received)) { complete = false; break; }
        if (received == 0) break;
        used += received;
        if (used > ManifestLimitBytes) { complete = false; break; }
        if (used + ManifestFreeBytes >= capacity) {
            char *grown = static_cast<char *>(realloc(text, size_t(capacity * 2)));
            if (grown == nullptr) { complete = false; break; }
            text = grown;
            capacity *= 2;
        }
    }
    HttpCloseRequest(request);
    HttpCloseRoot(root);
    if (complete && (used == 0 || (contentLength >= 0 && used != contentLength))) complete = false;
    if (!complete) {
        free(text);
        return nullptr;
    }
    text[used] = 0;
    *bytes = size_t(used);
    return text;
}

// Compares one entry with the disk and decides whether to download it:
// Check only reads. An entry that is too long for its buffers, whose path
// could leave the program folder or that names a temporary is refused:
// differing in Check mode, an error in Patch mode, and nothing is created
// for it. A negative size other than -1 ("absent") means nothing, and -1
// cannot be installed either: in Patch such an entry that differs is an
// error and nothing is downloaded for it.
// With verify, a present file of the right size whose entry carries a
// SHA-256 is handed to a worker to be hashed (and in Patch downloaded
// again when it differs). An entry whose URL has any other fragment is
// refused like a bad path.
static void LookAtEntry(int mode, bool verify, QueuedEntry *queued) {
    const ManifestEntry *entry = &queued->entry;
    queued->usable = entry->fieldsFit && entry->fragmentUsable && IsSafeRelativePath(entry->relativePath) &&
                     !NamesTemporaryFile(entry->relativePath) &&
                     BuildLocalPath(g_state.programDir, entry->relativePath, queued->localPath);
    int64_t localSize = -1;
    if (queued->usable && !LocalFileSize(queued->localPath, &localSize)) localSize = -1;
    queued->differs = !queued->usable || localSize != entry->expectedSize;
    // What an interrupted download left of a file now in place is stale; a
    // differing file's partial body is kept for resuming.
    if (mode != Check && !queued->differs) RemoveDownloadLeftovers(queued->localPath);
    queued->download = mode != Check && queued->differs && queued->usable && entry->expectedSize >= 0;
    queued->verify = verify && !queued->differs && entry->hasSha256 && entry->expectedSize >= 0;
    if (queued->verify) queued->download = mode != Check;
    queued->failed = mode != Check && queued->differs && !queued->download;
    queued->failure[0] = 0;
    const char *why = !entry->fragmentUsable       ? "the URL's fragment is not #sha256= and 64 lowercase hex digits"
                      : !queued->usable            ? "refused path"
                      : entry->expectedSize == -1 ? "present, but the manifest says it must not exist"
                                                  : "the manifest gives a negative size";
    if (queued->failed) snprintf(queued->failure, FailureTextBytes, "%s", why);
}

static void ReportProgress(const ManifestEntry *entry, const PassCounters *counters) {
    int32_t percent = 0;
    if (!ShouldReportProgress(counters->processed, counters->total, &percent)) return;
    WideChar text[ProgressTextUnits];
    FormatProgressText(entry->relativePath, counters->processed, counters->total, text);
    ShowStatus(text, percent);
}

// Counts an entry once everything before it was counted, reports it, and
// tells the observer of a failure.
static void FinishEntry(const QueuedEntry *queued, PassCounters *counters, const PassObserver *observer) {
    counters->processed++;
    if (queued->differs) counters->differing++;
    if (queued->failed) {
        counters->errors++;
        if (observer != nullptr && observer->fileFailed != nullptr)
            observer->fileFailed(queued->entry.relativePath, queued->failure);
    }
    ReportProgress(&queued->entry, counters);
}

// The folders of a Patch pass's entries, each with the hashes its
// temporaries may carry: what an earlier run left there for a file that no
// entry lists any more is removed once the pass is through.
typedef std::basic_string<WideChar> FolderPath;
typedef std::unordered_map<FolderPath, std::unordered_set<uint64_t>> ListedFolders;

static void NoteListedFile(ListedFolders *folders, const WideChar *localPath) {
    int cut = TextLength(localPath);
    while (cut > 0 && localPath[cut - 1] != PathSeparator) cut--;
    if (cut <= 1) return;
    (*folders)[FolderPath(localPath, size_t(cut - 1))].insert(TemporaryHashOf(localPath));
}

struct LeftoverSweep {
    const FolderPath *folder;
    const std::unordered_set<uint64_t> *listed;
};

// Removes one entry of a listed folder when it is a temporary or resume
// record of the engine's own form for a file the manifest no longer lists.
static void SweepLeftover(const WideChar *name, void *context) {
    const LeftoverSweep *sweep = static_cast<const LeftoverSweep *>(context);
    uint64_t hash = 0;
    if (!HashOfTemporaryName(name, &hash) || sweep->listed->count(hash) != 0) return;
    WideChar path[TemporaryPathUnits];
    const WideChar separator[2] = {PathSeparator, 0};
    if (FormatText(path, TemporaryPathUnits, WTEXT("%s%s%s"), sweep->folder->c_str(), separator, name)) RemoveFile(path);
}

static void RemoveUnlistedLeftovers(const ListedFolders &folders) {
    for (const auto &folder : folders) {
        LeftoverSweep sweep = {&folder.first, &folder.second};
        ListFolder(folder.first.c_str(), SweepLeftover, &sweep);
    }
}

// Takes the game folder's lock for the pass; while another pass holds it,
// this one waits (its status line says "Contacting patch server..."). A
// folder that cannot be locked at all is worked on without the lock, as
// it would be by itself.
static FolderLock *LockGameFolder(const PassObserver *observer) {
    FolderLock *lock = nullptr;
    if (TryLockFolder(g_state.programDir, &lock) != FolderLockBusy) return lock;
    if (observer != nullptr && observer->waitingForFolder != nullptr) observer->waitingForFolder();
    return WaitLockFolder(g_state.programDir);
}

// The entry pass over the fetched text: every entry line looked at in
// order, downloads handed to the workers, and entries counted and reported
// in order as the ones before them finish.
// A worker's job: a download, or a file to hash first (downloaded again
// when it differs and the pass patches).
static bool ServeEntry(QueuedEntry *queued, char *buffer) {
    if (queued->verify) {
        if (FileHasManifestHash(queued, buffer)) {
            queued->download = false;
            return true;
        }
        queued->differs = true;
        if (!queued->download) return true;  // Check: only counted
        queued->bytesOnDisk = 0;
    }
    return DownloadEntry(queued, buffer);
}

static void HandleEntries(int mode, char *text, PassCounters *counters, const PassObserver *observer) {
    int jobs = observer != nullptr && observer->transferJobs > 0 ? observer->transferJobs : DefaultTransferJobs;
    bool verify = observer != nullptr && observer->verifyHashes;
    bool workers = mode != Check || verify;
    ListedFolders listed;
    if (workers) StartTransfers(jobs, ServeEntry);
    for (char *line = text; line != nullptr && *line != 0;) {
        char *next = CutManifestLine(line);
        QueuedEntry *queued;
        while ((queued = NextQueueSlot()) == nullptr) FinishEntry(TakeFinishedEntry(true), counters, observer);
        if (ParseManifestLine(line, &queued->entry)) {
            LookAtEntry(mode, verify, queued);
            if (mode != Check && queued->usable) NoteListedFile(&listed, queued->localPath);
            QueueEntry(queued);
            while (const QueuedEntry *finished = TakeFinishedEntry(false)) FinishEntry(finished, counters, observer);
        }
        line = next;
    }
    while (const QueuedEntry *finished = TakeFinishedEntry(true)) FinishEntry(finished, counters, observer);
    if (workers) StopTransfers();
    if (mode != Check) RemoveUnlistedLeftovers(listed);
}

void RunManifestPassWithOutcome(int mode, PassOutcome *outcome, const PassObserver *observer) {
    *outcome = PassOutcome{false, PassCounters{0, 0, 0, 0}};
    ShowStatus(ContactingText, 0);
    FolderLock *lock = LockGameFolder(observer);
    size_t manifestBytes = 0;
    char *text = FetchManifest(&manifestBytes);
    // With a manifest key configured, only a manifest whose signature holds is used.
    char refusal[SignatureReasonBytes];
    if (text != nullptr && !ManifestSignatureAccepted(text, manifestBytes, refusal)) {
        if (observer != nullptr && observer->manifestRefused != nullptr) observer->manifestRefused(refusal);
        free(text);
        text = nullptr;
    }
    // A page that is no manifest, or one cut off in transit, would report
    // files as fine that were never looked at.
    if (text != nullptr && !IsUsableManifest(text)) {
        free(text);
        text = nullptr;
    }
    if (text == nullptr) {
        UnlockFolder(lock);
        ShowStatus(UnreachableText, -1);
        return;
    }
    outcome->serverReached = true;
    PassCounters *counters = &outcome->counters;
    counters->total = CountManifestEntries(text);
    HandleEntries(mode, text, counters, observer);
    free(text);
    UnlockFolder(lock);

    WideChar closing[ClosingTextUnits];
    FinalStatusText(mode, counters, closing);
    ShowStatus(closing, -1);
}

void RunManifestPass(int mode) {
    PassOutcome outcome;
    RunManifestPassWithOutcome(mode, &outcome, nullptr);
}

uint32_t CheckThread(void *) {
    RunManifestPass(Check);
    g_state.busy = 0;
    return 0;
}

uint32_t PatchThread(void *) {
    RunManifestPass(Patch);
    g_state.busy = 0;
    return 0;
}
