// Content-defined chunks and their index: cuts that follow the content (an
// insertion moves only the chunks around it), the same chunks whatever the
// read or block sizes and at the places published indexes have them, the
// reader's refusals, and a written index read back.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <iterator>
#include <vector>

#include "patch/chunks.h"

namespace {

std::vector<uint8_t> RandomBytes(size_t count, uint64_t seed) {
    std::vector<uint8_t> bytes(count);
    for (size_t i = 0; i < count; i++) {
        seed = seed * 6364136223846793005u + 1442695040888963407u;
        bytes[i] = uint8_t(seed >> 56);
    }
    return bytes;
}

struct Source {
    const std::vector<uint8_t> *bytes;
    size_t at;
    size_t step;  // bytes handed over per read at most
    std::vector<ChunkRecord> records;
};

int64_t ReadSource(void *context, uint8_t *buffer, size_t capacity) {
    Source *source = static_cast<Source *>(context);
    size_t count = std::min({capacity, source->step, source->bytes->size() - source->at});
    if (count > 0) memcpy(buffer, source->bytes->data() + source->at, count);  // an empty source has no data()
    source->at += count;
    return int64_t(count);
}

bool KeepChunk(void *context, const ChunkRecord *record, const uint8_t *bytes) {
    Source *source = static_cast<Source *>(context);
    uint8_t hash[ChunkHashBytes];
    // The bytes handed over are the chunk's own.
    EXPECT_EQ(memcmp(bytes, source->bytes->data() + record->offset, record->length), 0);
    EXPECT_TRUE(ChunkHashOf(bytes, record->length, hash));
    EXPECT_EQ(memcmp(hash, record->hash, ChunkHashBytes), 0);
    source->records.push_back(*record);
    return true;
}

std::vector<ChunkRecord> Chunks(const std::vector<uint8_t> &bytes, size_t step) {
    static uint8_t buffer[ChunkBufferBytes];
    Source source = {&bytes, 0, step, {}};
    EXPECT_TRUE(ChunkStream(ReadSource, KeepChunk, &source, buffer));
    return source.records;
}

std::vector<uint8_t> IndexOf(const std::vector<uint8_t> &bytes, const std::vector<ChunkRecord> &records,
                             uint8_t sha256[Sha256Bytes]) {
    ChunkIndexHeader header = {int64_t(bytes.size()), {}, uint32_t(records.size())};
    EXPECT_TRUE(Sha256Of(bytes.data(), bytes.size(), header.fileSha256));
    memcpy(sha256, header.fileSha256, Sha256Bytes);
    std::vector<uint8_t> index(ChunkIndexHeaderBytes + records.size() * ChunkRecordBytes);
    WriteChunkIndexHeader(&header, index.data());
    for (size_t i = 0; i < records.size(); i++)
        WriteChunkRecord(&records[i], index.data() + ChunkIndexHeaderBytes + i * ChunkRecordBytes);
    return index;
}

}  // namespace

TEST(Chunks, CutsFollowTheContentWithinTheLengthLimits) {
    std::vector<uint8_t> old = RandomBytes(3 << 20, 7);
    std::vector<uint8_t> changed = old;
    changed.insert(changed.begin() + 5000, 1000, uint8_t(0xAB));
    std::vector<ChunkRecord> before = Chunks(old, old.size()), after = Chunks(changed, changed.size());
    ASSERT_GT(before.size(), 40u);

    int64_t offset = 0;
    for (size_t i = 0; i < after.size(); i++) {
        EXPECT_EQ(after[i].offset, offset);
        EXPECT_LE(after[i].length, ChunkMaxBytes);
        if (i + 1 < after.size()) {
            EXPECT_GT(after[i].length, ChunkMinBytes);
        }
        offset += after[i].length;
    }
    EXPECT_EQ(offset, int64_t(changed.size()));

    // All but the chunks around the insertion come back at shifted offsets.
    size_t shared = 0;
    for (const ChunkRecord &b : before)
        for (const ChunkRecord &a : after)
            if (memcmp(a.hash, b.hash, ChunkHashBytes) == 0 && a.offset == b.offset + 1000) shared++;
    EXPECT_GE(shared + 2, before.size());

    // A run of one byte value has no content to cut at: the maximum.
    std::vector<uint8_t> flat(3 * ChunkMaxBytes + 5, 0);
    EXPECT_EQ(ChunkLength(flat.data(), flat.size(), false), ChunkMaxBytes);
}

TEST(Chunks, LengthAskForMoreOrTakeTheRestAtTheEnd) {
    std::vector<uint8_t> bytes = RandomBytes(ChunkMaxBytes, 3);
    struct Case {
        size_t length;
        bool atEnd;
        bool rest;  // the whole length is the chunk, else 0 (more wanted)
    } cases[] = {
        {0, true, true},   {0, false, true},  {100, true, true},
        {100, false, false}, {ChunkMinBytes, false, false}, {ChunkMinBytes, true, true},
    };
    for (const Case &c : cases)
        EXPECT_EQ(ChunkLength(bytes.data(), c.length, c.atEnd), c.rest ? c.length : 0u) << c.length << c.atEnd;
}

// Where a cutter fed blocks of step bytes ends each chunk.
std::vector<int64_t> CutterEnds(const std::vector<uint8_t> &bytes, size_t step) {
    ChunkCutter cutter = {0, 0};
    std::vector<int64_t> ends;
    for (size_t at = 0; at < bytes.size();) {
        size_t block = std::min(step, bytes.size() - at);
        for (size_t taken = 0; taken < block;) {
            taken += ChunkCutterTake(&cutter, bytes.data() + at + taken, block - taken);
            if (cutter.taken == 0) ends.push_back(int64_t(at + taken));
        }
        at += block;
    }
    if (cutter.taken > 0) ends.push_back(int64_t(bytes.size()));
    return ends;
}

