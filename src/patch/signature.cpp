// minisign's key line and signature file, read strictly, and the three
// checks a signed manifest must pass. Platform-neutral, no I/O; every
// signature and digest is computed by the crypto seam.
#include "patch/signature.h"

#include <cstring>

static const char UntrustedPrefix[] = "untrusted comment: ";
static const char TrustedPrefix[] = "trusted comment: ";
constexpr int KeyLineBytes = 2 + SignatureKeyIdBytes + Ed25519PublicKeyBytes;      // 42
constexpr int SignatureLineBytes = 2 + SignatureKeyIdBytes + Ed25519SignatureBytes;  // 74

const char *SignatureCheckText(SignatureCheck check) {
    switch (check) {
    case SignatureOk: return "the signature holds";
    case SignatureKeyMalformed: return "the configured ManifestKey is not a minisign public key";
    case SignatureUnavailable: return "no signature could be fetched";
    case SignatureTooLarge: return "the signature file is over 4 KiB";
    case SignatureNotFourLines: return "the signature file is not four lines of text";
    case SignatureUntrustedMalformed: return "the signature file does not start with an untrusted comment";
    case SignatureLineMalformed: return "the signature line is not base64 of 74 bytes";
    case SignatureAlgorithmUnknown: return "the signature's algorithm is neither ED nor Ed";
    case SignatureTrustedMalformed: return "the third line is not a trusted comment";
    case SignatureGlobalMalformed: return "the global signature line is not base64 of 64 bytes";
    case SignatureKeyIdDiffers: return "signed with another key";
    case SignatureManifestDiffers: return "the manifest is not the one that was signed";
    case SignatureCommentDiffers: return "the trusted comment is not the one that was signed";
    case SignatureLibraryUnusable: return "the cryptography library is not usable";
    case SignatureTimestampMalformed: return "the trusted comment's timestamp is not a number of seconds";
    case SignatureExpiresMalformed: return "the trusted comment's expires is not a number of seconds";
    }
    return "unknown signature failure";
}

static int Base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// Decodes text (chars long) into exactly `bytes` bytes. Only the one
// canonical text of those bytes is taken: the standard alphabet, exactly
// the length and '=' padding the count needs, nothing else (no blanks, no
// line ends) and zero in the bits the last character has left over.
static bool DecodeBase64Exactly(const char *text, size_t chars, uint8_t *out, int bytes) {
    size_t groups = (size_t(bytes) + 2) / 3;
    if (chars != groups * 4) return false;
    size_t dataChars = chars - (groups * 3 - size_t(bytes));
    for (size_t i = dataChars; i < chars; i++)
        if (text[i] != '=') return false;
    uint32_t bits = 0;
    int held = 0;
    int written = 0;
    for (size_t i = 0; i < dataChars; i++) {
        int value = Base64Value(text[i]);
        if (value < 0) return false;
        bits = (bits << 6) | uint32_t(value);
        held += 6;
        if (held >= 8) {
            held -= 8;
            out[written++] = uint8_t(bits >> held);
            bits &= (1u << held) - 1;
        }
    }
    return written == bytes && bits == 0;
}

SignatureCheck ParsePublicKeyLine(const char *text, size_t bytes, ManifestPublicKey *key) {
    uint8_t decoded[KeyLineBytes];
    if (!DecodeBase64Exactly(text, bytes, decoded, KeyLineBytes)) return SignatureKeyMalformed;
    if (decoded[0] != 'E' || decoded[1] != 'd') return SignatureKeyMalformed;
    memcpy(key->keyId, decoded + 2, SignatureKeyIdBytes);
    memcpy(key->key, decoded + 2 + SignatureKeyIdBytes, Ed25519PublicKeyBytes);
    return SignatureOk;
}

struct TextLine {
    const char *start;
    size_t length;  // without the line end
};

// The line at *position: up to its LF, less a CR right before that LF.
// The last line may end with the text instead. False at the end of text.
static bool NextLine(const char *text, size_t bytes, size_t *position, TextLine *line) {
    if (*position >= bytes) return false;
    size_t start = *position;
    size_t end = start;
    while (end < bytes && text[end] != '\n') end++;
    *position = end < bytes ? end + 1 : end;
    if (end < bytes && end > start && text[end - 1] == '\r') end--;
    *line = TextLine{text + start, end - start};
    return true;
}

static bool LineStartsWith(const TextLine &line, const char *prefix) {
    size_t length = strlen(prefix);
    return line.length >= length && memcmp(line.start, prefix, length) == 0;
}

