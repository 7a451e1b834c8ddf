// The sweep of stale temporaries, in bounded memory: see leftovers.h.
#include "patch/leftovers.h"

#include <algorithm>
#include <cstdlib>

#include "patch/local_path.h"
#include "patch/temporary.h"
#include "platform/files.h"

struct FoundTemporary {
    uint64_t name;                     // folder and file-name hash it stands for
    WideChar path[TemporaryPathUnits];
};

// The hash of the folder part of a key (up to its last separator); false
// for a path without one.
static bool FolderHashOf(const WideChar *pathKey, uint64_t *hash) {
    int cut = TextLength(pathKey);
    while (cut > 0 && pathKey[cut - 1] != PathSeparator) cut--;
    if (cut <= 1) return false;
    *hash = HashTextUnits(pathKey, cut - 1);
    return true;
}

static uint64_t NameInFolder(uint64_t folderHash, uint64_t nameHash) {
    return folderHash ^ (nameHash * 0x9E3779B97F4A7C15ull + 0x632BE59BD9B4E019ull);
}

void BeginLeftoverSweep(LeftoverSweep *sweep, int64_t entries) {
    *sweep = LeftoverSweep{nullptr, 0, entries > 0 ? entries : 1, 0, nullptr, 0, 0, nullptr, 0, 0, false};
    size_t count = size_t(sweep->capacity);
    if (int64_t(count) != sweep->capacity || count > SIZE_MAX / sizeof(uint64_t)) return;
    sweep->names = static_cast<uint64_t *>(malloc(count * sizeof(uint64_t)));
    sweep->usable = sweep->names != nullptr;
}

struct FolderVisit {
    LeftoverSweep *sweep;
    uint64_t hash;
    const WideChar *folder;
};

// Keeps one entry of a folder looked into when it has the form of a
// temporary or resume record (only those are ever removed, never a
// set-aside program).
static void CollectTemporary(const WideChar *name, void *context) {
    FolderVisit *visit = static_cast<FolderVisit *>(context);
    LeftoverSweep *sweep = visit->sweep;
    uint64_t hash = 0;
    // A set-aside program may still be running; its own next start
    // removes it (RemoveSetAsideProgram).
    if (!sweep->usable || IsSetAsideName(name) || !HashOfTemporaryName(name, &hash)) return;
    if (sweep->foundCount == sweep->foundCapacity) {
        int64_t grown = sweep->foundCapacity > 0 ? sweep->foundCapacity * 2 : 16;
        void *block = realloc(sweep->found, size_t(grown) * sizeof(FoundTemporary));
        if (block == nullptr) return;  // that one stays; nothing else is lost
        sweep->found = static_cast<FoundTemporary *>(block);
        sweep->foundCapacity = grown;
    }
    FoundTemporary *found = &sweep->found[sweep->foundCount];
    const WideChar separator[2] = {PathSeparator, 0};
    found->name = NameInFolder(visit->hash, hash);
    if (FormatText(found->path, TemporaryPathUnits, WTEXT("%s%s%s"), visit->folder, separator, name))
        sweep->foundCount++;
}

// Adds a folder's hash to those looked into; false when it was there
// already. Without memory for a larger table the folder counts as new (it
// is then looked into again, which only costs time).
static bool FirstVisitOf(LeftoverSweep *sweep, uint64_t folderHash) {
    uint64_t key = folderHash != 0 ? folderHash : 1;
    if (sweep->folderCount * 2 >= sweep->folderSlots) {
        int64_t slots = sweep->folderSlots > 0 ? sweep->folderSlots * 2 : 64;
        uint64_t *table = static_cast<uint64_t *>(calloc(size_t(slots), sizeof(uint64_t)));
        if (table == nullptr) return true;
        for (int64_t i = 0; i < sweep->folderSlots; i++) {
            uint64_t old = sweep->folders[i];
            int64_t at = int64_t(old & uint64_t(slots - 1));
            while (old != 0 && table[at] != 0) at = (at + 1) & (slots - 1);
            if (old != 0) table[at] = old;
        }
        free(sweep->folders);
        sweep->folders = table;
        sweep->folderSlots = slots;
    }
    int64_t at = int64_t(key & uint64_t(sweep->folderSlots - 1));
    for (; sweep->folders[at] != 0; at = (at + 1) & (sweep->folderSlots - 1))
        if (sweep->folders[at] == key) return false;
    sweep->folders[at] = key;
    sweep->folderCount++;
    return true;
}

void NoteListedFile(LeftoverSweep *sweep, const WideChar *localPath, const WideChar *pathKey) {
    uint64_t folderHash = 0;
    if (!sweep->usable || sweep->nameCount == sweep->capacity || !FolderHashOf(pathKey, &folderHash)) return;
    sweep->names[sweep->nameCount++] = NameInFolder(folderHash, TemporaryHashOf(localPath));
    // A manifest lists a folder's files one after another as a rule: the
    // folder before is the quick answer.
    if (sweep->nameCount > 1 && folderHash == sweep->lastFolder) return;
    sweep->lastFolder = folderHash;
    if (!FirstVisitOf(sweep, folderHash)) return;
    WideChar folder[LocalPathUnits];
    CopyText(folder, LocalPathUnits, localPath);
    int cut = TextLength(folder);
    while (cut > 0 && folder[cut - 1] != PathSeparator) cut--;
    folder[cut > 0 ? cut - 1 : 0] = 0;
    FolderVisit visit = {sweep, folderHash, folder};
    ListFolder(folder, CollectTemporary, &visit);
}

void SweepLeftovers(LeftoverSweep *sweep) {
    if (sweep->usable) {
        // In place: qsort may take a second block as large as the list.
        std::sort(sweep->names, sweep->names + sweep->nameCount);
        for (int64_t i = 0; i < sweep->foundCount; i++) {
            const FoundTemporary *found = &sweep->found[i];
            if (!std::binary_search(sweep->names, sweep->names + sweep->nameCount, found->name))
                RemoveFile(found->path);
        }
    }
    free(sweep->names);
    free(sweep->found);
    free(sweep->folders);
    *sweep = LeftoverSweep{nullptr, 0, 0, 0, nullptr, 0, 0, nullptr, 0, 0, false};
}
