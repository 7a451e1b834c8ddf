// File-system seam: the handful of file operations the launcher needs.
// Backends: win32/files_win32.cpp (Win32 wide-character calls) and
// posix/files_posix.cpp (POSIX calls on UTF-8 paths). Paths are UTF-16 text
// with the platform's separator.
#pragma once
#include <cstddef>
#include <cstdint>

#include "base/text.h"

// Full path of the running executable into out (capacity units, at most
// 260 used). Returns the number of units written, 0 on failure.
int ExecutablePath(WideChar *out, int capacity);

// Size of the file at path; false when it cannot be examined for any reason.
bool LocalFileSize(const WideChar *path, int64_t *size);

// What tells whether a file changed without reading it: its size, when it
// was last written and which file it is. Two stamps of one path are equal
// only while nobody wrote or replaced the file in between.
struct FileStamp {
    int64_t size;        // bytes
    int64_t modified;    // last write: POSIX ns since 1970, Windows 100 ns units since 1601; compared only
    uint64_t volume;     // POSIX device number, Windows volume serial number
    uint64_t fileIndex;  // POSIX inode number, Windows file index
};
// The stamp of the regular file at path (links are followed); false, as
// for LocalFileSize, when it cannot be examined or is no regular file. One
// system call on POSIX; Windows opens the file for its attributes only.
bool StampLocalFile(const WideChar *path, FileStamp *stamp);

// Stamps of many files in a row, as a pass takes a manifest's entries. The
// POSIX backend keeps the folders of the files it stamped open (a few
// hundred at most) and looks a file of one of them up by its name there,
// not along its whole path again. A held folder is not looked at again:
// the series answers for each folder as it was when the series first came
// to it (one moved away since is still the one looked in), so a series
// lasts one pass, during which the folder lock keeps other passes out and
// the pass itself moves no folder. A folder missing at first is looked for
// again each time. Windows holds nothing and stamps as StampLocalFile. One
// thread's at a time.
struct StampSeries;
// nullptr without memory: StampInSeries then stamps as StampLocalFile.
StampSeries *BeginStampSeries();
// StampLocalFile's answer for path (links followed, a regular file only).
bool StampInSeries(StampSeries *series, const WideChar *path, FileStamp *stamp);
// Closes what the series held.
void EndStampSeries(StampSeries *series);

// Memory for a whole file or body about to be read into it (a manifest of
// 100,000 entries is over ten megabytes), released with free() and grown
// with realloc() like any from malloc. Linux backs a block of 2 MiB or more
// with large pages where it can, so filling it costs a page fault per
// 2 MiB rather than per 4 KiB, which on some virtual machines is most of
// the cost of reading it. nullptr without memory.
void *AllocateBlockForFilling(size_t bytes);

// What is at path itself: a symbolic link, junction or other reparse point
// there is reported as a link, never followed (links on the way to it are).
// PathAbsent too when nothing can be seen there.
enum PathKind { PathAbsent, PathRegularFile, PathFolder, PathLink, PathOther };
PathKind LookAtPath(const WideChar *path);

// Whether a and b are one file however they are spelled (a relative path,
// a link on the way, another hard link): the same volume and file number.
// False when either cannot be looked at.
bool SameFileAt(const WideChar *a, const WideChar *b);

bool PathExists(const WideChar *path);
// True when anything is at path itself, a dangling symbolic link included.
bool PathEntryExists(const WideChar *path);

// Creates one folder with default permissions; the result is not reported
// (an existing folder is the usual case).
void CreateFolder(const WideChar *path);

// A file opened for writing; -1 when none.
typedef intptr_t FileHandle;
constexpr FileHandle NoFile = -1;

// Creates a new file at path for writing (and reading back what was
// written, through ReadFromFileAt). Fails when anything is at path
// already (a file, a symbolic link, a FIFO, a folder): the caller removes
// what is there first, so a name planted by someone else is never written
// through. NoFile on failure.
FileHandle CreateFileForWriting(const WideChar *path);
// Opens a kept partial body to go on with it: reads through the handle
// start at the file's beginning (so the part can be hashed first) and every
// write lands at its end. Only a regular file with no other hard link,
// opened not through a symbolic link or reparse point at path itself;
// anything else (a link, a FIFO, a device, a folder, a file that is also
// elsewhere) gives NoFile, and the caller fetches the file whole instead.
// Never waits on a FIFO.
FileHandle OpenFileForAppending(const WideChar *path);
// Opens an existing regular file for reading from its start (others may go
// on reading it; the POSIX backend also lets them write). Links on the way
// are followed, but a FIFO, device or folder gives NoFile, without waiting.
FileHandle OpenFileForReading(const WideChar *path);
// Reads up to count bytes at the file's position: the number read, 0 at
// the end, -1 on failure.
int ReadFromFile(FileHandle file, void *bytes, int count);
// Reads up to count bytes at offset from the file's start, whatever its
// position (which the call may move): the number read, 0 past the end, -1
// on failure.
int ReadFromFileAt(FileHandle file, int64_t offset, void *bytes, int count);
// Writes all count bytes; false when fewer were written.
bool WriteToFile(FileHandle file, const void *bytes, int count);
// Writes all count bytes at offset from the file's start, whatever its
// position (which the call may move); several threads may write different
// stretches of one file this way at once. False when fewer were written.
bool WriteToFileAt(FileHandle file, int64_t offset, const void *bytes, int count);
// Flushes to the disk; false on failure.
bool FlushFile(FileHandle file);
void CloseFile(FileHandle file);

