// Signed manifests in the format of the minisign tool: the public key line
// an operator configures (the second line of minisign's .pub file), the
// four-line .minisig file `minisign -S` writes beside the manifest, and the
// check that the manifest's bytes are the ones the key's holder signed.
// Platform-neutral and without I/O: the cryptography is the crypto seam's,
// the text handling (lines and base64) is here and strict, so anything not
// exactly of minisign's form is refused rather than guessed at.
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/crypto.h"

constexpr int SignatureKeyIdBytes = 8;
constexpr int SignatureFileLimitBytes = 4096;  // a longer .minisig is refused
constexpr int PublicKeyLineChars = 56;         // base64 of "Ed" + key id + key, 42 bytes
constexpr int KeyIdTextBytes = 17;             // up to 16 hex digits and the terminator

// Which check a signature failed, or SignatureOk; SignatureCheckText gives
// the short reason the console shows.
enum SignatureCheck {
    SignatureOk = 0,
    SignatureKeyMalformed,       // the configured key is not a minisign public key line
    SignatureUnavailable,        // no signature file could be fetched
    SignatureTooLarge,           // the signature file is over SignatureFileLimitBytes
    SignatureNotFourLines,       // missing lines, text after the fourth, or a zero byte
    SignatureUntrustedMalformed, // line 1 is not "untrusted comment: ..."
    SignatureLineMalformed,      // line 2 is not base64 of 74 bytes
    SignatureAlgorithmUnknown,   // line 2's algorithm is neither "ED" nor "Ed"
    SignatureTrustedMalformed,   // line 3 is not "trusted comment: ..."
    SignatureGlobalMalformed,    // line 4 is not base64 of 64 bytes
    SignatureKeyIdDiffers,       // signed with another key
    SignatureManifestDiffers,    // the signature does not hold for these manifest bytes
    SignatureCommentDiffers,     // the global signature does not hold for the trusted comment
    SignatureLibraryUnusable,    // the crypto library could not compute the digest
    SignatureTimestampMalformed, // the trusted comment's timestamp: is not a number of seconds, or comes twice
    SignatureExpiresMalformed,   // the same for its expires:
};

const char *SignatureCheckText(SignatureCheck check);

struct ManifestPublicKey {
    uint8_t keyId[SignatureKeyIdBytes];
    uint8_t key[Ed25519PublicKeyBytes];
};

struct ManifestSignature {
    bool prehashed;  // "ED": signs BLAKE2b-512 of the manifest; "Ed" (legacy): the manifest itself
    uint8_t keyId[SignatureKeyIdBytes];
    // The Ed25519 signature followed by the trusted comment's text (without
    // its prefix and line end): exactly the bytes the global signature covers.
    uint8_t signatureAndComment[Ed25519SignatureBytes + SignatureFileLimitBytes];
    int trustedCommentBytes;
    uint8_t globalSignature[Ed25519SignatureBytes];
};

// Reads a public key line: exactly PublicKeyLineChars of base64 (no blanks,
// no line end) holding "Ed", the key id and the key. SignatureOk or
// SignatureKeyMalformed.
SignatureCheck ParsePublicKeyLine(const char *text, size_t bytes, ManifestPublicKey *key);

// Reads a .minisig file's four lines, each ending in LF or CR LF (the last
// one may lack its line end). The first error found in line order, or
// SignatureOk with *signature filled in.
SignatureCheck ParseSignatureFile(const char *text, size_t bytes, ManifestSignature *signature);

// Checks, in this order, that the signature names the key's id, that it
// holds for the manifest bytes (over their BLAKE2b-512 when prehashed) and
// that the global signature holds for the signature and trusted comment.
SignatureCheck CheckManifestSignature(const ManifestPublicKey *key, const ManifestSignature *signature,
                                      const void *manifest, size_t bytes);

// The times a trusted comment signs, in seconds since 1970 (UTC): when the
// manifest was signed, which minisign writes as "timestamp:<n>" unless the
// signer gives a comment of their own, and "expires:<n>", which an operator
// who signs on a schedule may add. Fields are separated by spaces or tabs;
// other fields are not read.
struct TrustedTimes {
    bool hasTimestamp;
    int64_t timestamp;  // s since 1970
    bool hasExpires;
    int64_t expires;    // s since 1970; the manifest is refused after it
};

// Reads the times of a trusted comment (bytes long, without its prefix).
// SignatureOk, or SignatureTimestampMalformed / SignatureExpiresMalformed
// when that field's value is not decimal digits alone up to INT64_MAX, or
// the field comes twice: a signed comment that says something else than it
// seems to is refused rather than read one way or the other.
SignatureCheck ParseTrustedTimes(const char *comment, int bytes, TrustedTimes *times);

// Decimal digits alone (length of them, no sign, no blank) as a number up
// to INT64_MAX; false for anything else.
bool ParseSeconds(const char *text, int length, int64_t *value);

// A key id as minisign prints it: the 8 bytes as a little-endian number in
// upper-case hex without leading zeros (at most 16 digits).
void FormatKeyId(const uint8_t keyId[SignatureKeyIdBytes], char out[KeyIdTextBytes]);
