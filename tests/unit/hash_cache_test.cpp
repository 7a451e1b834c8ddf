// The hash cache: its file read back exactly or not at all, and a record
// that answers only while the file's stamp is the one it was hashed with.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "patch/hash_cache.h"
#include "test_files.h"

static HashCacheRecord Record(uint64_t pathHash, int64_t size, uint8_t fill) {
    HashCacheRecord record = {pathHash, FileStamp{size, 1700000000123456789, 2049, 77}, {}};
    memset(record.sha256, fill, Sha256Bytes);
    return record;
}

TEST(HashCacheFile, OnlyAnIntactFileOfThisVersionIsRead) {
    const HashCacheRecord written[2] = {Record(1, 5000000000, 0xAB), Record(0xFFFFFFFFFFFFFFFFull, 0, 0x01)};
    std::string good(size_t(HashCacheFileBytes(2)), '\0');
    FormatHashCache(written, 2, reinterpret_cast<uint8_t *>(&good[0]));
    std::string empty(size_t(HashCacheFileBytes(0)), '\0');
    FormatHashCache(written, 0, reinterpret_cast<uint8_t *>(&empty[0]));
    auto changed = [&](size_t at, char value) {
        std::string bytes = good;
        bytes[at] = value;
        return bytes;
    };
    struct Case {
        const char *what;
        std::string bytes;
        HashCacheRead read;
        int64_t count;
    };
    const Case cases[] = {
        {"intact", good, HashCacheLoaded, 2},
        {"no records", empty, HashCacheLoaded, 0},
        {"nothing", "", HashCacheDamaged, 0},
        {"head only, cut", good.substr(0, 20), HashCacheDamaged, 0},
        {"last record cut", good.substr(0, good.size() - 1), HashCacheDamaged, 0},
        {"a byte more", good + "x", HashCacheDamaged, 0},
        {"other text", "launcher-state 1\nFD4B 17\n", HashCacheDamaged, 0},
        {"a digest byte changed", changed(good.size() - 3, 0x55), HashCacheDamaged, 0},
        {"a stamp byte changed", changed(HashCacheHeadBytes + 16, 0x55), HashCacheDamaged, 0},
        {"more records counted", changed(20, 3), HashCacheDamaged, 0},
        {"a huge count", changed(23, char(0x7F)), HashCacheDamaged, 0},
        {"version 2", changed(16, 2), HashCacheOtherVersion, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        HashCacheRecord read[4];
        int64_t count = -1;
        int64_t length = int64_t(c.bytes.size());
        ASSERT_LE(length < HashCacheHeadBytes ? 0 : (length - HashCacheHeadBytes) / HashCacheRecordBytes, 4);
        EXPECT_EQ(ParseHashCache(reinterpret_cast<const uint8_t *>(c.bytes.data()), length, read, &count), c.read);
        EXPECT_EQ(count, c.count);
        for (int64_t i = 0; i < count; i++) EXPECT_EQ(memcmp(&read[i], &written[i], sizeof read[i]), 0);
        // Read in place, as a pass reads the file: its records take the
        // place of its bytes.
        HashCacheRecord block[5] = {};
        memcpy(block, c.bytes.data(), size_t(length));
        EXPECT_EQ(ParseHashCache(reinterpret_cast<const uint8_t *>(block), length, block, &count), c.read);
        EXPECT_EQ(count, c.count);
        for (int64_t i = 0; i < count; i++) EXPECT_EQ(memcmp(&block[i], &written[i], sizeof block[i]), 0);
    }
}

TEST(HashCache, ARecordAnswersOnlyForItsStampAndUnlistedPathsAreDropped) {
    WideString folder = MakeScratchFolder();
    const FileStamp stamp = {4096, 1700000000000000001, 2049, 1234};
    uint8_t digest[Sha256Bytes], known[Sha256Bytes];
    memset(digest, 0x5A, sizeof digest);

    HashCache cache;
    OpenHashCache(&cache, folder.c_str());  // no file yet
    RecordHash(&cache, Wide("data/a.pak").c_str(), &stamp, digest);
    RecordHash(&cache, Wide("data/b.pak").c_str(), &stamp, digest);
    CloseHashCache(&cache);
    std::string written = ReadBytes(JoinPath(folder, "launcher.hashes"));
    EXPECT_EQ(int64_t(written.size()), HashCacheFileBytes(2));

    struct Case {
        const char *what;
        const char *path;
        FileStamp stamp;
        bool known;
    };
    const Case cases[] = {
        {"the same stamp", "data/a.pak", stamp, true},
        {"spelled with two separators", "data//a.pak", stamp, true},
        {"another size", "data/a.pak", {4097, stamp.modified, stamp.volume, stamp.fileIndex}, false},
        {"written since", "data/a.pak", {4096, stamp.modified + 1, stamp.volume, stamp.fileIndex}, false},
        {"another volume", "data/a.pak", {4096, stamp.modified, 2050, stamp.fileIndex}, false},
        {"another file there", "data/a.pak", {4096, stamp.modified, stamp.volume, 1235}, false},
        {"never hashed", "data/c.pak", stamp, false},
    };
    OpenHashCache(&cache, folder.c_str());
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        memset(known, 0, sizeof known);
        EXPECT_EQ(LookUpHash(&cache, Wide(c.path).c_str(), &c.stamp, known), c.known);
        if (c.known) {
            EXPECT_EQ(memcmp(known, digest, sizeof known), 0);
        }
    }
    CloseHashCache(&cache);  // b.pak was not looked at: it is dropped
    EXPECT_EQ(int64_t(ReadBytes(JoinPath(folder, "launcher.hashes")).size()), HashCacheFileBytes(1));

    WriteBytes(JoinPath(folder, "launcher.hashes"), written.substr(0, 50));  // damaged: read as empty
    OpenHashCache(&cache, folder.c_str());
    EXPECT_FALSE(LookUpHash(&cache, Wide("data/a.pak").c_str(), &stamp, known));
    CloseHashCache(&cache);
    RemoveTree(folder);
}
