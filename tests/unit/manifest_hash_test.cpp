// A file's SHA-256 in the URL fragment of its manifest line: which
// fragments are read as a hash, which refuse the entry, that the URL the
// engine requests never carries one, and that launcher-manifest's lines
// with a digest read back as that digest.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "../../tools/manifest_lines.h"
#include "manifest_walk.h"
#include "patch/manifest.h"
#include "test_files.h"

namespace {

const char DigestHex[] = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";  // of no bytes

ManifestEntry ReadOne(const std::string &line) {
    std::vector<ManifestEntry> entries = ReadManifestEntries(line + "\n");
    EXPECT_EQ(entries.size(), 1u) << line;
    return entries.empty() ? ManifestEntry{} : entries[0];
}

}  // namespace

TEST(ManifestHash, AWellFormedFragmentGivesTheDigestAndLeavesTheUrlWithoutIt) {
    ManifestEntry entry = ReadOne(std::string("data/a.bin|0|http://h/files/a.bin?v=2#sha256=") + DigestHex + "\r");
    EXPECT_TRUE(entry.fragmentUsable);
    ASSERT_TRUE(entry.hasSha256);
    EXPECT_EQ(entry.sha256[0], 0xe3);
    EXPECT_EQ(entry.sha256[1], 0xb0);
    EXPECT_EQ(entry.sha256[31], 0x55);
    EXPECT_EQ(Narrow(entry.sourceUrl), "http://h/files/a.bin?v=2");
    EXPECT_TRUE(entry.fieldsFit);

    ManifestEntry plain = ReadOne("data/a.bin|0|http://h/files/a.bin|with-bar");
    EXPECT_FALSE(plain.hasSha256);
    EXPECT_TRUE(plain.fragmentUsable);
    EXPECT_EQ(Narrow(plain.sourceUrl), "http://h/files/a.bin|with-bar");
}

TEST(ManifestHash, EveryOtherFragmentRefusesTheEntryInsteadOfCheckingNothing) {
    std::string upper = DigestHex;
    for (char &c : upper) c = char(toupper(c));
    const std::string refused[] = {
        "#sha256=" + upper,                              // the form is lowercase only
        "#sha256=" + std::string(DigestHex).substr(1),   // one digit short
        "#sha256=" + std::string(DigestHex) + "0",       // one digit more
        "#sha256=" + std::string(DigestHex) + " ",       // a trailing blank
        "#sha256=" + std::string(DigestHex, 63) + "g",   // not a hex digit
        "#sha256=:" + std::string(DigestHex, 63),        // the bytes just past '9' and before 'a'
        "#sha256=" + std::string(DigestHex, 63) + "`",
        "#SHA256=" + std::string(DigestHex),             // another spelling
        "#sha-256=" + std::string(DigestHex),
        "#sha512=" + std::string(DigestHex) + DigestHex,
        "#sha256=" + std::string(DigestHex) + "#x",      // a second '#'
        "#sha256=",
        "#",
        "#section-2",
    };
    for (const std::string &fragment : refused) {
        ManifestEntry entry = ReadOne("a|0|http://h/a" + fragment);
        EXPECT_FALSE(entry.hasSha256) << fragment;
        EXPECT_FALSE(entry.fragmentUsable) << fragment;
        EXPECT_EQ(Narrow(entry.sourceUrl), "http://h/a") << fragment;
    }
}

TEST(ManifestHash, TheFragmentNeverCountsAgainstTheUrlsRoom) {
    // A URL that just fits its field fits with its hash too: the fragment
    // is cut off before the URL is stored.
    std::string url = "http://h/" + std::string(SourceUrlUnits - 1 - 9, 'x');
    ManifestEntry entry = ReadOne("a|0|" + url + "#sha256=" + DigestHex);
    EXPECT_TRUE(entry.fieldsFit);
    EXPECT_TRUE(entry.hasSha256);
    EXPECT_EQ(Narrow(entry.sourceUrl), url);
}

TEST(ManifestHash, LinesLauncherManifestWritesWithADigestReadBackAsThatDigest) {
    uint8_t digest[Sha256DigestBytes];
    for (int i = 0; i < Sha256DigestBytes; i++) digest[i] = uint8_t(i * 37 + 11);
    static char line[ManifestLineBytes];
    static char plain[ManifestLineBytes];
    const char *path = "data/with space#and%.bin";
    ASSERT_TRUE(FormatManifestLine(path, 1234, "https://cdn.example/p", line, digest));
    ASSERT_TRUE(FormatManifestLine(path, 1234, "https://cdn.example/p", plain));
    // Without a digest the line is what it always was; with one only the
    // fragment is added.
    std::string withHash = line;
    std::string without = plain;
    ASSERT_EQ(without.back(), '\n');
    EXPECT_EQ(withHash.substr(0, without.size() - 1), without.substr(0, without.size() - 1));
    EXPECT_EQ(withHash.size(), without.size() + Sha256FragmentBytes);

    ManifestEntry entry = ReadOne(withHash.substr(0, withHash.size() - 1));
    ASSERT_TRUE(entry.hasSha256);
    EXPECT_EQ(memcmp(entry.sha256, digest, sizeof digest), 0);
    EXPECT_EQ(Narrow(entry.relativePath), path);
    EXPECT_EQ(entry.expectedSize, 1234);
    EXPECT_EQ(Narrow(entry.sourceUrl), "https://cdn.example/p/data/with%20space%23and%25.bin");

    // A base with a '#' would put the path and the hash into the fragment.
    int length = 0, units = 0;
    EXPECT_NE(BaseUrlProblem("https://cdn.example/p#x", &length, &units), nullptr);
    EXPECT_EQ(BaseUrlProblem("https://cdn.example/p?x=1", &length, &units), nullptr);
}
