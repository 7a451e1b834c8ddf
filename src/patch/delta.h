// Building a changed large file from the player's old copy and the parts
// of the new one the old copy lacks. The published chunk index (see
// patch/chunks.h) lists the new file's chunks; the old copy is cut the same
// way, and every chunk of the index that the old copy also has (same length,
// same hash) is copied from it instead of travelling. The plan of pieces is
// a pure function; fetching the index and cutting the old copy are the I/O
// around it (the download carries the plan out). Platform-neutral over the
// http, files and crypto seams.
#pragma once
#include <cstdint>

#include "patch/chunks.h"
#include "platform/files.h"

// Fetched ranges this close to one another are fetched as one, the bytes
// between them included: a request costs a round trip and a response head,
// which outweigh a chunk or two of bytes the old copy already had.
constexpr int64_t DeltaMergeGapBytes = 16 * 1024;

// A stretch of the new file, in file order: copied from the old copy at
// oldOffset, or fetched from the server (oldOffset -1).
struct DeltaPiece {
    int64_t offset;
    int64_t length;
    int64_t oldOffset;
};

// Orders the old copy's chunks by hash, then length, for FindOldChunk.
void SortChunksByHash(ChunkRecord *chunks, uint32_t count);

// The old chunk (of count, sorted by SortChunksByHash) with wanted's hash
// and length, or nullptr.
const ChunkRecord *FindOldChunk(const ChunkRecord *sorted, uint32_t count, const ChunkRecord *wanted);

// The pieces that make the new file of wanted (its index's chunks, in file
// order) from the old copy's chunks (sorted). Neighbouring pieces of one
// kind become one (copies only where the old copy's bytes follow on too);
// a copy of at most mergeGapBytes between two fetches is fetched with them.
// pieces has room for wantedCount; returns how many it holds.
uint32_t PlanDeltaPieces(const ChunkRecord *wanted, uint32_t wantedCount, const ChunkRecord *sorted,
                         uint32_t oldCount, int64_t mergeGapBytes, DeltaPiece *pieces);

// The bytes the fetched pieces hold in all.
int64_t DeltaFetchBytes(const DeltaPiece *pieces, uint32_t count);

// A file's chunk index, fetched and checked against the manifest's size
// and SHA-256. records is a heap block (free it with free()).
struct FetchedIndex {
    ChunkIndexHeader header;
    ChunkRecord *records;
};

// Fetches the index published beside the file at fileUrl (".chunks" added
// to its path) in one bounded request. False for anything short of an index
// that reads cleanly for this file: a missing or refused one, one over its
// limit, one that lies about the file.
bool FetchChunkIndex(const WideChar *fileUrl, int64_t expectedSize, const uint8_t sha256[Sha256Bytes],
                     FetchedIndex *index);

// Cuts the old copy open in file into chunks, read from its start through
// buffer (ChunkBufferBytes): *chunks is a heap block (free it) of *count
// chunks sorted by SortChunksByHash. False when it cannot be read, hashed
// or held.
bool CutOldCopy(FileHandle file, int64_t size, uint8_t *buffer, ChunkRecord **chunks, uint32_t *count);
