// The crypto seam against published test vectors: SHA-256 in one piece and
// fed in pieces (as downloads feed it), BLAKE2b-512, and Ed25519 checks that
// hold only for the exact key, signature and message.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/crypto.h"

static std::vector<uint8_t> FromHex(const char *hex) {
    std::vector<uint8_t> bytes;
    for (size_t i = 0; hex[i] != 0 && hex[i + 1] != 0; i += 2)
        bytes.push_back(uint8_t(std::stoi(std::string(hex + i, 2), nullptr, 16)));
    return bytes;
}

static std::string ToHex(const uint8_t *bytes, int count) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (int i = 0; i < count; i++) text += {digits[bytes[i] >> 4], digits[bytes[i] & 15]};
    return text;
}

TEST(Crypto, DigestsMatchTheirPublishedVectorsWholeAndInPieces) {
    uint8_t digest[Blake2b512Bytes];
    ASSERT_TRUE(Sha256Of("abc", 3, digest));
    EXPECT_EQ(ToHex(digest, Sha256Bytes), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    ASSERT_TRUE(Blake2b512Of("abc", 3, digest));
    EXPECT_EQ(ToHex(digest, Blake2b512Bytes),
              "ba80a53f981c4d0d6a2797b69f12f6e94c212f14685ac4b74b12bb6fdbffa2d17d87c539"
              "2aab792dc252d5de4533cc9518d38aa8dbf1925ab92386edd4009923");

    // A million 'a' in uneven pieces, as a download's reads arrive.
    std::vector<char> chunk(7919, 'a');
    Sha256Run *run = Sha256Begin();
    ASSERT_NE(run, nullptr);
    size_t left = 1000000;
    for (size_t piece = 1; left > 0; piece = piece * 3 % 7919 + 1) {
        size_t count = piece < left ? piece : left;
        Sha256Add(run, chunk.data(), count);
        left -= count;
    }
    ASSERT_TRUE(Sha256End(run, digest));
    EXPECT_EQ(ToHex(digest, Sha256Bytes), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");

    // One run taken digest after digest, as chunks are hashed: each digest
    // covers only what was added since the last.
    run = Sha256Begin();
    ASSERT_NE(run, nullptr);
    Sha256Add(run, "xyz", 3);
    ASSERT_TRUE(Sha256Take(run, digest));
    Sha256Add(run, "abc", 3);
    ASSERT_TRUE(Sha256Take(run, digest));
    EXPECT_EQ(ToHex(digest, Sha256Bytes), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    ASSERT_TRUE(Sha256Take(run, digest));
    EXPECT_EQ(ToHex(digest, Sha256Bytes), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    Sha256Abandon(run);
    EXPECT_FALSE(Sha256Take(nullptr, digest));

    Sha256Abandon(Sha256Begin());  // a run given up on is freed, not leaked
    EXPECT_FALSE(Sha256End(nullptr, digest));
}

TEST(Crypto, Ed25519ChecksHoldOnlyForTheSignedMessageKeyAndSignature) {
    // RFC 8032, section 7.1, tests 1 (empty message) and 2 (one byte).
    std::vector<uint8_t> key1 = FromHex("d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a");
    std::vector<uint8_t> signature1 = FromHex(
        "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b46b"
        "d25bf5f0595bbe24655141438e7a100b");
    std::vector<uint8_t> key2 = FromHex("3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c");
    std::vector<uint8_t> signature2 = FromHex(
        "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da085ac1e43e15996e458f3613d0f11d8c"
        "387b2eaeb4302aeeb00d291612bb0c00");
    const uint8_t message2[1] = {0x72};

    EXPECT_TRUE(Ed25519SignatureHolds(key1.data(), signature1.data(), "", 0));
    EXPECT_TRUE(Ed25519SignatureHolds(key2.data(), signature2.data(), message2, 1));

    const uint8_t otherMessage[1] = {0x73};
    EXPECT_FALSE(Ed25519SignatureHolds(key2.data(), signature2.data(), otherMessage, 1));
    EXPECT_FALSE(Ed25519SignatureHolds(key1.data(), signature2.data(), message2, 1));
    std::vector<uint8_t> flipped = signature2;
    flipped[40] ^= 0x01;
    EXPECT_FALSE(Ed25519SignatureHolds(key2.data(), flipped.data(), message2, 1));
    std::vector<uint8_t> notAKey(32, 0xFF);
    EXPECT_FALSE(Ed25519SignatureHolds(notAKey.data(), signature2.data(), message2, 1));
}
