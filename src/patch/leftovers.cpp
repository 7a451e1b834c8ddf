// The end-of-pass sweep of stale temporaries, in bounded memory: see
// leftovers.h.
#include "patch/leftovers.h"

#include <cstdlib>

#include "patch/local_path.h"
#include "patch/manifest.h"
#include "patch/temporary.h"
#include "platform/files.h"

struct ListedFolder {
    uint64_t hash;             // of the folder's key
    const char *manifestPath;  // a listed file in it, as the manifest writes it
};

// FNV-1a over the folder part of a key (up to its last separator); false
// for a path without one.
static bool FolderHashOf(const WideChar *pathKey, uint64_t *hash) {
    int cut = TextLength(pathKey);
    while (cut > 0 && pathKey[cut - 1] != PathSeparator) cut--;
    if (cut <= 1) return false;
    uint64_t h = 14695981039346656037ull;
    for (int i = 0; i < cut - 1; i++) h = (h ^ uint64_t(uint16_t(pathKey[i]))) * 1099511628211ull;
    *hash = h;
    return true;
}

static uint64_t NameInFolder(uint64_t folderHash, uint64_t nameHash) {
    return folderHash ^ (nameHash * 0x9E3779B97F4A7C15ull + 0x632BE59BD9B4E019ull);
}

void BeginLeftoverSweep(LeftoverSweep *sweep, int64_t entries) {
    *sweep = LeftoverSweep{nullptr, nullptr, 0, 0, entries > 0 ? entries : 1, false};
    size_t count = size_t(sweep->capacity);
    if (int64_t(count) != sweep->capacity || count > SIZE_MAX / sizeof(ListedFolder)) return;
    sweep->names = static_cast<uint64_t *>(malloc(count * sizeof(uint64_t)));
    sweep->folders = static_cast<ListedFolder *>(malloc(count * sizeof(ListedFolder)));
    sweep->usable = sweep->names != nullptr && sweep->folders != nullptr;
}

void NoteListedFile(LeftoverSweep *sweep, const WideChar *localPath, const WideChar *pathKey,
                    const char *manifestPath) {
    uint64_t folder = 0;
    if (!sweep->usable || sweep->nameCount == sweep->capacity || !FolderHashOf(pathKey, &folder)) return;
    sweep->names[sweep->nameCount++] = NameInFolder(folder, TemporaryHashOf(localPath));
    // A manifest lists a folder's files one after another as a rule: noting
    // a folder once per run of them keeps the list short.
    if (sweep->folderCount > 0 && sweep->folders[sweep->folderCount - 1].hash == folder) return;
    sweep->folders[sweep->folderCount++] = ListedFolder{folder, manifestPath};
}

static int CompareNames(const void *a, const void *b) {
    uint64_t x = *static_cast<const uint64_t *>(a), y = *static_cast<const uint64_t *>(b);
    return x < y ? -1 : x > y;
}

static int CompareFolders(const void *a, const void *b) {
    return CompareNames(&static_cast<const ListedFolder *>(a)->hash, &static_cast<const ListedFolder *>(b)->hash);
}

struct FolderVisit {
    const LeftoverSweep *sweep;
    uint64_t hash;
    const WideChar *folder;
};

// Removes one entry of a listed folder when it is a temporary or resume
// record of the engine's own form for a file the manifest no longer lists.
static void SweepEntry(const WideChar *name, void *context) {
    const FolderVisit *visit = static_cast<const FolderVisit *>(context);
    uint64_t hash = 0;
    if (!HashOfTemporaryName(name, &hash)) return;
    uint64_t key = NameInFolder(visit->hash, hash);
    if (bsearch(&key, visit->sweep->names, size_t(visit->sweep->nameCount), sizeof key, CompareNames) != nullptr)
        return;
    WideChar path[TemporaryPathUnits];
    const WideChar separator[2] = {PathSeparator, 0};
    if (FormatText(path, TemporaryPathUnits, WTEXT("%s%s%s"), visit->folder, separator, name)) RemoveFile(path);
}

// The folder of a listed file, rebuilt from its manifest path.
static bool FolderOf(const WideChar *gameFolder, const char *manifestPath, WideChar *folder) {
    WideChar relative[RelativePathUnits];
    if (!Utf8ToText(manifestPath, relative, RelativePathUnits) || !BuildLocalPath(gameFolder, relative, folder))
        return false;
    int cut = TextLength(folder);
    while (cut > 0 && folder[cut - 1] != PathSeparator) cut--;
    if (cut <= 1) return false;
    folder[cut - 1] = 0;
    return true;
}

void SweepLeftovers(LeftoverSweep *sweep, const WideChar *gameFolder) {
    if (sweep->usable) {
        qsort(sweep->names, size_t(sweep->nameCount), sizeof(uint64_t), CompareNames);
        qsort(sweep->folders, size_t(sweep->folderCount), sizeof(ListedFolder), CompareFolders);
        for (int64_t i = 0; i < sweep->folderCount; i++) {
            if (i > 0 && sweep->folders[i].hash == sweep->folders[i - 1].hash) continue;
            WideChar folder[LocalPathUnits];
            FolderVisit visit = {sweep, sweep->folders[i].hash, folder};
            if (FolderOf(gameFolder, sweep->folders[i].manifestPath, folder)) ListFolder(folder, SweepEntry, &visit);
        }
    }
    free(sweep->names);
    free(sweep->folders);
    *sweep = LeftoverSweep{nullptr, nullptr, 0, 0, 0, false};
}
