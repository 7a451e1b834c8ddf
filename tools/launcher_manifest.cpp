// launcher-manifest: writes the manifest of every regular file below a
// folder, for server operators publishing a patch. One line per file,
// "relative/path|size|URL", sorted by the bytes of the UTF-8 path, between
// a first and a last line that count them. A path the launcher would refuse
// stops the run before anything is printed, so a half-usable manifest never
// reaches players. Linux and Windows (console program); the platform part is
// the folder listing in dir_walk_*.cpp, the rules of what is written are in
// manifest_lines.h. With --sha256 every URL ends in "#sha256=<digest>", the
// files hashed side by side on every core. With --previous the paths of the
// last published manifest that are gone get "-1" lines, so the launcher
// removes them. With --chunks every large file's chunk index
// (patch/chunks.h) is written beside a copy of the tree, cut in the same
// read of the file that hashes it.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <mutex>
#include <thread>

#include "console_output.h"
#include "dir_walk.h"
#include "manifest_lines.h"
#include "base/state.h"
#include "patch/chunks.h"
#include "patch/temporary.h"
#include "platform/crypto.h"
#include "platform/files.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
// windows.h maps ReplaceFile onto the system's ReplaceFileW; here it is the
// file seam's.
#undef ReplaceFile
#endif

enum ExitStatus {
    ExitWritten = 0,  // the manifest is on standard output
    ExitFailed = 1,   // refused paths, unreadable folders, DIR missing, OLD_MANIFEST refused, write failed
    ExitUsage = 64,   // bad arguments
};

// Longest relative path the walk builds (bytes, terminator included); far
// beyond what the launcher takes, so the refusal can say how long it was.
constexpr int RelativePathBytes = ExactUtf8Bytes;
// Below this many units left for the game folder a path gets a warning:
// players with deeper game folders cannot install it.
constexpr int RoomyFolderUnits = 100;
constexpr int ShownBytes = ShownTextBytes;  // a path with its escapes

static const char ManifestName[] = "manifest.txt";
static const char ConfigurationName[] = "launcher.ini";
static const char StateName[] = "launcher.state";  // the newest signed manifest each player applied
static const char HashesName[] = "launcher.hashes";  // the hashes of each player's own files

static const char UsageText[] =
    "usage: launcher-manifest [--sha256] [--chunks OUTDIR] [--previous OLD_MANIFEST]\n"
    "                         DIR BASE_URL\n"
    "       launcher-manifest --version | --help\n"
    "\n"
    "Writes to standard output the manifest of every regular file below DIR, one\n"
    "line per file: \"relative/path|size|URL\". The path has '/' between folders,\n"
    "the size is in bytes, and the URL is BASE_URL, one '/', then the path with\n"
    "every byte except A-Z a-z 0-9 - . _ ~ and '/' percent-encoded. Lines are\n"
    "sorted by the bytes of the UTF-8 path (so 'B' before 'a', 'a-b' before 'a/b').\n"
    "Hidden files are listed like any other. The first line is exactly\n"
    "\"#launcher-manifest entries=N\" and the last \"#end entries=N\", N the number of\n"
    "lines between them: the launcher skips both as comments, and they let it\n"
    "notice a manifest cut off in transit.\n"
    "\n"
    "  DIR        the folder whose files players download\n"
    "  BASE_URL   the http:// or https:// URL DIR's contents are served from\n"
    "  --sha256   end every URL in \"#sha256=\" and the file's SHA-256 (64 lowercase\n"
    "             hex digits): the launcher then refuses a download that differs,\n"
    "             and launcher-patch --verify finds changed files; the fragment is\n"
    "             never sent to the server\n"
    "  --chunks OUTDIR\n"
    "             implies --sha256, and also writes, for every listed file of at\n"
    "             least 1 MiB, its chunk index to OUTDIR/<path>.chunks (folders\n"
    "             are created). Upload OUTDIR's contents beside the files, so the\n"
    "             index of a file is at its URL with \".chunks\" added to the path:\n"
    "             a launcher with an old copy then fetches only the changed parts.\n"
    "             The manifest is the same as with --sha256 alone. Each index is\n"
    "             written under a temporary name and renamed when whole, so a\n"
    "             failed run leaves no half index (earlier ones stay). OUTDIR may\n"
    "             not be DIR; when it is inside DIR it is left out of the walk\n"
    "  --previous OLD_MANIFEST\n"
    "             the manifest published last: every path it lists (its -1 lines\n"
    "             too) that is no longer below DIR gets a line \"path|-1|\" after\n"
    "             the files' lines, in OLD_MANIFEST's order, once each, so the\n"
    "             launcher removes that file even for players who skipped releases.\n"
    "             Paths match as the launcher matches them: '/' and '\\' alike,\n"
    "             repeated ones as one, letter case ignored on Windows and exact\n"
    "             elsewhere. Left out with a note: launcher.ini at the top (never\n"
    "             removed) and paths the launcher refuses. OLD_MANIFEST must be a\n"
    "             whole manifest of this tool (the counted first and last lines\n"
    "             agree), or nothing is written\n"
    "  --version  show the version\n"
    "  --help     show this text\n"
    "\n"
    "Left out, each with a note on standard error: files named manifest.txt (any\n"
    "letter case, at any depth), launcher.ini, launcher.state and launcher.hashes at\n"
    "the top of DIR (any letter case; they would overwrite every player's own: their\n"
    "User and ManifestKey, the newest signed manifest they applied, the hashes of\n"
    "their files),\n"
    "symbolic links (folder links are not entered), Windows junctions and other\n"
    "reparse points, sockets, fifos and devices. The file standard output is\n"
    "redirected to is left out silently, so '> DIR/download/manifest.txt.new' is\n"
    "safe.\n"
    "\n"
    "A file whose path the launcher would refuse stops the run: not UTF-8, a '\\',\n"
    "one of <>:\"|?*, a control character, a reserved device name (CON, NUL, COM1,\n"
    "CONIN$, ...), a name ending in a dot or a space, a '#' first (the launcher\n"
    "reads such a line as a comment), a path over 511 UTF-16 units (the most a\n"
    "manifest line holds) or a URL over 699. Each such file is named on standard\n"
    "error and nothing is printed. Paths that leave less than 100 units for the\n"
    "game folder get a warning.\n"
    "\n"
    "Exit status: 0 manifest written, 1 refused paths, an unreadable folder, DIR\n"
    "missing or not a folder, an unreadable or refused OLD_MANIFEST, or a failed\n"
    "write, 64 bad arguments.\n";

