// The hash cache: the SHA-256 of every listed file the launcher read or
// installed, kept in the game folder as launcher.hashes beside launcher.ini,
// so a check hashes a file again only when its stamp (size, last write,
// volume and file number) changed. A pass loads it once at its start and
// writes it back once at its end, whole, through a temporary, only when
// something changed; entries of paths the pass did not list are dropped. A
// missing or damaged file only means every file is hashed once; a folder
// that cannot be written works on without it. Platform-neutral over the
// files seam; the file's format is pure functions, tested with tables.
//
// The file, all numbers little-endian:
//   16 bytes   "launcher-hashes\n"
//    4 bytes   format version (1)
//    4 bytes   record count
//    8 bytes   checksum of the records (64-bit FNV-1a over their words)
//   72 bytes a record: path key hash (8), size (8), last write (8),
//              volume (8), file number (8), SHA-256 (32)
// Anything else (another length, version or checksum) is damaged and read
// as empty.
#pragma once
#include <atomic>
#include <cstdint>

#include "base/text.h"
#include "patch/local_path.h"
#include "platform/crypto.h"
#include "platform/files.h"

extern const WideChar HashCacheFileName[];      // "launcher.hashes"
constexpr int HashCacheHeadBytes = 32;
constexpr int HashCacheRecordBytes = 72;
constexpr uint32_t HashCacheVersion = 1;
constexpr int64_t HashCacheMaxRecords = 4000000;  // a longer file is damaged (288 MB)

struct HashCacheRecord {
    uint64_t pathHash;             // HashCachePathHash of the manifest path
    FileStamp stamp;               // of the file when it was hashed (or installed)
    uint8_t sha256[Sha256Bytes];   // its content's
};

enum HashCacheRead {
    HashCacheLoaded,        // the records are those of the file
    HashCacheDamaged,       // not this format: wrong head, length or checksum
    HashCacheOtherVersion,  // this format's head, another version
};

// The bytes of a cache file holding count records.
int64_t HashCacheFileBytes(int64_t count);

// Writes count records as a cache file into out (HashCacheFileBytes(count)).
void FormatHashCache(const HashCacheRecord *records, int64_t count, uint8_t *out);

// Reads a cache file of length bytes into records, which has room for
// (length - HashCacheHeadBytes) / HashCacheRecordBytes of them; *count is
// how many were read (0 unless HashCacheLoaded). Never reads past length.
// records may start at bytes itself: the file is then parsed in place.
HashCacheRead ParseHashCache(const uint8_t *bytes, int64_t length, HashCacheRecord *records, int64_t *count);

// The key under which a manifest path is kept: a 64-bit hash of its path
// key (BuildPathKey: one separator, letter case folded where file names
// ignore it), so a game folder that moves keeps its records.
uint64_t HashCachePathHash(const WideChar *relativePath);

// One pass's cache in memory: its records, an index over them, and which
// were used in this pass. Zero-initialise, then OpenHashCache.
struct HashCache {
    HashCacheRecord *records;
    uint8_t *used;            // a flag per record: looked up with its stamp, or recorded, in this pass
    int64_t count, room;      // records held, records allocated
    int32_t *index;           // open addressing over pathHash: record number + 1, 0 for free
    int64_t indexSlots;       // a power of two, at least twice count
    int64_t next;             // the record LookUpHash tries first: the one after the last it found
    bool changed;             // a record was added or replaced, or the file was damaged
    WideChar path[LocalPathUnits];  // the file; empty when the game folder's path leaves no room
};

// Loads gameFolder's cache (one read); an absent, damaged or unreadable
// file, or no memory, gives an empty cache.
void OpenHashCache(HashCache *cache, const WideChar *gameFolder);

// Whether the cache knows the content of the file at relativePath with this
// stamp: its SHA-256 into sha256, and the record is kept. False when
// unknown or the stamp differs (the file changed since it was hashed).
bool LookUpHash(HashCache *cache, const WideChar *relativePath, const FileStamp *stamp, uint8_t *sha256);

// Keeps the SHA-256 of the file at relativePath with this stamp, in place
// of what was known of that path. Without memory the file is only not
// cached.
void RecordHash(HashCache *cache, const WideChar *relativePath, const FileStamp *stamp, const uint8_t *sha256);

// Writes the used records back when anything changed or a record went
// unused (a temporary, then a durable replace; a failure leaves the old
// file as it was, or none), then frees the cache.
void CloseHashCache(HashCache *cache);

// The SHA-256 of the regular file at path, read through buffer (bufferBytes)
// to exactly size bytes, *progress following the bytes read. False when it
// cannot be read or its length is not size (it changed while read).
bool HashLocalFile(const WideChar *path, int64_t size, char *buffer, int bufferBytes, std::atomic<int64_t> *progress,
                   uint8_t *sha256);