SignatureCheck ParseSignatureFile(const char *text, size_t bytes, ManifestSignature *signature) {
    if (bytes > size_t(SignatureFileLimitBytes)) return SignatureTooLarge;
    if (memchr(text, 0, bytes) != nullptr) return SignatureNotFourLines;
    TextLine lines[4];
    size_t position = 0;
    for (TextLine &line : lines)
        if (!NextLine(text, bytes, &position, &line)) return SignatureNotFourLines;
    if (position != bytes) return SignatureNotFourLines;

    if (!LineStartsWith(lines[0], UntrustedPrefix)) return SignatureUntrustedMalformed;

    uint8_t decoded[SignatureLineBytes];
    if (!DecodeBase64Exactly(lines[1].start, lines[1].length, decoded, SignatureLineBytes))
        return SignatureLineMalformed;
    if (decoded[0] == 'E' && decoded[1] == 'D') signature->prehashed = true;
    else if (decoded[0] == 'E' && decoded[1] == 'd') signature->prehashed = false;
    else return SignatureAlgorithmUnknown;
    memcpy(signature->keyId, decoded + 2, SignatureKeyIdBytes);
    memcpy(signature->signatureAndComment, decoded + 2 + SignatureKeyIdBytes, Ed25519SignatureBytes);

    if (!LineStartsWith(lines[2], TrustedPrefix)) return SignatureTrustedMalformed;
    size_t prefix = strlen(TrustedPrefix);
    signature->trustedCommentBytes = int(lines[2].length - prefix);
    memcpy(signature->signatureAndComment + Ed25519SignatureBytes, lines[2].start + prefix,
           size_t(signature->trustedCommentBytes));

    if (!DecodeBase64Exactly(lines[3].start, lines[3].length, signature->globalSignature, Ed25519SignatureBytes))
        return SignatureGlobalMalformed;
    return SignatureOk;
}

SignatureCheck CheckManifestSignature(const ManifestPublicKey *key, const ManifestSignature *signature,
                                      const void *manifest, size_t bytes) {
    if (memcmp(key->keyId, signature->keyId, SignatureKeyIdBytes) != 0) return SignatureKeyIdDiffers;
    const uint8_t *signatureBytes = signature->signatureAndComment;
    bool holds;
    if (signature->prehashed) {
        uint8_t digest[Blake2b512Bytes];
        if (!Blake2b512Of(manifest, bytes, digest)) return SignatureLibraryUnusable;
        holds = Ed25519SignatureHolds(key->key, signatureBytes, digest, sizeof digest);
    } else {
        holds = Ed25519SignatureHolds(key->key, signatureBytes, manifest, bytes);
    }
    if (!holds) return SignatureManifestDiffers;
    if (!Ed25519SignatureHolds(key->key, signature->globalSignature, signature->signatureAndComment,
                               size_t(Ed25519SignatureBytes + signature->trustedCommentBytes)))
        return SignatureCommentDiffers;
    return SignatureOk;
}

bool ParseSeconds(const char *text, int length, int64_t *value) {
    if (length <= 0) return false;
    uint64_t number = 0;
    for (int i = 0; i < length; i++) {
        if (text[i] < '0' || text[i] > '9') return false;
        uint64_t digit = uint64_t(text[i] - '0');
        if (number > (uint64_t(INT64_MAX) - digit) / 10) return false;
        number = number * 10 + digit;
    }
    *value = int64_t(number);
    return true;
}

// Reads field (length bytes) into *seen and *value when it is name's
// ("timestamp:" ...); malformed when its value is no number or it was seen
// before, SignatureOk otherwise (another field included).
static SignatureCheck ReadTimeField(const char *field, int length, const char *name, SignatureCheck malformed,
                                    bool *seen, int64_t *value) {
    int nameLength = int(strlen(name));
    if (length < nameLength || memcmp(field, name, size_t(nameLength)) != 0) return SignatureOk;
    if (*seen || !ParseSeconds(field + nameLength, length - nameLength, value)) return malformed;
    *seen = true;
    return SignatureOk;
}

SignatureCheck ParseTrustedTimes(const char *comment, int bytes, TrustedTimes *times) {
    *times = TrustedTimes{false, 0, false, 0};
    for (int i = 0; i < bytes;) {
        if (comment[i] == ' ' || comment[i] == '\t') {
            i++;
            continue;
        }
        int start = i;
        while (i < bytes && comment[i] != ' ' && comment[i] != '\t') i++;
        SignatureCheck check = ReadTimeField(comment + start, i - start, "timestamp:", SignatureTimestampMalformed,
                                             &times->hasTimestamp, &times->timestamp);
        if (check == SignatureOk)
            check = ReadTimeField(comment + start, i - start, "expires:", SignatureExpiresMalformed,
                                  &times->hasExpires, &times->expires);
        if (check != SignatureOk) return check;
    }
    return SignatureOk;
}

void FormatKeyId(const uint8_t keyId[SignatureKeyIdBytes], char out[KeyIdTextBytes]) {
    static const char digits[] = "0123456789ABCDEF";
    int length = 0;
    for (int i = 0; i < 2 * SignatureKeyIdBytes; i++) {
        uint8_t byte = keyId[SignatureKeyIdBytes - 1 - i / 2];
        int digit = (i % 2 == 0) ? byte >> 4 : byte & 15;
        // Leading zeros are dropped, as minisign does in the key file's
        // comment, so the operator sees the id they know; zero stays "0".
        if (length == 0 && digit == 0 && i + 1 < 2 * SignatureKeyIdBytes) continue;
        out[length++] = digits[digit];
    }
    out[length] = 0;
}