static void Note(const char *format, ...) {
    va_list args;
    va_start(args, format);
    fputs("launcher-manifest: ", stderr);
    vfprintf(stderr, format, args);
    fputc('\n', stderr);
    va_end(args);
}

static int UsageError(const char *problem) {
    fprintf(stderr, "launcher-manifest: %s\n\n%s", problem, UsageText);
    return ExitUsage;
}

// A name fit for one line of a message (ShownBytes), escaped by the rule
// both tools print by (ShownText).
static const char *Shown(const char *text, char *out) { return ShownText(text, out, ShownBytes); }

// ---- Growing storage --------------------------------------------------------

struct Growable {
    char *bytes;
    size_t used;      // bytes
    size_t capacity;  // bytes
};

static bool Append(Growable *store, const void *data, size_t size) {
    if (store->used + size > store->capacity) {
        size_t capacity = store->capacity < 4096 ? 4096 : store->capacity;
        while (capacity < store->used + size) capacity *= 2;
        char *grown = static_cast<char *>(realloc(store->bytes, capacity));
        if (grown == nullptr) return false;
        store->bytes = grown;
        store->capacity = capacity;
    }
    memcpy(store->bytes + store->used, data, size);
    store->used += size;
    return true;
}

static bool AppendText(Growable *store, const char *text) { return Append(store, text, strlen(text)); }

// ---- Paths ------------------------------------------------------------------

// "folder/relative" (UTF-8) as a path for the file functions, in wide
// (units long) with the platform's separators; false when it does not fit.
static bool JoinedPath(const char *folder, const char *relative, WideChar *wide, int units) {
    char path[RelativePathBytes * 2];
    int length = snprintf(path, sizeof path, "%s/%s", folder, relative);
    if (length < 0 || length >= int(sizeof path) || !Utf8ToText(path, wide, units)) return false;
#ifdef _WIN32
    for (WideChar *p = wide; *p != 0; p++)
        if (*p == '/') *p = '\\';
#endif
    return true;
}

// ---- The walk ---------------------------------------------------------------

struct ListedFile {
    size_t pathAt;  // offset of the zero-terminated UTF-8 path in Walk::paths
    int64_t size;   // bytes
};

struct Walk {
    const char *root;           // DIR as given
    int baseUnits;              // UTF-16 units of BASE_URL without its trailing '/'
    const char *folder;         // relative path of the folder being listed, "" for DIR
    const char *chunksRoot;     // OUTDIR of --chunks, left out of the walk; nullptr without
    Growable folders;           // queue of zero-terminated relative folder paths
    Growable paths;             // zero-terminated relative paths of listed files
    Growable files;             // ListedFile records
    bool refused;               // a path the launcher would refuse was found
    bool outOfMemory;
};

static void AddFile(Walk *walk, const char *path, int64_t size, const char *name) {
    static char shown[ShownBytes];
    if (NameIs(name, ManifestName)) {
        Note("not listing '%s': files named %s are left out", Shown(path, shown), ManifestName);
        return;
    }
    // The launcher keeps the player's own settings there: a published one
    // would overwrite every player's User and ManifestKey.
    // The same holds for the record of the newest signed manifest applied,
    // and for the hashes of the player's own files.
    for (const char *own : {ConfigurationName, StateName, HashesName})
        if (walk->folder[0] == 0 && NameIs(name, own)) {
            Note("not listing '%s': %s at the top is each player's own and is left out", Shown(path, shown), own);
            return;
        }
    char reason[RefusalReasonBytes];
    static WideChar wide[RelativePathBytes];
    const char *refusal = ManifestPathRefusal(path, walk->baseUnits, wide, reason);
    if (refusal != nullptr) {
        Note("refusing '%s': %s", Shown(path, shown), refusal);
        walk->refused = true;
        return;
    }
    // A game folder the launcher has run in may hold partial downloads:
    // never files to publish.
    if (NamesTemporaryFile(wide)) {
        Note("not listing '%s': the launcher's partial downloads are left out", Shown(path, shown));
        return;
    }
    int folderRoom = LocalPathUnits - 2 - TextLength(wide);
    if (folderRoom < RoomyFolderUnits)
        Note("warning: '%s' fits only game folders of at most %d UTF-16 units", Shown(path, shown), folderRoom);
    ListedFile file = {walk->paths.used, size};
    if (!Append(&walk->paths, path, strlen(path) + 1) || !Append(&walk->files, &file, sizeof file))
        walk->outOfMemory = true;
}

