// Content-defined chunks and the chunk index (see chunks.h for the format).
// The gear table is generated at compile time from a fixed seed, so every
// build of the publisher and of the launcher cuts at the same places.
// Platform-neutral; hashing goes through the crypto seam.
#include "patch/chunks.h"

#include <cstring>

namespace {

constexpr uint64_t GearSeed = 0x6c61756e63686572;  // fixed forever: changing it moves every cut

struct GearTable {
    uint64_t values[256];
};

// splitmix64: a well-mixed 64-bit constant for each byte value.
constexpr GearTable MakeGearTable() {
    GearTable table = {};
    uint64_t state = GearSeed;
    for (int i = 0; i < 256; i++) {
        state += 0x9e3779b97f4a7c15;
        uint64_t z = state;
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9;
        z = (z ^ (z >> 27)) * 0x94d049bb133111eb;
        table.values[i] = z ^ (z >> 31);
    }
    return table;
}

constexpr GearTable Gear = MakeGearTable();

// The top ChunkMaskBits bits: they depend on the last 64 bytes hashed,
// where the low bits would depend only on the last few.
constexpr uint64_t CutMask = ~uint64_t(0) << (64 - ChunkMaskBits);

constexpr uint8_t Magic[8] = {'Z', 'L', 'C', 'H', 'U', 'N', 'K', '1'};

void PutU32(uint8_t *out, uint32_t value) {
    for (int i = 0; i < 4; i++) out[i] = uint8_t(value >> (8 * i));
}

void PutU64(uint8_t *out, uint64_t value) {
    for (int i = 0; i < 8; i++) out[i] = uint8_t(value >> (8 * i));
}

uint32_t GetU32(const uint8_t *in) {
    uint32_t value = 0;
    for (int i = 3; i >= 0; i--) value = (value << 8) | in[i];
    return value;
}

uint64_t GetU64(const uint8_t *in) {
    uint64_t value = 0;
    for (int i = 7; i >= 0; i--) value = (value << 8) | in[i];
    return value;
}

// The most chunks a file of fileSize can be cut into: every chunk but the
// last is longer than ChunkMinBytes.
int64_t MostChunks(int64_t fileSize) { return fileSize <= 0 ? 0 : fileSize / ChunkMinBytes + 1; }

// Reads the record at in and checks it follows the chunks before it (which
// end at *offset), within the length limits and the file.
bool ReadRecord(const uint8_t *in, int64_t fileSize, bool last, int64_t *offset, ChunkRecord *record) {
    uint64_t at = GetU64(in);
    uint32_t length = GetU32(in + 8);
    if (at != uint64_t(*offset) || length == 0 || length > ChunkMaxBytes) return false;
    if (!last && length <= ChunkMinBytes) return false;
    if (int64_t(length) > fileSize - *offset) return false;
    if (last && *offset + int64_t(length) != fileSize) return false;
    record->offset = *offset;
    record->length = length;
    memcpy(record->hash, in + 12, ChunkHashBytes);
    *offset += length;
    return true;
}

}  // namespace

// Rolls *hash over data[from, to) and returns the index just past the
// first byte after which its top bits are all zero, or 0 when no byte
// does. Eight bytes a turn: each still gets its own test, but the loop's
// count and bound are checked once per eight.
static size_t RollToCut(const uint8_t *data, size_t from, size_t to, uint64_t *hash) {
    uint64_t rolled = *hash;
    size_t i = from;
    for (; i + 8 <= to; i += 8) {
        for (size_t k = 0; k < 8; k++) {
            rolled = (rolled << 1) + Gear.values[data[i + k]];
            if ((rolled & CutMask) == 0) {
                *hash = rolled;
                return i + k + 1;
            }
        }
    }
    for (; i < to; i++) {
        rolled = (rolled << 1) + Gear.values[data[i]];
        if ((rolled & CutMask) == 0) {
            *hash = rolled;
            return i + 1;
        }
    }
    *hash = rolled;
    return 0;
}

uint32_t ChunkLength(const uint8_t *data, size_t length, bool atEnd) {
    size_t limit = length < ChunkMaxBytes ? length : ChunkMaxBytes;
    uint64_t hash = 0;
    size_t cut = limit > ChunkMinBytes ? RollToCut(data, ChunkMinBytes, limit, &hash) : 0;
    if (cut != 0) return uint32_t(cut);
    if (limit == ChunkMaxBytes) return ChunkMaxBytes;
    return atEnd ? uint32_t(length) : 0;
}

size_t ChunkCutterTake(ChunkCutter *cutter, const uint8_t *bytes, size_t count) {
    size_t at = 0;
    if (cutter->taken < ChunkMinBytes) {  // no cut before the minimum, and the hash starts there
        at = ChunkMinBytes - cutter->taken < count ? ChunkMinBytes - cutter->taken : count;
        cutter->taken += uint32_t(at);
        if (at == count) return count;
    }
    size_t room = ChunkMaxBytes - cutter->taken;
    size_t to = count - at < room ? count : at + room;
    size_t cut = RollToCut(bytes, at, to, &cutter->hash);
    if (cut == 0) {
        cutter->taken += uint32_t(to - at);
        if (cutter->taken < ChunkMaxBytes) return to;
        cut = to;  // the longest a chunk may be
    }
    cutter->hash = 0;
    cutter->taken = 0;
    return cut;
}