// Puts source in the place of target, replacing it in one step when it
// exists, and makes the change durable before it returns (the folder's
// entry reaches the disk, so a power cut cannot bring back the old name or
// leave an empty file). Flush source first with FlushFile. False on
// failure; source is then left where it was.
// The file that takes target's place keeps what the replaced file allowed:
// POSIX gives source target's permission bits (rwx for owner, group and
// others; set-id bits are not carried over) before the rename, so a
// replaced program stays runnable; Windows keeps the read-only, hidden and
// system attributes (a read-only target is unlocked for the move and its
// successor made read-only again). A new file keeps the mode it was
// created with.
bool ReplaceFile(const WideChar *source, const WideChar *target);
// ReplaceFile for a pass that installs many files: the same move, but on
// POSIX the folder's entry reaches the disk only with the folder's next
// SyncFolder. A power cut before that can only bring back the old file,
// which the next pass replaces again.
bool MoveIntoPlace(const WideChar *source, const WideChar *target);
// Makes what was moved into the folder at path durable (POSIX: the folder
// is flushed). Nothing to do on Windows, whose moves are written through.
void SyncFolder(const WideChar *path);
// ReplaceFile for the running program's own file. Windows cannot replace
// the file of a running program, but can rename it: target is renamed to
// aside (a file left there by an earlier update goes first), source moves
// in, and aside is hidden; when source cannot move in, target is put back.
// The running process goes on with its old code; its next start removes
// aside. POSIX replaces the file as any other (a running program keeps
// the file it was started from) and leaves aside alone.
bool ReplaceRunningProgram(const WideChar *source, const WideChar *target, const WideChar *aside);
// Removes a file (never a folder); false when nothing was removed. A
// symbolic link at path is removed itself, never the file it leads to.
bool RemoveFile(const WideChar *path);

// Reads a whole small file (at most capacity-1 bytes) and terminates it with
// a zero byte. Returns the byte count, or -1 when the file cannot be read or
// is larger than that. Only a regular file with no other hard link, not
// through a symbolic link or reparse point at path itself, is read: anything
// else (a FIFO too, read without waiting) counts as absent, -1. When the
// backend can tell that nothing at all is at path, it says so with
// NothingAtPath (-2), so the caller need not look again before removing.
constexpr int NothingAtPath = -2;
int ReadSmallFile(const WideChar *path, char *bytes, int capacity);


// Calls visit with the name of every entry of folder (files, links and
// folders; not "." or ".."), in no particular order. False when the folder
// cannot be read.
typedef void (*FolderEntryVisitor)(const WideChar *name, void *context);
bool ListFolder(const WideChar *folder, FolderEntryVisitor visit, void *context);

// An exclusive lock on a folder for the length of one check or patch pass,
// across processes: two launchers, or the launcher and launcher-patch, never
// work on one game folder at the same time. Only the player's own processes
// can take it, so no other local user can make a pass wait. The system
// releases it when the process ends, however it ends. Take and release it
// on the same thread.
// Nothing is written to the game folder for it. POSIX: flock on a lock file
// named after the folder in the player's own lock folder
// (/tmp/zenthara-launcher-<uid>, 0700), a regular file owned by the player
// with owner-only access, made on first use and kept. Windows: a named
// mutex only the current user may open.
struct FolderLock;
// Where the lock of folder is kept (POSIX: the lock file's path; Windows:
// the mutex's name), into out (capacity units). False when it cannot be
// had: the player's lock folder is missing and cannot be made, or is not
// the player's alone.
bool BuildFolderLockPath(const WideChar *folder, WideChar *out, int capacity);
enum FolderLockState {
    FolderLocked,           // *lock holds the lock
    FolderLockBusy,         // another pass holds it
    FolderLockUnavailable,  // the folder cannot be locked at all (the lock file or its folder
                            // cannot be made, is not what it should be, or belongs to someone else)
};
// Takes the lock if it is free, without waiting.
FolderLockState TryLockFolder(const WideChar *folder, FolderLock **lock);
// Waits until the lock is free, then takes it; nullptr when it cannot be
// had at all.
FolderLock *WaitLockFolder(const WideChar *folder);
void UnlockFolder(FolderLock *lock);