// Whether the folder at the relative path is OUTDIR of --chunks, however
// either is spelled.
static bool IsChunksFolder(const Walk *walk, const char *path) {
    static WideChar folder[RelativePathBytes * 2], chunks[RelativePathBytes * 2];
    return walk->chunksRoot != nullptr && JoinedPath(walk->root, path, folder, RelativePathBytes * 2) &&
           JoinedPath(walk->chunksRoot, ".", chunks, RelativePathBytes * 2) && SameFileAt(folder, chunks);
}

static void VisitEntry(void *context, const FolderEntry *entry) {
    Walk *walk = static_cast<Walk *>(context);
    static char path[RelativePathBytes];
    static char shown[ShownBytes], shownName[ShownBytes];
    int length = walk->folder[0] == 0 ? snprintf(path, sizeof path, "%s", entry->name)
                                      : snprintf(path, sizeof path, "%s/%s", walk->folder, entry->name);
    if (length < 0 || length >= int(sizeof path)) {
        Note("refusing '%s/%s': the path is far too long for the launcher", Shown(walk->folder, shown),
             Shown(entry->name, shownName));
        walk->refused = true;
        return;
    }
    switch (entry->kind) {
    case EntryFolder:
        if (IsChunksFolder(walk, path)) {
            Note("not listing '%s': the chunk indexes are written there", Shown(path, shown));
            break;
        }
        if (!Append(&walk->folders, path, size_t(length) + 1)) walk->outOfMemory = true;
        break;
    case EntryLink:
        Note("skipping link '%s': links are neither listed nor followed", Shown(path, shown));
        break;
    case EntryOther:
        Note("skipping '%s': not a regular file", Shown(path, shown));
        break;
    case EntryFile:
        if (entry->isStandardOutput) break;  // the manifest being written
        if (!entry->nameExact) {
            Note("refusing '%s': its name is not valid Unicode", Shown(path, shown));
            walk->refused = true;
            break;
        }
        AddFile(walk, path, entry->size, entry->name);
        break;
    }
}

// Lists every folder below the root, breadth first from a queue, so deep
// trees need neither recursion nor one open folder handle per level.
// False when a folder could not be read (already reported).
static bool WalkTree(Walk *walk) {
    static char folder[RelativePathBytes];
    static char shown[ShownBytes];
    if (!Append(&walk->folders, "", 1)) {
        walk->outOfMemory = true;
        return false;
    }
    for (size_t at = 0; at < walk->folders.used && !walk->outOfMemory;) {
        // Copied out: visiting entries may move the queue's storage.
        snprintf(folder, sizeof folder, "%s", walk->folders.bytes + at);
        at += strlen(folder) + 1;
        walk->folder = folder;
        char why[RelativePathBytes + 128];
        if (!ListFolder(walk->root, folder, VisitEntry, walk, why, int(sizeof why))) {
            static char shownWhy[ShownBytes];  // it may name an entry
            Note("cannot read the folder '%s': %s", Shown(folder[0] == 0 ? walk->root : folder, shown),
                 Shown(why, shownWhy));
            return false;
        }
    }
    return !walk->outOfMemory;
}

// ---- Output -----------------------------------------------------------------

