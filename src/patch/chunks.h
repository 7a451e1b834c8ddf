// Content-defined chunks of large files and their published index, so that
// a player who has an old copy fetches only the parts that changed. A file
// is cut where a gear hash of the bytes since the chunk's start hits a bit
// pattern (between ChunkMinBytes and ChunkMaxBytes), so an insertion near
// the start moves only the cut points around it, not every later one.
// The rule: hash starts at 0 at byte ChunkMinBytes of the chunk and takes
// hash = (hash << 1) + gear[byte] for each byte; the chunk ends after the
// first byte where the top ChunkMaskBits bits of hash are all zero (the
// top bits depend on the last 64 bytes, the low ones only on the last
// few), or at ChunkMaxBytes. gear is 256 splitmix64 values from a fixed
// seed (chunks.cpp); changing it or a constant needs a new version.
// Publisher (launcher-manifest --chunks) and launcher cut alike because both
// use ChunkLength and the same constants, which the index carries so that a
// launcher never mixes cuts made another way.
//
// The index, "<file>.chunks" beside the file on the server; little-endian:
//   header, ChunkIndexHeaderBytes:
//     magic "ZLCHUNK1" (8)  version u32 (1)  min u32  mask bits u32  max u32
//     file size u64  file SHA-256 (32)  chunk count u32
//   then per chunk, ChunkRecordBytes, in file order:
//     offset u64  length u32  first ChunkHashBytes of the chunk's SHA-256
// Reading is strict and bounded: the length must be exactly header plus
// count records, the count at most what the file size allows, chunks
// contiguous from 0 to the file size, each within the length limits.
// Platform-neutral; hashing goes through the crypto seam.
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/crypto.h"

constexpr uint32_t ChunkIndexVersion = 1;
constexpr int64_t ChunkedFileMinBytes = 1024 * 1024;  // smaller files are fetched whole
constexpr uint32_t ChunkMinBytes = 8 * 1024;
constexpr uint32_t ChunkMaskBits = 15;  // about 32 KiB a chunk past the minimum
constexpr uint32_t ChunkMaxBytes = 128 * 1024;
constexpr int ChunkHashBytes = 16;
constexpr int ChunkIndexHeaderBytes = 8 + 4 + 4 + 4 + 4 + 8 + Sha256Bytes + 4;
constexpr int ChunkRecordBytes = 8 + 4 + ChunkHashBytes;
constexpr size_t ChunkBufferBytes = 2 * ChunkMaxBytes;  // what ChunkStream's caller lends it

struct ChunkIndexHeader {
    int64_t fileSize;
    uint8_t fileSha256[Sha256Bytes];
    uint32_t chunkCount;
};

struct ChunkRecord {
    int64_t offset;
    uint32_t length;
    uint8_t hash[ChunkHashBytes];
};

// The length of the chunk that starts at data, of which length bytes are
// at hand: the first cut point at or past ChunkMinBytes, or ChunkMaxBytes.
// When no cut is found in what is at hand and more may follow (atEnd
// false, length < ChunkMaxBytes) it returns 0: ask again with more. At the
// end, the rest (at most ChunkMaxBytes) is the last chunk.
uint32_t ChunkLength(const uint8_t *data, size_t length, bool atEnd);

// Cutting a stream that arrives in blocks of any size, without keeping its
// bytes: the same cut points as ChunkLength on the whole stream.
struct ChunkCutter {
    uint64_t hash;   // the gear hash of the chunk's bytes past ChunkMinBytes
    uint32_t taken;  // bytes of the chunk being cut taken so far
};

// Takes up to count bytes of the stream into the chunk being cut (count > 0)
// and returns how many it took: all of them, or fewer when that chunk ends
// at the last byte taken, which leaves cutter->taken 0 for the next chunk.
// After the stream's last byte a chunk with taken > 0 is the last chunk.
// Start with a zeroed cutter.
size_t ChunkCutterTake(ChunkCutter *cutter, const uint8_t *bytes, size_t count);

// A chunk's hash: the first ChunkHashBytes of its SHA-256. False when the
// crypto library is not usable.
bool ChunkHashOf(const uint8_t *data, size_t length, uint8_t hash[ChunkHashBytes]);

// Cuts a stream into chunks. read fills up to capacity bytes and returns
// how many (0 at the end, -1 on failure); each chunk is handed to chunk with
// its bytes. buffer is ChunkBufferBytes lent by the caller. False on a read
// or hashing failure, or when chunk returns false.
bool ChunkStream(int64_t (*read)(void *context, uint8_t *buffer, size_t capacity),
                 bool (*chunk)(void *context, const ChunkRecord *record, const uint8_t *bytes), void *context,
                 uint8_t *buffer);

// Writing an index.
void WriteChunkIndexHeader(const ChunkIndexHeader *header, uint8_t out[ChunkIndexHeaderBytes]);
void WriteChunkRecord(const ChunkRecord *record, uint8_t out[ChunkRecordBytes]);

// Why an index cannot be used (ChunkIndexOk when it can).
enum ChunkIndexCheck {
    ChunkIndexOk = 0,
    ChunkIndexTooShort,        // fewer bytes than a header
    ChunkIndexNotAnIndex,      // the magic differs
    ChunkIndexOtherVersion,    // a version or cut constants this launcher does not use
    ChunkIndexOtherFile,       // its file size or SHA-256 is not the manifest's
    ChunkIndexWrongLength,     // not exactly header plus count records, or more chunks than the size allows
    ChunkIndexBadRecord,       // a chunk not contiguous, empty, over the maximum, or past the file's end
};

// The most bytes an index of a file of fileSize may have; a longer answer is
// refused before it is read.
int64_t ChunkIndexLimitBytes(int64_t fileSize);

// Reads and checks a whole index against the manifest's size and SHA-256;
// records receives header->chunkCount records (the caller sizes it from
// ChunkIndexLimitBytes, or checks the whole index first with records
// nullptr: every check is made then too, and header is filled in as far
// as it was read). Never reads past length, whatever the index says.
ChunkIndexCheck ReadChunkIndex(const uint8_t *bytes, size_t length, int64_t expectedSize,
                               const uint8_t expectedSha256[Sha256Bytes], ChunkIndexHeader *header,
                               ChunkRecord *records);
