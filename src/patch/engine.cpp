// The check/patch pass. Platform-neutral over the http, files and window
// seams. A download never leaves a partial or wrong file in place: it is
// written to a temporary file beside its target and replaces the target only
// once the whole body arrived with the size the manifest announced.
#include "patch/engine.h"

#include <cstdlib>

#include "base/state.h"
#include "patch/local_path.h"
#include "patch/temporary.h"
#include "platform/files.h"
#include "platform/http.h"
#include "platform/window.h"

// Carries every downloaded file from the connection to the disk; one pass
// at a time uses it.
static char s_transferBuffer[TransferBufferBytes];

static const WideChar ContactingText[] = WTEXT("Contacting patch server...");
static const WideChar UnreachableText[] = WTEXT("Could not reach patch server (launcher.ini).");

static void ShowStatus(const WideChar *text, int32_t progress) {
    SetStatusText(&g_state, text);
    g_state.progress = progress;
    ForceRepaint();
}

static bool IsSuccessStatus(int status) { return status >= 200 && status <= 299; }

// Fetches the whole manifest at patchUrl into a heap block ending in a zero
// byte. Returns nullptr when there is no usable answer: no connection, a
// non-2xx status, a failed or short read, an empty body or one above
// ManifestLimitBytes. A manifest cut off in transit is refused, since it
// would report files as checked that were never looked at.
static char *FetchManifest() {
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
    return text;
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

// Streams the body into file; true only when it is complete: no transport
// error, the announced Content-Length met, and exactly expectedSize bytes
// when that is 0 or more (reading stops as soon as it is exceeded).
static bool CopyBody(HttpRequest *request, FileHandle file, int64_t expectedSize, int64_t contentLength) {
    int64_t received = 0;
    for (;;) {
        int count = 0;
        if (!HttpRead(request, s_transferBuffer, TransferBufferBytes, &count)) return false;
        if (count == 0) break;
        received += count;
        if (expectedSize >= 0 && received > expectedSize) return false;
        if (!WriteToFile(file, s_transferBuffer, count)) return false;
    }
    if (contentLength >= 0 && received != contentLength) return false;
    return expectedSize < 0 || received == expectedSize;
}

// Downloads one differing entry over localPath. False for every failure;
// the old file, if any, is then left untouched. Folders on the way may be
// the player's own links (a data folder moved to another disk): they are
// followed, as every file call follows them; the temporary itself is never
// opened through a link.
static bool DownloadEntry(const ManifestEntry *entry, const WideChar *localPath) {
    WideChar temporaryPath[TemporaryPathUnits];
    if (!IsFetchableUrl(entry->sourceUrl) || !BuildTemporaryPath(localPath, temporaryPath)) return false;
    CreateParentDirectories(localPath);

    HttpRoot *root = HttpOpenRoot();
    if (root == nullptr) return false;
    int status = 0;
    int64_t contentLength = -1;
    HttpRequest *request = HttpOpenUrl(root, entry->sourceUrl, &status, &contentLength);
    if (request == nullptr) {
        HttpCloseRoot(root);
        return false;
    }
    bool ok = false;
    FileHandle file = NoFile;
    if (IsSuccessStatus(status)) file = CreateFileForWriting(temporaryPath);
    if (file != NoFile) {
        // On the disk before the rename, so a power cut never leaves the
        // target empty.
        ok = CopyBody(request, file, entry->expectedSize, contentLength) && FlushFile(file);
        CloseFile(file);
    }
    HttpCloseRequest(request);
    HttpCloseRoot(root);
    if (ok) ok = ReplaceFile(temporaryPath, localPath);
    if (!ok && file != NoFile) RemoveFile(temporaryPath);
    return ok;
}

// An interrupted earlier Patch may have left this entry's temporary. It
// goes (a link planted under its name is removed, never followed); no other
// pass can be writing it, since the pass holds the folder's lock.
static void RemoveStaleTemporary(const WideChar *localPath) {
    WideChar temporaryPath[TemporaryPathUnits];
    if (BuildTemporaryPath(localPath, temporaryPath) && PathEntryExists(temporaryPath)) RemoveFile(temporaryPath);
}

// Compares one entry with the disk and, in Patch mode, downloads it when it
// differs. Check only reads. An entry that is too long for its buffers,
// whose path could leave the program folder or that names a temporary is
// refused: differing in Check mode, an error in Patch mode, and nothing is
// created for it. A negative size other than -1 ("absent") means nothing,
// and -1 cannot be installed either: in Patch such an entry that differs
// is an error and nothing is downloaded for it.
static void HandleEntry(int mode, const ManifestEntry *entry, PassCounters *counters) {
    WideChar localPath[LocalPathUnits];
    bool usable = entry->fieldsFit && IsSafeRelativePath(entry->relativePath) &&
                  !NamesTemporaryFile(entry->relativePath) &&
                  BuildLocalPath(g_state.programDir, entry->relativePath, localPath);
    int64_t localSize = -1;
    if (usable) {
        if (mode != Check) RemoveStaleTemporary(localPath);
        if (!LocalFileSize(localPath, &localSize)) localSize = -1;
    }
    counters->processed++;
    if (usable && localSize == entry->expectedSize) return;
    counters->differing++;
    if (mode == Check) return;
    if (!usable || entry->expectedSize < 0 || !DownloadEntry(entry, localPath)) counters->errors++;
}

static void ReportProgress(const ManifestEntry *entry, const PassCounters *counters) {
    int32_t percent = 0;
    if (!ShouldReportProgress(counters->processed, counters->total, &percent)) return;
    WideChar text[ProgressTextUnits];
    FormatProgressText(entry->relativePath, counters->processed, counters->total, text);
    ShowStatus(text, percent);
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

// The entry pass over the fetched text: every entry line handled in order,
// with its report.
static void HandleEntries(int mode, char *text, PassCounters *counters) {
    ManifestEntry entry;
    for (char *line = text; line != nullptr && *line != 0;) {
        char *next = CutManifestLine(line);
        if (ParseManifestLine(line, &entry)) {
            HandleEntry(mode, &entry, counters);
            ReportProgress(&entry, counters);
        }
        line = next;
    }
}

void RunManifestPassWithOutcome(int mode, PassOutcome *outcome, const PassObserver *observer) {
    *outcome = PassOutcome{false, PassCounters{0, 0, 0, 0}};
    ShowStatus(ContactingText, 0);
    FolderLock *lock = LockGameFolder(observer);
    char *text = FetchManifest();
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
    HandleEntries(mode, text, counters);
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
