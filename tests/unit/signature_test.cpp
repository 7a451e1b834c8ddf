// Signed manifests: real minisign signatures hold only for the signed bytes,
// key and trusted comment; the key line and the .minisig parser refuse
// anything that is not exactly minisign's form; the signature's URL; and
// where the key comes from (launcher.ini over the build's); the times a
// trusted comment signs and whether they make a manifest too old.
//
// The fixtures were made once with minisign 0.11 and pasted in:
//   minisign -G -W -p a.pub -s a.key;  minisign -G -W -p b.pub -s b.key
//   printf '# signed manifest\ndata/a.bin|5|http://127.0.0.1/a.bin\n' > m.txt
//   minisign -S -s a.key -m m.txt -x m.pre -t "launcher test manifest 1"
//   minisign -S -l -s a.key -m m.txt -x m.leg -t "legacy form"
//   minisign -S -s b.key -m m.txt -x m.other -t "launcher test manifest 1"
// and `minisign -V -p a.pub -m m.txt -x m.pre` (and m.leg) verified them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "base/config.h"
#include "patch/freshness.h"
#include "patch/manifest_signature.h"
#include "patch/signature.h"
#include "test_files.h"

static const std::string Manifest = "# signed manifest\ndata/a.bin|5|http://127.0.0.1/a.bin\n";
static const std::string KeyA = "RWRcFkSlcz1L/SWaylb7TItCaojIWQhEmZd3G5k3souVixI0Drjetigb";  // id FD4B3D73A544165C
static const std::string KeyB = "RWTmzAtyeV2TUDR7vbENr9CVIEqZXpl/I86Gt7Pc9mpQSPOfl7hCAejO";  // id 50935D79720BCCE6
static const std::string Prehashed =
    "untrusted comment: signature from minisign secret key\n"
    "RURcFkSlcz1L/WJ3VGA70Dn19lbOewsG3pjbpzOC+AS+7M7qbUbiHgRmySpF10P/8qAWDMDR+gpxF/heyXcgTIpDUF7TDSI7bQ4=\n"
    "trusted comment: launcher test manifest 1\n"
    "4NY2hI02jbApt8v6GHpb5Ohob6RiEqdNABPkHC5w1tDGJCv5PCDnKKaGRozWeV7W+BQXNrhS59xCuy6yCaGjBA==\n";
static const std::string Legacy =
    "untrusted comment: signature from minisign secret key\n"
    "RWRcFkSlcz1L/a8opvst1Y6Q5mTWkSImJ9a0mObeVwIB5U2RfCkVacTWncHIf1h/PphcGnb6Sdvm4ewg+OdPmIzfnwciA85j6wU=\n"
    "trusted comment: legacy form\n"
    "wJxM3ICVcAXG9tz/rHIBipzDIwkAD2zDDngVxSr5RbscKgor9zC6EDN7Z857uIQAucsiwg5JV39DGLbuFVCtBQ==\n";
static const std::string ByOtherKey =
    "untrusted comment: signature from minisign secret key\n"
    "RUTmzAtyeV2TUOsY0BAIPEMTESgFyV4IQgUV/tEeDMIyScNRt7NT2rQP0xK3PbgcKmZimI2jaRj9KnDiJgYu3nbXTgiRQ0s0KAQ=\n"
    "trusted comment: launcher test manifest 1\n"
    "e5mFAo/FBUP4jmA2pMg53yE6em/pu0/MH4zOx5EZN+hHHMNMw6Q8X7GBa0mvsV09qgtGYqL3HG1N2T4U9k4cDw==\n";

// Test-side base64, to make signature lines with chosen bytes.
static const char Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

static std::string Encode(const std::vector<uint8_t> &bytes) {
    std::string text;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        size_t n = std::min<size_t>(3, bytes.size() - i);
        uint32_t group = 0;
        for (size_t k = 0; k < 3; k++) group = (group << 8) | (k < n ? bytes[i + k] : 0);
        for (size_t k = 0; k < 4; k++) text += k <= n ? Alphabet[(group >> (18 - 6 * k)) & 63] : '=';
    }
    return text;
}

