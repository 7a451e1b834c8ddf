// Folder listing for launcher-manifest: the entries of one folder at a
// time, named by UTF-8 paths, with links reported instead of followed.
// Two backends: dir_walk_posix.cpp (opendir/readdir/fstatat) and
// dir_walk_win32.cpp (FindFirstFileW over \\?\ paths, so long paths work).
// Leaves out: recursion (the caller keeps its own queue of folders), access
// times, permissions and alternate data streams.
#pragma once
#include <cstdint>

enum FolderEntryKind {
    EntryFile,    // a regular file
    EntryFolder,  // a real folder, never a link to one
    EntryLink,    // a symbolic link, junction or other reparse point
    EntryOther,   // fifo, socket, device
};

// A name fits: POSIX names are at most 255 bytes, Windows names at most
// 255 UTF-16 units, which take up to 765 bytes of UTF-8.
constexpr int EntryNameBytes = 1024;

struct FolderEntry {
    char name[EntryNameBytes];  // UTF-8 on Windows; the stored bytes on POSIX
    FolderEntryKind kind;
    int64_t size;               // bytes; files only
    bool isStandardOutput;      // files only: standard output is written to it
    bool nameExact;             // false when the name had to be changed to fit UTF-8
                                // (Windows: an unpaired surrogate became U+FFFD)
};

// Called once per entry of the folder being listed ("." and ".." left out),
// in the order the file system gives them.
typedef void (*FolderVisitor)(void *context, const FolderEntry *entry);

// Whether path names an existing folder. A link to a folder counts: the
// folder an operator names may well be one.
bool IsExistingFolder(const char *path);

// Lists root/relativeFolder ("" for root itself; '/' between names) and
// calls visit for each entry. Returns false when the folder or one of its
// entries cannot be read; why then holds a short reason (UTF-8) and the
// entries visited so far were visited.
bool ListFolder(const char *root, const char *relativeFolder, FolderVisitor visit, void *context,
                char *why, int whyBytes);
