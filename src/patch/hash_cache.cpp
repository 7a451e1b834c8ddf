// The hash cache: its file format, its table in memory, and the hashing of
// a file. Platform-neutral over the files and crypto seams; see
// hash_cache.h.
#include "patch/hash_cache.h"

#include <bit>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "patch/plan.h"
#include "patch/temporary.h"

const WideChar HashCacheFileName[] = WTEXT("launcher.hashes");
static const char HashCacheMagic[] = "launcher-hashes\n";  // 16 bytes

constexpr uint64_t FnvOffset = 14695981039346656037ull;
constexpr uint64_t FnvPrime = 1099511628211ull;
constexpr int64_t ReadChunkBytes = 1 << 20;

// ---------------------------------------------------------------- the file format

static void Put32(uint8_t *out, uint32_t value) {
    for (int i = 0; i < 4; i++) out[i] = uint8_t(value >> (8 * i));
}

static void Put64(uint8_t *out, uint64_t value) {
    for (int i = 0; i < 8; i++) out[i] = uint8_t(value >> (8 * i));
}

static uint32_t Get32(const uint8_t *in) {
    uint32_t value = 0;
    for (int i = 3; i >= 0; i--) value = value << 8 | in[i];
    return value;
}

static uint64_t Get64(const uint8_t *in) {
    uint64_t value = 0;
    if constexpr (std::endian::native == std::endian::little) {
        memcpy(&value, in, 8);
        return value;
    }
    for (int i = 7; i >= 0; i--) value = value << 8 | in[i];
    return value;
}

// On a little-endian machine a record in memory is laid out as in the
// file, so a file's records are taken over with one move.
constexpr bool RecordsAsInFile =
    std::endian::native == std::endian::little && sizeof(HashCacheRecord) == HashCacheRecordBytes &&
    offsetof(HashCacheRecord, stamp) == 8 && offsetof(HashCacheRecord, sha256) == 40 &&
    offsetof(FileStamp, modified) == 8 && offsetof(FileStamp, volume) == 16 && offsetof(FileStamp, fileIndex) == 24;

// FNV-1a over 8-byte words: quick enough for millions of records, and any
// change of a byte changes it.
static uint64_t RecordsChecksum(const uint8_t *records, int64_t count) {
    uint64_t sum = FnvOffset;
    for (int64_t i = 0; i < count * HashCacheRecordBytes; i += 8) sum = (sum ^ Get64(records + i)) * FnvPrime;
    return sum;
}

int64_t HashCacheFileBytes(int64_t count) { return HashCacheHeadBytes + count * HashCacheRecordBytes; }

void FormatHashCache(const HashCacheRecord *records, int64_t count, uint8_t *out) {
    uint8_t *body = out + HashCacheHeadBytes;
    for (int64_t i = 0; i < count; i++) {
        uint8_t *at = body + i * HashCacheRecordBytes;
        const HashCacheRecord *record = &records[i];
        Put64(at, record->pathHash);
        Put64(at + 8, uint64_t(record->stamp.size));
        Put64(at + 16, uint64_t(record->stamp.modified));
        Put64(at + 24, record->stamp.volume);
        Put64(at + 32, record->stamp.fileIndex);
        memcpy(at + 40, record->sha256, Sha256Bytes);
    }
    memcpy(out, HashCacheMagic, 16);
    Put32(out + 16, HashCacheVersion);
    Put32(out + 20, uint32_t(count));
    Put64(out + 24, RecordsChecksum(body, count));
}

HashCacheRead ParseHashCache(const uint8_t *bytes, int64_t length, HashCacheRecord *records, int64_t *count) {
    *count = 0;
    if (length < HashCacheHeadBytes || memcmp(bytes, HashCacheMagic, 16) != 0) return HashCacheDamaged;
    if (Get32(bytes + 16) != HashCacheVersion) return HashCacheOtherVersion;
    int64_t stored = Get32(bytes + 20);
    const uint8_t *body = bytes + HashCacheHeadBytes;
    if (stored > HashCacheMaxRecords || length != HashCacheFileBytes(stored) ||
        Get64(bytes + 24) != RecordsChecksum(body, stored))
        return HashCacheDamaged;
    *count = stored;
    if constexpr (RecordsAsInFile) {
        memmove(static_cast<void *>(records), body, size_t(stored) * HashCacheRecordBytes);
        return HashCacheLoaded;
    }
    // Record by record, each read whole before it is written: records may
    // lie over bytes, each written where the one before it was read.
    for (int64_t i = 0; i < stored; i++) {
        const uint8_t *at = body + i * HashCacheRecordBytes;
        HashCacheRecord record = {Get64(at), {int64_t(Get64(at + 8)), int64_t(Get64(at + 16)), Get64(at + 24),
                                  Get64(at + 32)}, {}};
        memcpy(record.sha256, at + 40, Sha256Bytes);
        records[i] = record;
    }
    return HashCacheLoaded;
}