static std::vector<uint8_t> Decode(const std::string &text) {
    std::vector<uint8_t> bytes;
    uint32_t bits = 0;
    int held = 0;
    for (char c : text) {
        if (c == '=') break;
        bits = (bits << 6) | uint32_t(std::string(Alphabet).find(c));
        held += 6;
        if (held >= 8) bytes.push_back(uint8_t(bits >> (held -= 8)));
    }
    return bytes;
}

static std::vector<std::string> LinesOf(const std::string &file) {
    std::vector<std::string> lines;
    for (size_t start = 0; start < file.size();) {
        size_t end = file.find('\n', start);
        lines.push_back(file.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

static std::string Join(const std::vector<std::string> &lines) {
    std::string file;
    for (const std::string &line : lines) file += line + "\n";
    return file;
}

// file with line `index` (0-3) replaced.
static std::string WithLine(const std::string &file, int index, const std::string &line) {
    std::vector<std::string> lines = LinesOf(file);
    lines[size_t(index)] = line;
    return Join(lines);
}

static ManifestPublicKey KeyOf(const std::string &line) {
    ManifestPublicKey key;
    EXPECT_EQ(ParsePublicKeyLine(line.data(), line.size(), &key), SignatureOk) << line;
    return key;
}

static SignatureCheck Parse(const std::string &file) {
    ManifestSignature signature;
    return ParseSignatureFile(file.data(), file.size(), &signature);
}

// Parses file and checks it for manifest against key: the first failure.
static SignatureCheck Verify(const std::string &key, const std::string &file, const std::string &manifest) {
    ManifestPublicKey parsedKey = KeyOf(key);
    ManifestSignature signature;
    SignatureCheck check = ParseSignatureFile(file.data(), file.size(), &signature);
    if (check != SignatureOk) return check;
    return CheckManifestSignature(&parsedKey, &signature, manifest.data(), manifest.size());
}

TEST(Signature, MinisignSignaturesHoldOnlyForTheSignedBytesKeyAndComment) {
    EXPECT_EQ(Verify(KeyA, Prehashed, Manifest), SignatureOk);
    EXPECT_EQ(Verify(KeyA, Legacy, Manifest), SignatureOk);

    // One byte changed, in either form.
    std::string changed = Manifest;
    changed[changed.find('5')] = '6';
    EXPECT_EQ(Verify(KeyA, Prehashed, changed), SignatureManifestDiffers);
    EXPECT_EQ(Verify(KeyA, Legacy, changed), SignatureManifestDiffers);
    // Bytes after a zero byte count too: the signature covers the whole body.
    EXPECT_EQ(Verify(KeyA, Prehashed, Manifest + std::string(1, '\0') + "x"), SignatureManifestDiffers);

    // The trusted comment is covered by the global signature.
    EXPECT_EQ(Verify(KeyA, WithLine(Prehashed, 2, "trusted comment: launcher test manifest 2"), Manifest),
              SignatureCommentDiffers);
    EXPECT_EQ(Verify(KeyA, WithLine(Legacy, 2, "trusted comment: legacy form "), Manifest), SignatureCommentDiffers);
    // The untrusted comment is not.
    EXPECT_EQ(Verify(KeyA, WithLine(Prehashed, 0, "untrusted comment: anything"), Manifest), SignatureOk);

    // Another key: told by its id first, and its signature does not hold
    // either when the id is made to match.
    EXPECT_EQ(Verify(KeyA, ByOtherKey, Manifest), SignatureKeyIdDiffers);
    EXPECT_EQ(Verify(KeyB, ByOtherKey, Manifest), SignatureOk);
    std::vector<uint8_t> forged = Decode(LinesOf(ByOtherKey)[1]);
    std::vector<uint8_t> keyA = Decode(KeyA);
    std::copy(keyA.begin() + 2, keyA.begin() + 10, forged.begin() + 2);
    EXPECT_EQ(Verify(KeyA, WithLine(ByOtherKey, 1, Encode(forged)), Manifest), SignatureManifestDiffers);

    // The algorithm decides what was signed: a prehashed signature read as
    // legacy (and the other way round) does not hold.
    std::vector<uint8_t> relabelled = Decode(LinesOf(Prehashed)[1]);
    ASSERT_EQ(Encode(relabelled), LinesOf(Prehashed)[1]);  // the test's encoder agrees with minisign's
    relabelled[1] = 'd';
    EXPECT_EQ(Verify(KeyA, WithLine(Prehashed, 1, Encode(relabelled)), Manifest), SignatureManifestDiffers);
    relabelled = Decode(LinesOf(Legacy)[1]);
    relabelled[1] = 'D';
    EXPECT_EQ(Verify(KeyA, WithLine(Legacy, 1, Encode(relabelled)), Manifest), SignatureManifestDiffers);

    // Key ids are shown as minisign shows them.
    char id[KeyIdTextBytes];
    FormatKeyId(KeyOf(KeyA).keyId, id);
    EXPECT_STREQ(id, "FD4B3D73A544165C");
    FormatKeyId(KeyOf(KeyB).keyId, id);
    EXPECT_STREQ(id, "50935D79720BCCE6");
    // minisign drops leading zeros, in the key file's comment too.
    const uint8_t leadingZeros[SignatureKeyIdBytes] = {0x0F, 0xB6, 0xE4, 0x2E, 0x0F, 0x7A, 0xE9, 0x07};
    FormatKeyId(leadingZeros, id);
    EXPECT_STREQ(id, "7E97A0F2EE4B60F");
    const uint8_t zero[SignatureKeyIdBytes] = {};
    FormatKeyId(zero, id);
    EXPECT_STREQ(id, "0");
}

// Whichever single byte of the signature line, the trusted comment or the
// global signature is changed (to neighbours that mostly stay base64, so
// most changes reach the signature checks), the file never verifies; only
// the untrusted comment is free.
TEST(Signature, NoChangedByteOfTheSignedLinesVerifies) {
    size_t signedFrom = Prehashed.find('\n') + 1;
    int tried = 0;
    for (size_t i = signedFrom; i < Prehashed.size(); i++) {
        for (int flip : {1, 2, 0x20}) {
            std::string changed = Prehashed;
            changed[i] = char(changed[i] ^ flip);
            tried++;
            EXPECT_NE(Verify(KeyA, changed, Manifest), SignatureOk) << "byte " << i << " ^ " << flip;
        }
    }
    EXPECT_GT(tried, 600);
    for (size_t i = 19; i + 1 < signedFrom; i++) {
        std::string changed = Prehashed;
        changed[i] = 'z';
        EXPECT_EQ(Verify(KeyA, changed, Manifest), SignatureOk) << i;
    }
}

TEST(Signature, LineEndsMayBeCrLfAndTheLastMayBeMissing) {
    std::string crlf;
    for (const std::string &line : LinesOf(Prehashed)) crlf += line + "\r\n";
    EXPECT_EQ(Verify(KeyA, crlf, Manifest), SignatureOk);
    EXPECT_EQ(Verify(KeyA, Prehashed.substr(0, Prehashed.size() - 1), Manifest), SignatureOk);
    // A CR is part of the trusted comment unless a LF follows it.
    EXPECT_EQ(Verify(KeyA, WithLine(Prehashed, 2, "trusted comment: launcher test manifest 1\r\r"), Manifest),
              SignatureCommentDiffers);
}

TEST(Signature, SignatureFilesNotExactlyInMinisignsFormAreRefused) {
    std::vector<std::string> lines = LinesOf(Prehashed);
    const std::string &line = lines[1];
    const std::string &global = lines[3];
    struct Case {
        const char *what;
        std::string file;
        SignatureCheck expected;
    };
    std::vector<Case> cases = {
        {"empty", "", SignatureNotFourLines},
        {"three lines", Join({lines[0], lines[1], lines[2]}), SignatureNotFourLines},
        {"a blank line after the fourth", Prehashed + "\n", SignatureNotFourLines},
        {"text after the fourth", Prehashed + "x", SignatureNotFourLines},
        {"a zero byte", WithLine(Prehashed, 0, std::string("untrusted comment: a\0b", 22)), SignatureNotFourLines},
        {"a blank line first", "\n" + Prehashed, SignatureNotFourLines},
        {"no untrusted comment prefix", WithLine(Prehashed, 0, "untrusted comment:x"), SignatureUntrustedMalformed},
        {"the prefix in capitals", WithLine(Prehashed, 0, "Untrusted comment: x"), SignatureUntrustedMalformed},
        {"a character short", WithLine(Prehashed, 1, line.substr(1)), SignatureLineMalformed},
        {"a character more", WithLine(Prehashed, 1, "A" + line), SignatureLineMalformed},
        {"padding dropped", WithLine(Prehashed, 1, line.substr(0, line.size() - 1)), SignatureLineMalformed},
        {"padding doubled", WithLine(Prehashed, 1, line.substr(0, line.size() - 2) + "=="), SignatureLineMalformed},
        {"a blank after it", WithLine(Prehashed, 1, line + " "), SignatureLineMalformed},
        {"a lone CR after it", WithLine(Prehashed, 1, line + "\r\r"), SignatureLineMalformed},
        {"the URL-safe alphabet", WithLine(Prehashed, 1, "RURcFkSlcz1L_" + line.substr(13)), SignatureLineMalformed},
        // The same bytes, but a last character whose unused bits are not zero.
        {"leftover bits set", WithLine(Prehashed, 1, line.substr(0, line.size() - 2) + "5="), SignatureLineMalformed},
        {"no trusted comment prefix", WithLine(Prehashed, 2, "launcher test manifest 1"), SignatureTrustedMalformed},
        {"global signature short", WithLine(Prehashed, 3, global.substr(4)), SignatureGlobalMalformed},
        {"global signature as 74 bytes", WithLine(Prehashed, 3, line), SignatureGlobalMalformed},
        {"global leftover bits set", WithLine(Prehashed, 3, global.substr(0, global.size() - 3) + "B=="),
         SignatureGlobalMalformed},
    };
    std::vector<uint8_t> unknown = Decode(line);
    unknown[1] = 'E';
    cases.push_back({"algorithm EE", WithLine(Prehashed, 1, Encode(unknown)), SignatureAlgorithmUnknown});
    unknown[0] = 'e';
    unknown[1] = 'd';
    cases.push_back({"algorithm ed", WithLine(Prehashed, 1, Encode(unknown)), SignatureAlgorithmUnknown});
    for (const Case &c : cases) EXPECT_EQ(Parse(c.file), c.expected) << c.what;

    // 4 KiB is the limit: padding the untrusted comment to exactly 4096
    // bytes still verifies, one byte more is refused unread.
    std::string padded = WithLine(Prehashed, 0, lines[0] + std::string(4096 - Prehashed.size(), 'p'));
    ASSERT_EQ(padded.size(), 4096u);
    EXPECT_EQ(Verify(KeyA, padded, Manifest), SignatureOk);
    EXPECT_EQ(Parse(WithLine(padded, 0, LinesOf(padded)[0] + "p")), SignatureTooLarge);
}

TEST(Signature, PublicKeyLinesNotExactlyInMinisignsFormAreRefused) {
    ManifestPublicKey key;
    std::vector<uint8_t> otherAlgorithm = Decode(KeyA);
    otherAlgorithm[1] = 'D';
    const std::string refused[] = {
        "",
        KeyA.substr(1),
        KeyA + "A",
        KeyA + "\n",
        " " + KeyA,
        KeyA.substr(0, 55) + "=",
        Encode(otherAlgorithm),
        LinesOf(Prehashed)[1],  // a signature line is no key line
        "untrusted comment: minisign public key FD4B3D73A544165C",
    };
    for (const std::string &line : refused)
        EXPECT_EQ(ParsePublicKeyLine(line.data(), line.size(), &key), SignatureKeyMalformed) << line;
    // The key's bytes as minisign wrote them.
    ASSERT_EQ(ParsePublicKeyLine(KeyA.data(), KeyA.size(), &key), SignatureOk);
    std::vector<uint8_t> bytes = Decode(KeyA);
    EXPECT_EQ(std::vector<uint8_t>(key.keyId, key.keyId + 8),
              std::vector<uint8_t>(bytes.begin() + 2, bytes.begin() + 10));
    EXPECT_EQ(std::vector<uint8_t>(key.key, key.key + 32), std::vector<uint8_t>(bytes.begin() + 10, bytes.end()));
}

TEST(Signature, SignatureUrlAddsToThePathKeepsTheQueryAndDropsTheFragment) {
    const char *cases[][2] = {
        {"http://h/m.txt", "http://h/m.txt.minisig"},
        {"http://h/m.txt?v=3", "http://h/m.txt.minisig?v=3"},
        {"http://h/m.txt?v=3&w=a/b", "http://h/m.txt.minisig?v=3&w=a/b"},
        {"https://h:8080/d/m.txt#sha256=00", "https://h:8080/d/m.txt.minisig"},
        {"http://h/m.txt?v=3#a?b", "http://h/m.txt.minisig?v=3"},
        {"http://h/dir/", "http://h/dir/.minisig"},
        {"http://h", "http://h/.minisig"},
        {"http://h?v=1", "http://h/.minisig?v=1"},
    };
    WideChar out[SignatureUrlUnits];
    for (const auto &c : cases) {
        ASSERT_TRUE(SignatureUrlOf(Wide(c[0]).c_str(), out, SignatureUrlUnits)) << c[0];
        EXPECT_EQ(Narrow(out), c[1]);
    }
    // Exactly room for the result and its terminator, then one unit less.
    WideString url = Wide("http://h/m.txt?v=3");
    int needed = int(url.size()) + 8 + 1;
    EXPECT_TRUE(SignatureUrlOf(url.c_str(), out, needed));
    EXPECT_FALSE(SignatureUrlOf(url.c_str(), out, needed - 1));
}

// launcher.ini's ManifestKey over the key the build put in the state record.
TEST(Signature, LauncherIniKeyWinsOverTheBuildsAndAnEmptyValueKeepsIt) {
    ResetLauncherState(&g_state);
    EXPECT_EQ(Narrow(g_state.manifestKey), Narrow(DefaultManifestKey));  // the build's, normally none
    WideString dir = MakeScratchFolder();
    CopyText(g_state.programDir, ProgramDirUnits, dir.c_str());
    WideString ini = JoinPath(dir, "launcher.ini");
    auto loadWithBuildKey = [&](const std::string &text) {
        WriteBytes(ini, text);
        CopyText(g_state.manifestKey, ManifestKeyUnits, Wide(KeyB.c_str()).c_str());  // as if built in
        LoadConfiguration(&g_state);
        return Narrow(g_state.manifestKey);
    };
    EXPECT_EQ(loadWithBuildKey("[launcher]\r\nManifestKey=" + KeyA + "\r\n"), KeyA);
    EXPECT_EQ(loadWithBuildKey("[launcher]\r\nmanifestkey = " + KeyA + " \r\n"), KeyA);
    EXPECT_EQ(loadWithBuildKey("[launcher]\r\nManifestKey=\r\n"), KeyB);
    EXPECT_EQ(loadWithBuildKey("[launcher]\r\nPatchURL=http://127.0.0.1/m.txt\r\n"), KeyB);
    // A value too long for the field is cut, and what is left is no key.
    std::string cut = loadWithBuildKey("[launcher]\r\nManifestKey=" + KeyA + KeyA + KeyA + "\r\n");
    EXPECT_EQ(cut.size(), size_t(ManifestKeyUnits - 1));
    ManifestPublicKey key;
    EXPECT_EQ(ParsePublicKeyLine(cut.data(), cut.size(), &key), SignatureKeyMalformed);
    RemoveTree(dir);
    ResetLauncherState(&g_state);
}

TEST(Signature, TrustedCommentTimesAreWholeFieldsOfDigits) {
    struct Case {
        const char *comment;
        SignatureCheck expected;
        TrustedTimes times;
    };
    const Case cases[] = {
        {"timestamp:1796768708\tfile:m.txt\thashed", SignatureOk, {true, 1796768708, false, 0}},  // minisign's own
        {"  expires:0\t\t timestamp:007 file:m.txt ", SignatureOk, {true, 7, true, 0}},
        // Only a whole field counts, and only with its exact name.
        {"Zenthara patch 41 Timestamp:5 mytimestamp:5 expires=5", SignatureOk, {false, 0, false, 0}},
        {"timestamp:9223372036854775807", SignatureOk, {true, INT64_MAX, false, 0}},
        {"timestamp:9223372036854775808", SignatureTimestampMalformed, {}},
        {"timestamp:", SignatureTimestampMalformed, {}},
        {"timestamp:-5", SignatureTimestampMalformed, {}},
        {"timestamp:1,file:m.txt", SignatureTimestampMalformed, {}},
        // A field given twice could be read either way.
        {"timestamp:1 timestamp:1", SignatureTimestampMalformed, {}},
        {"timestamp:1 expires:soon", SignatureExpiresMalformed, {}},
        {"expires:2 expires:3", SignatureExpiresMalformed, {}},
    };
    for (const Case &c : cases) {
        TrustedTimes times;
        SignatureCheck check = ParseTrustedTimes(c.comment, int(strlen(c.comment)), &times);
        EXPECT_EQ(check, c.expected) << c.comment;
        if (check == SignatureOk) {
            EXPECT_TRUE(times.hasTimestamp == c.times.hasTimestamp && times.timestamp == c.times.timestamp &&
                        times.hasExpires == c.times.hasExpires && times.expires == c.times.expires)
                << c.comment;
        }
    }
}

TEST(Signature, SignedManifestsNeverGoBackInTime) {
    struct Case {
        bool stored;
        int64_t storedTimestamp;
        TrustedTimes offered;
        int64_t now;
        bool accepted, raise;
        const char *reason;
    };
    const int64_t t = 1700000000;
    const Case cases[] = {
        // Nothing kept yet: anything unexpired passes; only a timestamp is kept.
        {false, 0, {true, t, false, 0}, t, true, true, ""},
        {false, 0, {false, 0, false, 0}, t, true, false, ""},
        {false, 0, {false, 0, true, t}, t, true, false, ""},
        // Newer raises, equal passes as it is, older is refused.
        {true, t, {true, t + 500, false, 0}, t, true, true, ""},
        {true, t, {true, t, false, 0}, t, true, false, ""},
        {true, t + 500, {true, t, false, 0}, t, false, false,
         "older than the manifest already applied (timestamp 1700000000, already applied 1700000500)"},
        {true, t, {false, 0, false, 0}, t, false, false,
         "no timestamp in its trusted comment, after a manifest with one was applied (already applied 1700000000)"},
        // Expiry: the last second still passes, the next does not, whatever is kept.
        {true, t, {true, t + 1, true, t + 100}, t + 100, true, true, ""},
        {true, t, {true, t + 1, true, t + 100}, t + 101, false, false, "expired at 1700000100 (the time is now 1700000101)"},
        {false, 0, {false, 0, true, t}, t + 1, false, false, "expired at 1700000000 (the time is now 1700000001)"},
    };
    for (const Case &c : cases) {
        char reason[FreshnessReasonBytes];
        FreshnessVerdict verdict = JudgeFreshness(&c.offered, c.stored, c.storedTimestamp, c.now, reason);
        EXPECT_EQ(verdict.accepted, c.accepted) << c.reason;
        EXPECT_EQ(verdict.raise, c.raise) << c.reason;
        EXPECT_STREQ(reason, c.reason);
    }
}