static bool AsciiFoldedLess(const char *a, const char *b) {
    for (;; a++, b++) {
        unsigned char x = (unsigned char)*a, y = (unsigned char)*b;
        if (x >= 'A' && x <= 'Z') x = (unsigned char)(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = (unsigned char)(y - 'A' + 'a');
        if (x != y || x == 0) return x < y;
    }
}

// Windows players' folders ignore letter case: two paths that differ only
// in it would overwrite each other there on every patch pass.
static void WarnAboutCaseTwins(const char *pathText, const ListedFile *files, size_t count) {
    const char **folded = static_cast<const char **>(malloc(count * sizeof *folded + 1));
    if (folded == nullptr) return;  // only a warning is lost
    for (size_t i = 0; i < count; i++) folded[i] = pathText + files[i].pathAt;
    std::sort(folded, folded + count, AsciiFoldedLess);
    static char first[ShownBytes], second[ShownBytes];
    for (size_t i = 1; i < count; i++)
        if (!AsciiFoldedLess(folded[i - 1], folded[i]))
            Note("warning: '%s' and '%s' differ only in letter case; on Windows they are one file",
                 Shown(folded[i - 1], first), Shown(folded[i], second));
    free(folded);
}

// ---- The previous manifest -------------------------------------------------

// The whole file at path (UTF-8) into text, zero-terminated; false
// (reported in one line) when it cannot be read.
static bool ReadPreviousManifest(const char *path, Growable *text) {
    static WideChar wide[ExactUtf8Bytes];
    static char buffer[1 << 16];
    static char shown[ShownBytes];
    bool named = Utf8ToText(path, wide, ExactUtf8Bytes);
    FileHandle file = named ? OpenFileForReading(wide) : NoFile;
    if (file == NoFile) {
        Note(named && !PathExists(wide) ? "no such previous manifest: %s"
                                        : "cannot read the previous manifest '%s': it cannot be opened as a file",
             Shown(path, shown));
        return false;
    }
    int got;
    bool stored = true;
    while (stored && (got = ReadFromFile(file, buffer, int(sizeof buffer))) > 0) stored = Append(text, buffer, size_t(got));
    CloseFile(file);
    if (stored && got == 0 && Append(text, "", 1)) return true;
    Note(stored ? "cannot read the previous manifest '%s': a read failed" : "out of memory reading '%s'",
         Shown(path, shown));
    return false;
}

// A path of the previous manifest that is not listed any more.
struct Removal {
    size_t pathAt;  // of its zero-terminated UTF-8 path in Walk::paths
    size_t keyAt;   // of its RelativePathKey in the removals' key store
    size_t order;   // among the removals, in the previous manifest's order
};

// The listed files' keys (RelativePathKey) in strcmp order, pointing into
// store; nullptr when out of memory.
static const char **SortedListedKeys(const Walk *walk, size_t listedCount, Growable *store) {
    static char key[ExactUtf8Bytes];
    const ListedFile *files = reinterpret_cast<const ListedFile *>(walk->files.bytes);
    size_t *offsets = static_cast<size_t *>(malloc(listedCount * sizeof *offsets + 1));
    const char **keys = static_cast<const char **>(malloc(listedCount * sizeof *keys + 1));
    bool stored = offsets != nullptr && keys != nullptr;
    for (size_t i = 0; i < listedCount && stored; i++) {
        offsets[i] = store->used;
        // A listed path always fits: the walk refused longer ones.
        stored = RelativePathKey(walk->paths.bytes + files[i].pathAt, key) && Append(store, key, strlen(key) + 1);
    }
    for (size_t i = 0; i < listedCount && stored; i++) keys[i] = store->bytes + offsets[i];
    free(offsets);
    if (!stored) {
        free(keys);
        return nullptr;
    }
    std::sort(keys, keys + listedCount, [](const char *a, const char *b) { return strcmp(a, b) < 0; });
    return keys;
}

// Reads the previous manifest's lines into removals: every path no listed
// file takes (see KeyCollidesWithListed), with the path appended to
// walk->paths and its key to keyStore. Paths that are unsafe or name the
// top launcher.ini are left out with a note.
static bool CollectRemovals(Walk *walk, const char *const *listedKeys, size_t listedCount, char *text,
                            Growable *removals, Growable *keyStore) {
    static char path[ExactUtf8Bytes], key[ExactUtf8Bytes];
    static char shown[ShownBytes];
    bool stored = true;
    for (char *line = text; line != nullptr && *line != 0 && stored;) {
        char *next = CutManifestLine(line);
        switch (ReadPreviousLine(line, path)) {
        case PreviousNoEntry: break;
        case PreviousConfiguration:
            Note("not listing '%s' from the previous manifest: %s at the top is never removed", Shown(path, shown),
                 ConfigurationName);
            break;
        case PreviousUnsafe:
            Note("not listing '%s' from the previous manifest: the launcher refuses that path", Shown(line, shown));
            break;
        case PreviousPath: {
            if (!RelativePathKey(path, key) || KeyCollidesWithListed(listedKeys, listedCount, key)) break;
            Removal removal = {walk->paths.used, keyStore->used, removals->used / sizeof(Removal)};
            stored = Append(&walk->paths, path, strlen(path) + 1) && Append(keyStore, key, strlen(key) + 1) &&
                     Append(removals, &removal, sizeof removal);
            break;
        }
        }
        line = next;
    }
    return stored;
}

// Appends a file of size -1 to walk->files for every path of the previous
// manifest (zero-terminated text, cut up here) that the walk did not list:
// after the listed files, in the previous manifest's order, each file once
// however the previous manifest spelled it. False when out of memory.
static bool AddRemovals(Walk *walk, size_t listedCount, char *text) {
    Growable listedKeyStore = {}, removalStore = {}, keyStore = {};
    const char **listedKeys = SortedListedKeys(walk, listedCount, &listedKeyStore);
    bool stored = listedKeys != nullptr &&
                  CollectRemovals(walk, listedKeys, listedCount, text, &removalStore, &keyStore);
    size_t count = removalStore.used / sizeof(Removal);
    Removal *removals = reinterpret_cast<Removal *>(removalStore.bytes);
    const char *keys = keyStore.bytes;
    // Spellings of one file end up side by side, the first one written first.
    std::sort(removals, removals + count, [keys](const Removal &a, const Removal &b) {
        int order = strcmp(keys + a.keyAt, keys + b.keyAt);
        return order != 0 ? order < 0 : a.order < b.order;
    });
    size_t kept = 0;
    for (size_t i = 0; i < count; i++)
        if (i == 0 || strcmp(keys + removals[i].keyAt, keys + removals[kept - 1].keyAt) != 0)
            removals[kept++] = removals[i];
    std::sort(removals, removals + kept, [](const Removal &a, const Removal &b) { return a.order < b.order; });
    for (size_t i = 0; i < kept && stored; i++) {
        ListedFile file = {removals[i].pathAt, -1};
        stored = Append(&walk->files, &file, sizeof file);
    }
    free(listedKeys);
    free(listedKeyStore.bytes);
    free(removalStore.bytes);
    free(keyStore.bytes);
    return stored;
}

// ---- Hashes -----------------------------------------------------------------

constexpr int HashReadBytes = 1 << 20;  // read at a time by each hashing thread
constexpr int MaxHashThreads = 8;

struct Hashing {
    const char *root;
    const char *pathText;
    const ListedFile *files;
    size_t count;
    uint8_t (*digests)[Sha256Bytes];  // one per file, in the files' order
    const char *chunksRoot;           // OUTDIR of --chunks; nullptr without
    std::atomic<size_t> next;         // the next file a thread takes
    std::atomic<bool> failed;
};

// One file being read: every byte read goes into its SHA-256, and with
// --chunks the chunks cut from it into records.
struct FileRead {
    FileHandle file;
    Sha256Run *run;
    int64_t read;          // bytes
    bool failed;           // a read failed
    Growable records;      // ChunkRecord, in file order
};

// With --chunks a large file goes through three threads at once, so that
// its two kinds of digest and its cutting share the cores: this thread
// reads each block into a slot of a ring and finds the cut points in it,
// one helper adds the block to the file's SHA-256, another to the chunks'
// own SHA-256s, ending one at each cut point. A slot is read into again
// once both helpers have let it go; the bytes are read once and never
// copied. Four slots of a full read give each thread room to run ahead
// of the others rather than wait on them at every block (with slots a
// quarter of this, bench/delta.py case (d) took about 10% longer).
constexpr int RingSlots = 4;
constexpr size_t SlotBytes = HashReadBytes;
constexpr size_t RingBytes = RingSlots * SlotBytes;  // the hashing thread's buffer with --chunks
// Every chunk but the last is longer than ChunkMinBytes, so a slot holds
// at most this many cut points (the first may end a chunk begun earlier).
constexpr int MostCutsInSlot = int(SlotBytes / ChunkMinBytes) + 1;

struct Ring {
    std::mutex lock;
    std::condition_variable handedOn;  // a block was handed over, or the reading finished
    std::condition_variable freed;     // a slot was let go by both helpers
    uint8_t *slots[RingSlots];                 // SlotBytes each
    size_t filled[RingSlots];                  // bytes read into each slot
    uint32_t cuts[RingSlots][MostCutsInSlot];  // where chunks end in each slot, bytes from its start
    int cutCount[RingSlots];
    int holders[RingSlots];                    // helpers yet to let each slot go
    uint64_t handedOver;                       // blocks handed over; block n is in slot n % RingSlots
    bool finished;                             // no more blocks will come
};

// Waits for block n; false when the reading finished before it.
static bool AwaitBlock(Ring *ring, uint64_t n) {
    std::unique_lock<std::mutex> held(ring->lock);
    ring->handedOn.wait(held, [&] { return ring->handedOver > n || ring->finished; });
    return ring->handedOver > n;
}

static void LetGo(Ring *ring, int slot) {
    bool unheld;
    {
        std::lock_guard<std::mutex> held(ring->lock);
        unheld = --ring->holders[slot] == 0;
    }
    if (unheld) ring->freed.notify_one();
}

static void FileDigestThread(Ring *ring, Sha256Run *run) {
    for (uint64_t n = 0; AwaitBlock(ring, n); n++) {
        int slot = int(n % RingSlots);
        Sha256Add(run, ring->slots[slot], ring->filled[slot]);
        LetGo(ring, slot);
    }
}

// The chunk helper's own state; records is read once it has been joined.
struct ChunkDigests {
    Ring *ring;
    Sha256Run *run;    // the chunk being hashed; restarted at each cut
    int64_t start;     // of that chunk in the file, bytes
    int64_t offset;    // of the next block in the file, bytes
    Growable records;  // ChunkRecord, in file order
    bool failed;       // out of memory, or the library gave no digest
};

static void EndChunk(ChunkDigests *digests, int64_t end) {
    uint8_t digest[Sha256Bytes];
    ChunkRecord record = {digests->start, uint32_t(end - digests->start), {}};
    bool ended = Sha256Take(digests->run, digest);
    memcpy(record.hash, digest, ChunkHashBytes);
    if (!ended || !Append(&digests->records, &record, sizeof record)) digests->failed = true;
    digests->start = end;
}

static void ChunkDigestThread(ChunkDigests *digests) {
    Ring *ring = digests->ring;
    for (uint64_t n = 0; AwaitBlock(ring, n); n++) {
        int slot = int(n % RingSlots);
        const uint8_t *bytes = ring->slots[slot];
        size_t at = 0;
        for (int i = 0; i < ring->cutCount[slot]; i++) {
            Sha256Add(digests->run, bytes + at, ring->cuts[slot][i] - at);
            at = ring->cuts[slot][i];
            EndChunk(digests, digests->offset + int64_t(at));
        }
        Sha256Add(digests->run, bytes + at, ring->filled[slot] - at);
        digests->offset += int64_t(ring->filled[slot]);
        LetGo(ring, slot);
    }
    if (digests->start < digests->offset) EndChunk(digests, digests->offset);  // the rest is the last chunk
}

// Reads the file block by block into the ring, cutting each block, until
// its end or a read failure; then tells the helpers no more will come.
static void ReadIntoRing(FileRead *reading, Ring *ring) {
    ChunkCutter cutter = {0, 0};
    for (uint64_t n = 0;; n++) {
        int slot = int(n % RingSlots);
        {
            std::unique_lock<std::mutex> held(ring->lock);
            ring->freed.wait(held, [&] { return ring->holders[slot] == 0; });
        }
        uint8_t *bytes = ring->slots[slot];
        int got = ReadFromFile(reading->file, bytes, int(SlotBytes));
        if (got <= 0) {
            reading->failed = got < 0;
            break;
        }
        reading->read += got;
        int cuts = 0;
        for (size_t at = 0; at < size_t(got);) {
            at += ChunkCutterTake(&cutter, bytes + at, size_t(got) - at);
            if (cutter.taken == 0) ring->cuts[slot][cuts++] = uint32_t(at);
        }
        {
            std::lock_guard<std::mutex> held(ring->lock);
            ring->filled[slot] = size_t(got);
            ring->cutCount[slot] = cuts;
            ring->holders[slot] = 2;
            ring->handedOver = n + 1;
        }
        ring->handedOn.notify_all();
    }
    {
        std::lock_guard<std::mutex> held(ring->lock);
        ring->finished = true;
    }
    ring->handedOn.notify_all();
}

// Reads the whole file into reading->run, cutting chunks into
// reading->records when chunked; buffer is RingBytes then, else
// HashReadBytes. False when a read failed, out of memory, or the library
// could not start a digest.
static bool ReadListedFile(FileRead *reading, bool chunked, char *buffer) {
    uint8_t *bytes = reinterpret_cast<uint8_t *>(buffer);
    if (!chunked) {
        int got;
        while ((got = ReadFromFile(reading->file, bytes, HashReadBytes)) > 0) {
            Sha256Add(reading->run, bytes, size_t(got));
            reading->read += got;
        }
        reading->failed = got < 0;
        return got == 0;
    }
    ChunkDigests digests = {nullptr, Sha256Begin(), 0, 0, {}, false};
    if (digests.run == nullptr) return false;
    Ring ring;
    for (int i = 0; i < RingSlots; i++) {
        ring.slots[i] = bytes + i * SlotBytes;
        ring.holders[i] = 0;
    }
    ring.handedOver = 0;
    ring.finished = false;
    digests.ring = &ring;
    std::thread fileHelper(FileDigestThread, &ring, reading->run);
    std::thread chunkHelper(ChunkDigestThread, &digests);
    ReadIntoRing(reading, &ring);
    fileHelper.join();
    chunkHelper.join();
    Sha256Abandon(digests.run);
    reading->records = digests.records;
    return !reading->failed && !digests.failed;
}

// Writes the index of a file of size bytes and digest from its records
// to OUTDIR/<relative>.chunks, through "<that>.part" renamed when whole, its
// folders created first. buffer (HashReadBytes) gathers the records so
// that they go out in few writes. False (reported) when it could not be
// written.
static bool WriteChunkIndex(const char *chunksRoot, const char *relative, int64_t size,
                            const uint8_t digest[Sha256Bytes], const Growable *records, char *buffer) {
    char indexPath[RelativePathBytes + 16], partPath[RelativePathBytes + 24], shown[ShownBytes];
    WideChar target[RelativePathBytes * 2], part[RelativePathBytes * 2], folder[RelativePathBytes * 2];
    snprintf(indexPath, sizeof indexPath, "%s.chunks", relative);
    snprintf(partPath, sizeof partPath, "%s.chunks.part", relative);
    for (char *slash = strchr(indexPath, '/'); slash != nullptr; slash = strchr(slash + 1, '/')) {
        *slash = 0;
        if (JoinedPath(chunksRoot, indexPath, folder, RelativePathBytes * 2)) CreateFolder(folder);
        *slash = '/';
    }
    size_t count = records->used / sizeof(ChunkRecord);
    ChunkIndexHeader header = {size, {}, uint32_t(count)};
    memcpy(header.fileSha256, digest, Sha256Bytes);
    uint8_t *bytes = reinterpret_cast<uint8_t *>(buffer);
    WriteChunkIndexHeader(&header, bytes);
    bool named = JoinedPath(chunksRoot, indexPath, target, RelativePathBytes * 2) &&
                 JoinedPath(chunksRoot, partPath, part, RelativePathBytes * 2);
    if (named) RemoveFile(part);  // left by a run that was stopped
    FileHandle file = named ? CreateFileForWriting(part) : NoFile;
    const ChunkRecord *record = reinterpret_cast<const ChunkRecord *>(records->bytes);
    size_t held = ChunkIndexHeaderBytes;  // bytes gathered in buffer
    bool written = file != NoFile;
    for (size_t i = 0; i <= count && written; i++) {
        if (i == count || held + ChunkRecordBytes > size_t(HashReadBytes)) {
            written = WriteToFile(file, bytes, int(held));
            held = 0;
        }
        if (i < count) {
            WriteChunkRecord(&record[i], bytes + held);
            held += ChunkRecordBytes;
        }
    }
    written = written && FlushFile(file);
    if (file != NoFile) CloseFile(file);
    if (written && ReplaceFile(part, target)) return true;
    if (file != NoFile) RemoveFile(part);
    Note(file == NoFile ? "cannot write the chunk index of '%s': '%s.part' cannot be created"
                        : "cannot write the chunk index of '%s': writing or renaming '%s.part' failed",
         Shown(relative, shown), indexPath);
    return false;
}

// Hashes file number index, and writes its chunk index when --chunks asks
// for one; false (reported) when it cannot be read whole or its size
// changed since it was listed: its line would then lie. Runs on every
// hashing thread at once: each call has buffers of its own, and so do the
// calls it makes (Shown and what it uses).
static bool HashListedFile(Hashing *hashing, size_t index, char *buffer) {
    WideChar wide[RelativePathBytes * 2];
    char shown[ShownBytes];
    const char *relative = hashing->pathText + hashing->files[index].pathAt;
    int64_t size = hashing->files[index].size;
    if (!JoinedPath(hashing->root, relative, wide, RelativePathBytes * 2)) {
        Note("cannot hash '%s': the path is too long", Shown(relative, shown));
        return false;
    }
    FileRead reading = {OpenFileForReading(wide), nullptr, 0, false, {}};
    reading.run = reading.file == NoFile ? nullptr : Sha256Begin();
    bool chunked = hashing->chunksRoot != nullptr && size >= ChunkedFileMinBytes;
    bool whole = reading.run != nullptr && ReadListedFile(&reading, chunked, buffer) && reading.read == size;
    CloseFile(reading.file);
    if (!whole) {
        Sha256Abandon(reading.run);
        free(reading.records.bytes);
        Note(reading.file == NoFile ? "cannot hash '%s': it cannot be opened"
             : reading.failed || reading.read != size
                 ? "cannot hash '%s': it could not be read, or it changed while it was listed"
                 : "cannot hash '%s': out of memory",
             Shown(relative, shown));
        return false;
    }
    bool done = Sha256End(reading.run, hashing->digests[index]) &&
                (!chunked || WriteChunkIndex(hashing->chunksRoot, relative, size, hashing->digests[index],
                                             &reading.records, buffer));
    free(reading.records.bytes);
    return done;
}

static void HashingThread(Hashing *hashing) {
    char *buffer = static_cast<char *>(malloc(hashing->chunksRoot != nullptr ? RingBytes : HashReadBytes));
    if (buffer == nullptr) {
        hashing->failed = true;
        return;
    }
    for (;;) {
        size_t index = hashing->next++;
        if (index >= hashing->count || hashing->failed) break;
        if (!HashListedFile(hashing, index, buffer)) hashing->failed = true;
    }
    free(buffer);
}

// Every listed file's SHA-256, one thread per core (the last one is this
// thread). False when a file could not be hashed (reported).
static bool HashListedFiles(Hashing *hashing) {
    unsigned cores = std::thread::hardware_concurrency();
    size_t threads = cores == 0 ? 2 : cores > MaxHashThreads ? MaxHashThreads : cores;
    if (threads > hashing->count) threads = hashing->count == 0 ? 1 : hashing->count;
    std::thread helpers[MaxHashThreads];
    for (size_t i = 0; i + 1 < threads; i++) helpers[i] = std::thread(HashingThread, hashing);
    HashingThread(hashing);
    for (size_t i = 0; i + 1 < threads; i++) helpers[i].join();
    return !hashing->failed;
}

// ---- Entry ------------------------------------------------------------------

// Creates OUTDIR of --chunks (one level) and checks it is a folder other
// than DIR; false (reported) when it cannot serve.
static bool PrepareChunksFolder(const char *chunksRoot, const char *root) {
    static WideChar chunks[RelativePathBytes * 2], top[RelativePathBytes * 2];
    static char shown[ShownBytes];
    if (!JoinedPath(chunksRoot, ".", chunks, RelativePathBytes * 2) || !JoinedPath(root, ".", top, RelativePathBytes * 2)) {
        Note("the folder '%s' has too long a name", Shown(chunksRoot, shown));
        return false;
    }
    static WideChar named[RelativePathBytes * 2];
    if (Utf8ToText(chunksRoot, named, RelativePathBytes * 2)) CreateFolder(named);
    if (!IsExistingFolder(chunksRoot)) {
        Note("cannot create the chunk index folder '%s'", Shown(chunksRoot, shown));
        return false;
    }
    if (SameFileAt(chunks, top)) {
        Note("the chunk index folder '%s' is DIR itself: name another one", Shown(chunksRoot, shown));
        return false;
    }
    return true;
}

static int ToolMain(int argc, char **argv) {
    const char *operands[2];
    int count = 0;
    bool withHashes = false;
    const char *previous = nullptr;
    const char *chunksRoot = nullptr;
    for (int i = 1; i < argc; i++) {
        const char *arg = argv[i];
        if (strcmp(arg, "--chunks") == 0 || strncmp(arg, "--chunks=", 9) == 0) {
            chunksRoot = arg[8] == '=' ? arg + 9 : i + 1 < argc ? argv[++i] : nullptr;
            if (chunksRoot == nullptr || chunksRoot[0] == 0) return UsageError("--chunks needs the folder OUTDIR");
            withHashes = true;
            continue;
        }
        if (strcmp(arg, "--previous") == 0 || strncmp(arg, "--previous=", 11) == 0) {
            previous = arg[10] == '=' ? arg + 11 : i + 1 < argc ? argv[++i] : nullptr;
            if (previous == nullptr || previous[0] == 0) return UsageError("--previous needs the previous manifest");
            continue;
        }
        if (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0) {
            fputs(UsageText, stdout);
            return ExitWritten;
        }
        if (strcmp(arg, "--version") == 0) {
            char version[16];
            TextToUtf8(LauncherVersion, version, int(sizeof version));
            printf("launcher-manifest %s\n", version);
            return ExitWritten;
        }
        if (strcmp(arg, "--sha256") == 0) {
            withHashes = true;
            continue;
        }
        if (arg[0] == '-' && arg[1] != 0) {
            static char problem[ShownBytes + 64];
            static char shown[ShownBytes];
            snprintf(problem, sizeof problem, "unknown option '%s' (name a folder '-x' as ./-x)",
                     Shown(arg, shown));
            return UsageError(problem);
        }
        if (count == 2) return UsageError("too many arguments");
        operands[count++] = arg;
    }
    if (count < 2) return UsageError("say DIR and BASE_URL");

    static char base[RelativePathBytes];
    Walk walk = {};
    int baseLength = 0;
    const char *baseProblem = BaseUrlProblem(operands[1], &baseLength, &walk.baseUnits);
    if (baseProblem != nullptr) return UsageError(baseProblem);
    snprintf(base, sizeof base, "%.*s", baseLength, operands[1]);

    walk.root = operands[0];
    if (!IsExistingFolder(walk.root)) {
        static char shownRoot[ShownBytes];
        static WideChar wideRoot[ExactUtf8Bytes];
        bool missing = Utf8ToText(walk.root, wideRoot, ExactUtf8Bytes) && !PathExists(wideRoot);
        Note(missing ? "no such folder: %s" : "'%s' is not a folder", Shown(walk.root, shownRoot));
        return ExitFailed;
    }
    if (chunksRoot != nullptr && !PrepareChunksFolder(chunksRoot, walk.root)) return ExitFailed;
    walk.chunksRoot = chunksRoot;
    Growable previousText = {};
    if (previous != nullptr) {
        if (!ReadPreviousManifest(previous, &previousText)) return ExitFailed;
        char reason[ManifestReasonBytes];
        const char *problem = PreviousManifestProblem(previousText.bytes, reason);
        if (problem != nullptr) {
            static char shownPrevious[ShownBytes], shownProblem[ShownBytes];
            Note("'%s' is not a whole manifest of this tool: %s", Shown(previous, shownPrevious),
                 Shown(problem, shownProblem));
            return ExitFailed;
        }
    }
    bool walked = WalkTree(&walk);
    if (walk.outOfMemory) Note("out of memory");
    if (!walked || walk.refused) {
        if (walk.refused) Note("nothing written: the launcher would refuse the files named above");
        return ExitFailed;
    }

    size_t listedCount = walk.files.used / sizeof(ListedFile);
    ListedFile *files = reinterpret_cast<ListedFile *>(walk.files.bytes);
    const char *pathText = walk.paths.bytes;
    // strcmp compares as unsigned char: plain byte order of the UTF-8 paths.
    std::sort(files, files + listedCount, [pathText](const ListedFile &a, const ListedFile &b) {
        return strcmp(pathText + a.pathAt, pathText + b.pathAt) < 0;
    });
    if (previous != nullptr && !AddRemovals(&walk, listedCount, previousText.bytes)) {
        Note("out of memory");
        return ExitFailed;
    }
    size_t fileCount = walk.files.used / sizeof(ListedFile);
    files = reinterpret_cast<ListedFile *>(walk.files.bytes);
    pathText = walk.paths.bytes;
    WarnAboutCaseTwins(pathText, files, fileCount);

    uint8_t (*digests)[Sha256Bytes] = nullptr;
    if (withHashes) {
        digests = static_cast<uint8_t (*)[Sha256Bytes]>(malloc(listedCount * Sha256Bytes + 1));
        if (digests == nullptr) {
            Note("out of memory");
            return ExitFailed;
        }
        Hashing hashing = {walk.root, pathText, files, listedCount, digests, chunksRoot, {0}, {false}};
        if (!HashListedFiles(&hashing)) {
            Note("nothing written: the files named above could not be hashed");
            return ExitFailed;
        }
    }

    // Counted first and last lines around the entries: the launcher can
    // then tell this manifest from one cut off in transit.
    Growable out = {};
    char frame[ManifestFrameBytes];
    FormatManifestFirstLine((long long)fileCount, frame);
    bool stored = AppendText(&out, frame);
    static char line[ManifestLineBytes];
    static char shownLine[ShownBytes];
    for (size_t i = 0; i < fileCount && stored; i++) {
        if (i >= listedCount) {  // a path of the previous manifest: the file must be gone
            snprintf(line, sizeof line, "%s|-1|\n", pathText + files[i].pathAt);
        } else if (!FormatManifestLine(pathText + files[i].pathAt, files[i].size, base, line,
                                       digests != nullptr ? digests[i] : nullptr)) {
            Note("the line of '%s' does not fit", Shown(pathText + files[i].pathAt, shownLine));
            return ExitFailed;
        }
        stored = AppendText(&out, line);
    }
    FormatManifestLastLine((long long)fileCount, frame);
    if (!stored || !AppendText(&out, frame)) {
        Note("out of memory");
        return ExitFailed;
    }
    if (fwrite(out.bytes, 1, out.used, stdout) != out.used || fflush(stdout) != 0) {
        Note("cannot write the manifest to standard output");
        return ExitFailed;
    }
    return ExitWritten;
}

#ifdef _WIN32
int wmain(int argc, wchar_t **argv) {
    SetConsoleOutputCP(CP_UTF8);
    // Lines end in a bare line feed on every platform.
    _setmode(_fileno(stdout), _O_BINARY);
    constexpr int MaxArgs = 16, ArgBytes = 4096;
    static char storage[MaxArgs][ArgBytes];
    static char *utf8[MaxArgs];
    if (argc > MaxArgs) return UsageError("too many arguments");
    for (int i = 0; i < argc; i++) {
        if (!TextToUtf8(argv[i], storage[i], ArgBytes)) return UsageError("an argument is too long");
        utf8[i] = storage[i];
    }
    return ToolMain(argc, utf8);
}
#else
int main(int argc, char **argv) { return ToolMain(argc, argv); }
#endif
