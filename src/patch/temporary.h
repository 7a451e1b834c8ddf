// Temporary files of downloads: where a file's body is written before it
// replaces its target. Platform-neutral.
// A temporary sits in its target's own folder, so the replace is one rename
// on one file system, under a short name of fixed length that always fits
// the file system's name limit however long the target's name is:
//   ".~launcher-" + 16 lowercase hex digits + ".part"
// (and ".meta" for its resume record, see patch/download.cpp, and ".old"
// for the running program's own file set aside while its new body takes
// its place, see platform/files.h ReplaceRunningProgram)
// The digits are a 64-bit hash of the target's file name (its ASCII letters
// in lower case for a set-aside program, which Windows may start under any
// letter case), so every target has exactly one temporary, which a later
// pass finds again. Only names of
// this form are ever removed as stale, and a manifest entry may not name
// one. A set-aside program is not stale: it may still be running, so only
// the program's next start removes it (RemoveSetAsideProgram).
#pragma once
#include "base/text.h"
#include "patch/local_path.h"

constexpr int TemporaryNameUnits = 32;  // the name alone, without a terminator
constexpr int TemporaryPathUnits = LocalPathUnits + TemporaryNameUnits;

// The temporary of the file at localPath (TemporaryPathUnits units). False
// when localPath has no folder part.
bool BuildTemporaryPath(const WideChar *localPath, WideChar *out);
// The resume record beside that temporary: the same name ending in ".meta".
bool BuildResumeRecordPath(const WideChar *localPath, WideChar *out);

// Where the running program's file at localPath is set aside while a new
// body takes its place: the same name ending in ".old".
bool BuildSetAsidePath(const WideChar *localPath, WideChar *out);

// Writes length bytes to path whole and durably: into its temporary first,
// flushed, then replacing path. False when it could not be replaced, and
// then what was at path stays as it was.
bool ReplaceFileWithBytes(const WideChar *path, const void *bytes, int64_t length);

// True when name (one file name, no folder) has the form of a temporary,
// of a resume record or of a set-aside program.
bool IsTemporaryName(const WideChar *name);
// True when name has the form of a set-aside program alone.
bool IsSetAsideName(const WideChar *name);

// The hash a temporary's name carries: of localPath's file name, and read
// back from a temporary's, resume record's or set-aside program's name
// (false when name is none of them).
uint64_t TemporaryHashOf(const WideChar *localPath);
bool HashOfTemporaryName(const WideChar *name, uint64_t *hash);

// True when the last component of a manifest's relative path ('/' or '\'
// separated) is a temporary's name: such an entry is refused, since its
// file would be taken for a stale temporary.
bool NamesTemporaryFile(const WideChar *relativePath);
