// The plan of pieces of a file built from its old copy, the index it is
// built by and the old copy's chunks. Memory stays proportional to the
// chunk count (ChunkRecord a chunk on each side, a DeltaPiece a chunk at
// most), never to the file's size: about 8 MiB in all for a 4 GiB file.
#include "patch/delta.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "patch/fetch.h"
#include "patch/manifest_signature.h"
#include "patch/request_url.h"

static bool HashLess(const ChunkRecord &a, const ChunkRecord &b) {
    int order = memcmp(a.hash, b.hash, ChunkHashBytes);
    return order != 0 ? order < 0 : a.length < b.length;
}

void SortChunksByHash(ChunkRecord *chunks, uint32_t count) { std::sort(chunks, chunks + count, HashLess); }

const ChunkRecord *FindOldChunk(const ChunkRecord *sorted, uint32_t count, const ChunkRecord *wanted) {
    const ChunkRecord *found = std::lower_bound(sorted, sorted + count, *wanted, HashLess);
    bool same = found != sorted + count && found->length == wanted->length &&
                memcmp(found->hash, wanted->hash, ChunkHashBytes) == 0;
    return same ? found : nullptr;
}

// Appends a stretch to the plan, joining it to the last piece when it
// follows on in the new file and, for a copy, in the old copy too.
static void AddPiece(DeltaPiece *pieces, uint32_t *count, int64_t offset, int64_t length, int64_t oldOffset) {
    if (*count > 0) {
        DeltaPiece *last = &pieces[*count - 1];
        bool fetchBoth = last->oldOffset < 0 && oldOffset < 0;
        bool copyOn = last->oldOffset >= 0 && oldOffset == last->oldOffset + last->length;
        if (last->offset + last->length == offset && (fetchBoth || copyOn)) {
            last->length += length;
            return;
        }
    }
    pieces[(*count)++] = DeltaPiece{offset, length, oldOffset};
}

// Fetches what lies between two fetches when the copies there come to at
// most mergeGapBytes, joining the two.
static uint32_t FetchAcrossGaps(DeltaPiece *pieces, uint32_t count, int64_t mergeGapBytes) {
    uint32_t kept = 0;
    int64_t lastFetch = -1;  // in the pieces kept
    for (uint32_t i = 0; i < count; i++) {
        DeltaPiece piece = pieces[i];
        if (piece.oldOffset >= 0) {
            pieces[kept++] = piece;
            continue;
        }
        DeltaPiece *before = lastFetch >= 0 ? &pieces[lastFetch] : nullptr;
        if (before != nullptr && piece.offset - (before->offset + before->length) <= mergeGapBytes) {
            before->length = piece.offset + piece.length - before->offset;
            kept = uint32_t(lastFetch + 1);
            continue;
        }
        lastFetch = kept;
        pieces[kept++] = piece;
    }
    return kept;
}

uint32_t PlanDeltaPieces(const ChunkRecord *wanted, uint32_t wantedCount, const ChunkRecord *sorted,
                         uint32_t oldCount, int64_t mergeGapBytes, DeltaPiece *pieces) {
    uint32_t count = 0;
    for (uint32_t i = 0; i < wantedCount; i++) {
        const ChunkRecord *old = FindOldChunk(sorted, oldCount, &wanted[i]);
        AddPiece(pieces, &count, wanted[i].offset, wanted[i].length, old != nullptr ? old->offset : -1);
    }
    return FetchAcrossGaps(pieces, count, mergeGapBytes);
}

int64_t DeltaFetchBytes(const DeltaPiece *pieces, uint32_t count) {
    int64_t bytes = 0;
    for (uint32_t i = 0; i < count; i++)
        if (pieces[i].oldOffset < 0) bytes += pieces[i].length;
    return bytes;
}

static const WideChar IndexSuffix[] = WTEXT(".chunks");

bool FetchChunkIndex(const WideChar *fileUrl, int64_t expectedSize, const uint8_t sha256[Sha256Bytes],
                     FetchedIndex *index) {
    index->records = nullptr;
    WideChar url[RequestUrlUnits];
    if (!UrlWithPathSuffix(fileUrl, IndexSuffix, url, RequestUrlUnits)) return false;
    char *body = nullptr;
    size_t bytes = 0;
    int status = 0;
    char why[ReasonBytes];
    if (FetchWhole(url, ChunkIndexLimitBytes(expectedSize), &body, &bytes, &status, why) != FetchOk) return false;
    const uint8_t *data = reinterpret_cast<const uint8_t *>(body);
    bool usable = ReadChunkIndex(data, bytes, expectedSize, sha256, &index->header, nullptr) == ChunkIndexOk;
    if (usable) index->records = static_cast<ChunkRecord *>(malloc(sizeof(ChunkRecord) * (index->header.chunkCount + 1)));
    usable = usable && index->records != nullptr &&
             ReadChunkIndex(data, bytes, expectedSize, sha256, &index->header, index->records) == ChunkIndexOk;
    free(body);
    if (!usable) {
        free(index->records);
        index->records = nullptr;
    }
    return usable;
}

// The old copy's chunks as ChunkStream hands them over, in a block grown as
// needed; every chunk but the last has at least ChunkMinBytes, so the count
// never passes size / ChunkMinBytes + 1.
struct OldCut {
    FileHandle file;
    ChunkRecord *chunks;
    uint32_t count;
    uint32_t capacity;
    uint32_t most;
};

static int64_t ReadOldCopy(void *context, uint8_t *buffer, size_t capacity) {
    OldCut *cut = static_cast<OldCut *>(context);
    return ReadFromFile(cut->file, buffer, capacity < size_t(1) << 30 ? int(capacity) : 1 << 30);
}

static bool KeepOldChunk(void *context, const ChunkRecord *record, const uint8_t *) {
    OldCut *cut = static_cast<OldCut *>(context);
    if (cut->count == cut->most) return false;
    if (cut->count == cut->capacity) {
        uint32_t larger = cut->capacity * 2 < cut->most ? cut->capacity * 2 : cut->most;
        void *grown = realloc(cut->chunks, sizeof(ChunkRecord) * larger);
        if (grown == nullptr) return false;
        cut->chunks = static_cast<ChunkRecord *>(grown);
        cut->capacity = larger;
    }
    cut->chunks[cut->count++] = *record;
    return true;
}

bool CutOldCopy(FileHandle file, int64_t size, uint8_t *buffer, ChunkRecord **chunks, uint32_t *count) {
    int64_t most = size / ChunkMinBytes + 1;
    if (size <= 0 || most > int64_t(UINT32_MAX)) return false;
    int64_t guess = size / (4 * ChunkMinBytes) + 16;  // about the average chunk
    OldCut cut = {file, nullptr, 0, uint32_t(guess < most ? guess : most), uint32_t(most)};
    cut.chunks = static_cast<ChunkRecord *>(malloc(sizeof(ChunkRecord) * cut.capacity));
    bool cutWhole = cut.chunks != nullptr && ChunkStream(ReadOldCopy, KeepOldChunk, &cut, buffer);
    if (!cutWhole) {
        free(cut.chunks);
        return false;
    }
    SortChunksByHash(cut.chunks, cut.count);
    *chunks = cut.chunks;
    *count = cut.count;
    return true;
}