uint64_t HashCachePathHash(const WideChar *relativePath) {
    WideChar key[LocalPathUnits];
    BuildPathKey(relativePath, key);
    uint64_t hash = FnvOffset;
    for (int i = 0; key[i] != 0; i++) hash = (hash ^ uint16_t(key[i])) * FnvPrime;
    return hash;
}

// ---------------------------------------------------------------- the table

static bool SameStamp(const FileStamp *a, const FileStamp *b) {
    return a->size == b->size && a->modified == b->modified && a->volume == b->volume && a->fileIndex == b->fileIndex;
}

// The index slot that holds pathHash's record, or the free slot where it
// would go; -1 without an index.
static int64_t FindSlot(const HashCache *cache, uint64_t pathHash) {
    if (cache->indexSlots == 0) return -1;
    int64_t mask = cache->indexSlots - 1;
    for (int64_t slot = int64_t(pathHash & uint64_t(mask));; slot = (slot + 1) & mask) {
        int32_t at = cache->index[slot];
        if (at == 0 || cache->records[at - 1].pathHash == pathHash) return slot;
    }
}

// Makes room for one more record: the records grow by half, the index
// stays at least twice their number. False without memory.
static bool MakeRoom(HashCache *cache) {
    if (cache->count < cache->room && cache->count * 2 < cache->indexSlots) return true;
    int64_t room = cache->room + cache->room / 2 + 64;
    if (room > HashCacheMaxRecords) return false;
    HashCacheRecord *records = static_cast<HashCacheRecord *>(realloc(cache->records, size_t(room) * sizeof *records));
    if (records != nullptr) cache->records = records;
    uint8_t *used = static_cast<uint8_t *>(realloc(cache->used, size_t(room)));
    if (used != nullptr) cache->used = used;
    int64_t slots = 16;
    while (slots < room * 2) slots *= 2;
    int32_t *index = static_cast<int32_t *>(calloc(size_t(slots), sizeof(int32_t)));
    if (records == nullptr || used == nullptr || index == nullptr) {
        free(index);
        return false;
    }
    free(cache->index);
    cache->index = index;
    cache->indexSlots = slots;
    cache->room = room;
    for (int64_t i = 0; i < cache->count; i++) cache->index[FindSlot(cache, cache->records[i].pathHash)] = int32_t(i + 1);
    return true;
}

// Adds a record (the first of a path wins; a later one of the same path
// is dropped); false without memory.
static bool AddRecord(HashCache *cache, const HashCacheRecord *record, bool used) {
    if (!MakeRoom(cache)) return false;
    int64_t slot = FindSlot(cache, record->pathHash);
    if (cache->index[slot] != 0) return true;
    cache->records[cache->count] = *record;
    cache->used[cache->count] = used;
    cache->index[slot] = int32_t(++cache->count);
    return true;
}

// Makes the records parsed from the file (count of room) the table, with
// one index built for them all rather than grown record by record; the
// first record of a path wins. False without memory (the cache stays
// empty).
static bool AdoptRecords(HashCache *cache, HashCacheRecord *records, int64_t room, int64_t count) {
    int64_t slots = 16;
    while (slots < room * 2) slots *= 2;
    uint8_t *used = static_cast<uint8_t *>(calloc(size_t(room), 1));
    int32_t *index = static_cast<int32_t *>(calloc(size_t(slots), sizeof(int32_t)));
    if (used == nullptr || index == nullptr) {
        free(used);
        free(index);
        return false;
    }
    cache->records = records;
    cache->used = used;
    cache->count = 0;
    cache->room = room;
    cache->index = index;
    cache->indexSlots = slots;
    for (int64_t i = 0; i < count; i++) {
        int64_t slot = FindSlot(cache, records[i].pathHash);
        if (index[slot] != 0) continue;
        records[cache->count] = records[i];
        index[slot] = int32_t(++cache->count);
    }
    return true;
}

// The records a file of length bytes can hold.
static int64_t RecordsRoom(int64_t length) {
    return length >= HashCacheHeadBytes ? (length - HashCacheHeadBytes) / HashCacheRecordBytes : 0;
}

