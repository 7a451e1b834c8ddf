// What a Patch pass tidies at its end: in every folder it listed files in,
// the temporaries and resume records of files the manifest no longer lists.
// Memory stays small whatever the manifest: 8 bytes per entry and 16 per
// folder, in two blocks sized once from the entry count, with the folders'
// names read back from the manifest text itself. Platform-neutral over the
// files seam.
#pragma once
#include <cstdint>

#include "base/text.h"

struct ListedFolder;

struct LeftoverSweep {
    uint64_t *names;          // folder and file-name hash of every listed file
    ListedFolder *folders;    // every folder, once per run of entries in it
    int64_t nameCount, folderCount, capacity;
    bool usable;              // the blocks could be had; without them nothing is swept
};

// Makes room for entries listed files; without memory the sweep is left out.
void BeginLeftoverSweep(LeftoverSweep *sweep, int64_t entries);
// Notes a listed file: its local path, that path's key (BuildPathKey) and
// its manifest path as UTF-8 in the manifest text (which must stay as it is
// until the sweep ran).
void NoteListedFile(LeftoverSweep *sweep, const WideChar *localPath, const WideChar *pathKey,
                    const char *manifestPath);
// Removes, in every noted folder below gameFolder, the temporaries of files
// no noted entry names, then frees the blocks.
void SweepLeftovers(LeftoverSweep *sweep, const WideChar *gameFolder);