TEST(Chunks, TheStreamGivesTheSameChunksWhateverTheReadSizes) {
    std::vector<uint8_t> bytes = RandomBytes((1 << 20) + 12345, 11);
    std::vector<ChunkRecord> whole = Chunks(bytes, bytes.size());
    // Where published indexes put the cuts of these bytes: any change to
    // the cutting that moves one would make every index out there useless.
    const uint32_t lengths[] = {131072, 75929, 38157, 31970, 125596, 109854, 109704, 29542,
                                47099,  38707, 68995, 49971, 70087,  68966,  10919,  54353};
    ASSERT_EQ(whole.size(), std::size(lengths));
    std::vector<int64_t> ends;
    for (size_t i = 0; i < whole.size(); i++) {
        EXPECT_EQ(whole[i].length, lengths[i]) << i;
        ends.push_back(whole[i].offset + whole[i].length);
    }
    for (size_t step : {size_t(1), size_t(4096)}) {
        std::vector<ChunkRecord> pieces = Chunks(bytes, step);
        ASSERT_EQ(pieces.size(), whole.size()) << step;
        for (size_t i = 0; i < whole.size(); i++) {
            EXPECT_EQ(pieces[i].offset, whole[i].offset);
            EXPECT_EQ(memcmp(pieces[i].hash, whole[i].hash, ChunkHashBytes), 0);
        }
    }
    for (size_t step : {size_t(1), size_t(ChunkMinBytes), size_t(ChunkMinBytes + 1), size_t(65539),
                        size_t(ChunkMaxBytes), bytes.size()})
        EXPECT_EQ(CutterEnds(bytes, step), ends) << step;
    EXPECT_TRUE(Chunks(std::vector<uint8_t>(), 10).empty());
}

TEST(ChunkIndex, AWrittenIndexReadsBackAndEveryFaultIsRefused) {
    std::vector<uint8_t> bytes = RandomBytes((1 << 20) + 777, 5);
    std::vector<ChunkRecord> records = Chunks(bytes, bytes.size());
    uint8_t sha256[Sha256Bytes];
    std::vector<uint8_t> index = IndexOf(bytes, records, sha256);
    int64_t size = int64_t(bytes.size());
    EXPECT_LE(int64_t(index.size()), ChunkIndexLimitBytes(size));

    ChunkIndexHeader header;
    std::vector<ChunkRecord> read(records.size());
    ASSERT_EQ(ReadChunkIndex(index.data(), index.size(), size, sha256, &header, read.data()), ChunkIndexOk);
    EXPECT_EQ(header.chunkCount, records.size());
    for (size_t i = 0; i < records.size(); i++) {
        EXPECT_EQ(read[i].offset, records[i].offset);
        EXPECT_EQ(read[i].length, records[i].length);
        EXPECT_EQ(memcmp(read[i].hash, records[i].hash, ChunkHashBytes), 0);
    }

    const size_t first = ChunkIndexHeaderBytes, second = first + ChunkRecordBytes;
    const size_t last = index.size() - ChunkRecordBytes;
    struct Case {
        const char *fault;
        std::function<void(std::vector<uint8_t> &)> change;
        int64_t size;
        ChunkIndexCheck check;
    } cases[] = {
        {"cut in the header", [](std::vector<uint8_t> &i) { i.resize(ChunkIndexHeaderBytes - 1); }, size,
         ChunkIndexTooShort},
        {"other magic", [](std::vector<uint8_t> &i) { i[0] ^= 1; }, size, ChunkIndexNotAnIndex},
        {"version 2", [](std::vector<uint8_t> &i) { i[8] = 2; }, size, ChunkIndexOtherVersion},
        {"other mask", [](std::vector<uint8_t> &i) { i[16]++; }, size, ChunkIndexOtherVersion},
        {"other size", [](std::vector<uint8_t> &) {}, size + 1, ChunkIndexOtherFile},
        {"other digest", [](std::vector<uint8_t> &i) { i[40] ^= 1; }, size, ChunkIndexOtherFile},
        {"a record short", [](std::vector<uint8_t> &i) { i.pop_back(); }, size, ChunkIndexWrongLength},
        {"count past the size", [](std::vector<uint8_t> &i) { i[64 + 3] = 0x7F; }, size, ChunkIndexWrongLength},
        {"count one less", [](std::vector<uint8_t> &i) { i[64]--; }, size, ChunkIndexWrongLength},
        {"gap", [](std::vector<uint8_t> &i) { i[second + 0]++; }, size, ChunkIndexBadRecord},
        {"empty chunk",
         [](std::vector<uint8_t> &i) { memset(&i[first + 8], 0, 4); }, size, ChunkIndexBadRecord},
        {"over the maximum",
         [](std::vector<uint8_t> &i) { i[first + 8 + 2] = 0x10; }, size, ChunkIndexBadRecord},
        {"last past the end", [last](std::vector<uint8_t> &i) { i[last + 8]++; }, size, ChunkIndexBadRecord},
        {"last short of the end", [last](std::vector<uint8_t> &i) { i[last + 8]--; }, size, ChunkIndexBadRecord},
    };
    for (const Case &c : cases) {
        std::vector<uint8_t> changed = index;
        c.change(changed);
        EXPECT_EQ(ReadChunkIndex(changed.data(), changed.size(), c.size, sha256, &header, nullptr), c.check)
            << c.fault;
    }
}