// The whole file at path into memory (*length bytes), or nullptr when it
// is absent, unreadable or longer than any cache file. The memory has room
// for a record more than the file (the byte read past its end fits in
// it), so the file can become its records in place.
static uint8_t *ReadCacheFile(const WideChar *path, int64_t *length) {
    FileStamp stamp;
    if (!StampLocalFile(path, &stamp) || stamp.size > HashCacheFileBytes(HashCacheMaxRecords)) return nullptr;
    FileHandle file = OpenFileForReading(path);
    size_t bytesRoom = size_t(stamp.size) + sizeof(HashCacheRecord);
    uint8_t *bytes = file != NoFile ? static_cast<uint8_t *>(AllocateBlockForFilling(bytesRoom)) : nullptr;
    int64_t done = 0;
    for (int got = 1; bytes != nullptr && got > 0 && done <= stamp.size;) {
        int64_t left = stamp.size + 1 - done;
        got = ReadFromFile(file, bytes + done, int(left < ReadChunkBytes ? left : ReadChunkBytes));
        done += got > 0 ? got : 0;
        if (got < 0) done = -1;
    }
    if (file != NoFile) CloseFile(file);
    if (done != stamp.size) {  // unreadable, or it changed while read
        free(bytes);
        return nullptr;
    }
    *length = done;
    return bytes;
}

void OpenHashCache(HashCache *cache, const WideChar *gameFolder) {
    *cache = HashCache{};
    if (!BuildLocalPath(gameFolder, HashCacheFileName, cache->path)) cache->path[0] = 0;
    int64_t length = 0;
    uint8_t *bytes = cache->path[0] != 0 ? ReadCacheFile(cache->path, &length) : nullptr;
    if (bytes == nullptr) return;
    // The records take the place of the file's bytes.
    int64_t room = RecordsRoom(length), count = 0;
    HashCacheRecord *records = reinterpret_cast<HashCacheRecord *>(bytes);
    cache->changed = ParseHashCache(bytes, length, records, &count) != HashCacheLoaded;
    if (!AdoptRecords(cache, records, room + 1, count)) free(bytes);
}

// The record after the last one found is tried before the index: records
// keep the order in which a pass recorded them, the manifest's, so a pass
// over the same manifest reads them one after another.
bool LookUpHash(HashCache *cache, const WideChar *relativePath, const FileStamp *stamp, uint8_t *sha256) {
    uint64_t pathHash = HashCachePathHash(relativePath);
    int64_t at = cache->next;
    if (at >= cache->count || cache->records[at].pathHash != pathHash) {
        int64_t slot = FindSlot(cache, pathHash);
        if (slot < 0 || cache->index[slot] == 0) return false;
        at = cache->index[slot] - 1;
    }
    cache->next = at + 1;
    if (!SameStamp(&cache->records[at].stamp, stamp)) return false;
    cache->used[at] = 1;
    memcpy(sha256, cache->records[at].sha256, Sha256Bytes);
    return true;
}

void RecordHash(HashCache *cache, const WideChar *relativePath, const FileStamp *stamp, const uint8_t *sha256) {
    HashCacheRecord record = {HashCachePathHash(relativePath), *stamp, {}};
    memcpy(record.sha256, sha256, Sha256Bytes);
    int64_t slot = FindSlot(cache, record.pathHash);
    if (slot >= 0 && cache->index[slot] != 0) {
        int64_t at = cache->index[slot] - 1;
        cache->used[at] = 1;
        if (memcmp(&cache->records[at], &record, sizeof record) == 0) return;
        cache->records[at] = record;
        cache->changed = true;
        return;
    }
    if (AddRecord(cache, &record, true)) cache->changed = true;
}

void CloseHashCache(HashCache *cache) {
    int64_t kept = 0;
    for (int64_t i = 0; i < cache->count; i++)
        if (cache->used[i]) cache->records[kept++] = cache->records[i];
    bool write = cache->path[0] != 0 && (cache->changed || kept != cache->count);
    uint8_t *bytes = write ? static_cast<uint8_t *>(malloc(size_t(HashCacheFileBytes(kept)))) : nullptr;
    if (bytes != nullptr) {
        FormatHashCache(cache->records, kept, bytes);
        ReplaceFileWithBytes(cache->path, bytes, HashCacheFileBytes(kept));  // a failure leaves what was there
        free(bytes);
    }
    free(cache->records);
    free(cache->used);
    free(cache->index);
    *cache = HashCache{};
}

// ---------------------------------------------------------------- hashing a file

bool HashLocalFile(const WideChar *path, int64_t size, char *buffer, int bufferBytes, std::atomic<int64_t> *progress,
                   uint8_t *sha256) {
    Sha256Run *run = Sha256Begin();
    FileHandle file = run != nullptr ? OpenFileForReading(path) : NoFile;
    if (file == NoFile) {
        Sha256Abandon(run);
        return false;
    }
    int64_t done = 0;
    int got = 0;
    while (done < size && (got = ReadFromFile(file, buffer, bufferBytes)) > 0) {
        Sha256Add(run, buffer, size_t(got));
        done += got;
        *progress = done;
    }
    // A file that grew or shrank while it was read is not the one stamped.
    bool whole = done == size && got >= 0 && ReadFromFile(file, buffer, 1) == 0;
    CloseFile(file);
    return Sha256End(run, sha256) && whole;
}
