// What a Patch pass tidies: in every folder it lists files in, the
// temporaries and resume records of files the manifest no longer lists
// (a set-aside program is left to that program's next start).
// Memory stays small whatever the manifest: 8 bytes per entry, in one block
// sized once from the entry count, 16 bytes or less per folder, plus the
// path of each temporary found. A folder is looked into once, when the pass
// reaches its first entry, however the manifest goes back and forth
// between folders; what is found there is removed at the end unless some
// entry named its file. Platform-neutral over the files seam.
#pragma once
#include <cstdint>

#include "base/text.h"

struct FoundTemporary;

struct LeftoverSweep {
    uint64_t *names;           // folder and file-name hash of every listed file
    int64_t nameCount, capacity;
    uint64_t lastFolder;       // the folder looked into last
    uint64_t *folders;         // hashes of the folders looked into (0: free slot), open addressing
    int64_t folderCount, folderSlots;  // folderSlots a power of two, at most half of them used
    FoundTemporary *found;     // temporaries seen in the folders looked into
    int64_t foundCount, foundCapacity;
    bool usable;               // the block could be had; without it nothing is swept
};

// Makes room for entries listed files; without memory the sweep is left out.
void BeginLeftoverSweep(LeftoverSweep *sweep, int64_t entries);
// Notes a listed file by its local path and that path's key (BuildPathKey),
// and looks into its folder the first time one of its files is noted.
void NoteListedFile(LeftoverSweep *sweep, const WideChar *localPath, const WideChar *pathKey);
// Removes the temporaries found whose file no noted entry names, then
// frees what the sweep held.
void SweepLeftovers(LeftoverSweep *sweep);
