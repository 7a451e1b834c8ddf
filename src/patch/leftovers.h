// What a Patch pass tidies: in every folder it lists files in, the
// temporaries and resume records of files the manifest no longer lists
// (a set-aside program is left to that program's next start).
// Memory stays small whatever the manifest: 8 bytes per entry, in one block
// sized once from the entry count, plus the path of each temporary found.
// A folder is looked into when the pass reaches its first entry (again when
// the manifest comes back to it later); what is found there is removed at
// the end unless some entry named its file. Platform-neutral over the
// files seam.
#pragma once
#include <cstdint>

#include "base/text.h"

struct FoundTemporary;

struct LeftoverSweep {
    uint64_t *names;           // folder and file-name hash of every listed file
    int64_t nameCount, capacity;
    uint64_t lastFolder;       // the folder looked into last
    FoundTemporary *found;     // temporaries seen in the folders looked into
    int64_t foundCount, foundCapacity;
    bool usable;               // the block could be had; without it nothing is swept
};

// Makes room for entries listed files; without memory the sweep is left out.
void BeginLeftoverSweep(LeftoverSweep *sweep, int64_t entries);
// Notes a listed file by its local path and that path's key (BuildPathKey),
// and looks into its folder when the previous entry's was another.
void NoteListedFile(LeftoverSweep *sweep, const WideChar *localPath, const WideChar *pathKey);
// Removes the temporaries found whose file no noted entry names, then
// frees what the sweep held.
void SweepLeftovers(LeftoverSweep *sweep);
