// The plan that builds a new file from an old copy's chunks: which stretches
// are copied from where, which travel, and how neighbours are joined.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "patch/delta.h"

// Chunks written as "A40 B20": a letter names the content (the hash), the
// number is the length; offsets follow one another from 0.
static uint32_t ParseChunks(const char *text, ChunkRecord *out) {
    uint32_t count = 0;
    int64_t offset = 0;
    for (const char *p = text; *p != 0;) {
        if (*p == ' ') {
            p++;
            continue;
        }
        ChunkRecord record = {};
        memset(record.hash, *p++, ChunkHashBytes);
        record.length = uint32_t(strtoul(p, const_cast<char **>(&p), 10));
        record.offset = offset;
        offset += record.length;
        out[count++] = record;
    }
    return count;
}

// Pieces written as "c0:60 f60:20": copy from old offset, or fetch, then the
// new file's offset and the length.
static std::string Describe(const DeltaPiece *pieces, uint32_t count) {
    std::string text;
    for (uint32_t i = 0; i < count; i++) {
        char piece[64];
        if (pieces[i].oldOffset >= 0)
            snprintf(piece, sizeof piece, "%sc%lld>%lld:%lld", i > 0 ? " " : "", (long long)pieces[i].oldOffset,
                     (long long)pieces[i].offset, (long long)pieces[i].length);
        else
            snprintf(piece, sizeof piece, "%sf%lld:%lld", i > 0 ? " " : "", (long long)pieces[i].offset,
                     (long long)pieces[i].length);
        text += piece;
    }
    return text;
}

TEST(DeltaPlan, PiecesCopyWhatTheOldCopyHasAndFetchTheRest) {
    constexpr int64_t Gap = 25;
    struct Case {
        const char *wanted, *old;
        const char *pieces;  // c<old offset>><new offset>:<length>, f<new offset>:<length>
        int64_t fetchBytes;
    };
    const Case cases[] = {
        {"A40 B40 C40", "A40 B40 C40", "c0>0:120", 0},                        // unchanged: one copy
        {"A40 B40", "X40 Y40", "f0:80", 80},                                  // nothing in common: one fetch
        {"A40 X40 C40", "A40 B40 C40", "c0>0:40 f40:40 c80>80:40", 40},       // a change in the middle
        {"A40 I10 B40 C40", "A40 B40 C40", "c0>0:40 f40:10 c40>50:80", 10},   // an insertion shifts nothing after it
        {"B40 A40", "A40 B40", "c40>0:40 c0>40:40", 0},                       // moved chunks: copies not joined
        {"A40 A40", "A40", "c0>0:40 c0>40:40", 0},                            // one old chunk used twice
        {"A40 B30", "A40 B31", "c0>0:40 f40:30", 30},                         // same hash, other length: fetched
        {"X40 A20 Y40", "A20", "f0:100", 100},                                // a short copy between fetches travels
        {"X40 A30 Y40", "A30", "f0:40 c0>40:30 f70:40", 80},                  // a longer one stays a copy
        {"A20 X40", "A20", "c0>0:20 f20:40", 40},                             // a short copy at the start stays
        {"X40 A20", "A20", "f0:40 c0>40:20", 40},                             // and at the end
        {"X40 A10 B10 Y40", "A10 Q5 B10", "f0:100", 100},                     // two short copies, one gap in all
        {"", "A40", "", 0},
    };
    for (const Case &c : cases) {
        ChunkRecord wanted[16], old[16];
        DeltaPiece pieces[16];
        uint32_t wantedCount = ParseChunks(c.wanted, wanted), oldCount = ParseChunks(c.old, old);
        SortChunksByHash(old, oldCount);
        uint32_t count = PlanDeltaPieces(wanted, wantedCount, old, oldCount, Gap, pieces);
        EXPECT_EQ(Describe(pieces, count), c.pieces) << c.wanted << " from " << c.old;
        EXPECT_EQ(DeltaFetchBytes(pieces, count), c.fetchBytes) << c.wanted << " from " << c.old;
    }
}