bool ChunkHashOf(const uint8_t *data, size_t length, uint8_t hash[ChunkHashBytes]) {
    uint8_t digest[Sha256Bytes];
    if (!Sha256Of(data, length, digest)) return false;
    memcpy(hash, digest, ChunkHashBytes);
    return true;
}

// Fills buffer from used up to ChunkBufferBytes or the end of the stream;
// -1 on a read failure, else the bytes now held.
static int64_t FillChunkBuffer(int64_t (*read)(void *, uint8_t *, size_t), void *context, uint8_t *buffer,
                               size_t used, bool *atEnd) {
    while (used < ChunkBufferBytes && !*atEnd) {
        int64_t got = read(context, buffer + used, ChunkBufferBytes - used);
        if (got < 0 || size_t(got) > ChunkBufferBytes - used) return -1;
        if (got == 0) *atEnd = true;
        used += size_t(got);
    }
    return int64_t(used);
}

bool ChunkStream(int64_t (*read)(void *context, uint8_t *buffer, size_t capacity),
                 bool (*chunk)(void *context, const ChunkRecord *record, const uint8_t *bytes), void *context,
                 uint8_t *buffer) {
    size_t held = 0;
    int64_t offset = 0;  // of buffer[0] in the stream
    bool atEnd = false;
    for (;;) {
        int64_t filled = FillChunkBuffer(read, context, buffer, held, &atEnd);
        if (filled < 0) return false;
        held = size_t(filled);
        size_t start = 0;
        uint32_t length;
        while (start < held && (length = ChunkLength(buffer + start, held - start, atEnd)) != 0) {
            ChunkRecord record = {offset + int64_t(start), length, {}};
            if (!ChunkHashOf(buffer + start, length, record.hash) || !chunk(context, &record, buffer + start))
                return false;
            start += length;
        }
        if (atEnd && start == held) return true;
        // What is left is shorter than a chunk can be: keep it for the next fill.
        memmove(buffer, buffer + start, held - start);
        held -= start;
        offset += int64_t(start);
    }
}

void WriteChunkIndexHeader(const ChunkIndexHeader *header, uint8_t out[ChunkIndexHeaderBytes]) {
    memcpy(out, Magic, 8);
    PutU32(out + 8, ChunkIndexVersion);
    PutU32(out + 12, ChunkMinBytes);
    PutU32(out + 16, ChunkMaskBits);
    PutU32(out + 20, ChunkMaxBytes);
    PutU64(out + 24, uint64_t(header->fileSize));
    memcpy(out + 32, header->fileSha256, Sha256Bytes);
    PutU32(out + 32 + Sha256Bytes, header->chunkCount);
}

void WriteChunkRecord(const ChunkRecord *record, uint8_t out[ChunkRecordBytes]) {
    PutU64(out, uint64_t(record->offset));
    PutU32(out + 8, record->length);
    memcpy(out + 12, record->hash, ChunkHashBytes);
}

int64_t ChunkIndexLimitBytes(int64_t fileSize) {
    return ChunkIndexHeaderBytes + MostChunks(fileSize) * ChunkRecordBytes;
}

ChunkIndexCheck ReadChunkIndex(const uint8_t *bytes, size_t length, int64_t expectedSize,
                               const uint8_t expectedSha256[Sha256Bytes], ChunkIndexHeader *header,
                               ChunkRecord *records) {
    if (length < size_t(ChunkIndexHeaderBytes)) return ChunkIndexTooShort;
    if (memcmp(bytes, Magic, 8) != 0) return ChunkIndexNotAnIndex;
    if (GetU32(bytes + 8) != ChunkIndexVersion || GetU32(bytes + 12) != ChunkMinBytes ||
        GetU32(bytes + 16) != ChunkMaskBits || GetU32(bytes + 20) != ChunkMaxBytes)
        return ChunkIndexOtherVersion;
    uint64_t fileSize = GetU64(bytes + 24);
    if (expectedSize < 0 || fileSize != uint64_t(expectedSize) ||
        memcmp(bytes + 32, expectedSha256, Sha256Bytes) != 0)
        return ChunkIndexOtherFile;
    header->fileSize = expectedSize;
    memcpy(header->fileSha256, expectedSha256, Sha256Bytes);
    header->chunkCount = GetU32(bytes + 32 + Sha256Bytes);
    uint64_t count = header->chunkCount;
    if (int64_t(count) > MostChunks(expectedSize) ||
        uint64_t(length) != ChunkIndexHeaderBytes + count * ChunkRecordBytes)
        return ChunkIndexWrongLength;
    if (count == 0 && expectedSize != 0) return ChunkIndexBadRecord;
    int64_t offset = 0;
    for (uint64_t i = 0; i < count; i++) {
        ChunkRecord record;
        const uint8_t *in = bytes + ChunkIndexHeaderBytes + i * ChunkRecordBytes;
        if (!ReadRecord(in, expectedSize, i + 1 == count, &offset, &record)) return ChunkIndexBadRecord;
        if (records != nullptr) records[i] = record;
    }
    return ChunkIndexOk;
}
