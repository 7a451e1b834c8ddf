// What launcher-manifest writes: the BASE_URL and relative paths it takes,
// the line it writes for a file and the two lines that frame the entries,
// and what it takes over from the previous manifest (--previous).
// Inline, so the unit tests check these very rules against the launcher's
// own manifest parser (the tool's sources are not part of the tests).
#pragma once
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "console_output.h"
#include "patch/local_path.h"
#include "patch/manifest.h"
#include "patch/plan.h"

// The launcher joins the game folder, a separator and the relative path
// into a local path of at most LocalPathUnits - 1 units and skips entries
// that do not fit. The shortest game folder, a drive root such as "C:",
// takes 3 units with its separator, so longer paths can never be installed;
// nor can paths longer than a manifest line's path field.
constexpr int InstallablePathUnits = LocalPathUnits - 1 - 3;
constexpr int MaxPathUnits =
    InstallablePathUnits < RelativePathUnits - 1 ? InstallablePathUnits : RelativePathUnits - 1;
constexpr int MaxUrlUnits = SourceUrlUnits - 1;
constexpr int RefusalReasonBytes = 160;

static_assert(ExactUtf8Bytes > MaxPathUnits * 3, "every installable path can be checked");

inline bool IsUnreservedInUrl(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_' || c == '~';
}

// Bytes of a path the URL keeps as they are; every other one is %XX.
inline bool IsKeptInUrl(unsigned char c) { return IsUnreservedInUrl(c) || c == '/'; }

inline int EncodedLength(const char *path) {
    int length = 0;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(path); *p != 0; p++)
        length += IsKeptInUrl(*p) ? 1 : 3;
    return length;
}

// What is wrong with BASE_URL, for a usage message, or nullptr when it
// serves; then *length is its length in bytes and *units in UTF-16 units,
// both without trailing '/'.
inline const char *BaseUrlProblem(const char *base, int *length, int *units) {
    static WideChar wide[ExactUtf8Bytes];
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(base); *p != 0; p++)
        if (*p < 0x20 || *p == 0x7F) return "BASE_URL holds a control character";
    // The launcher sends nothing from a '#' on, and reads what follows as
    // the file's hash: such a base names another folder on the server.
    if (strchr(base, '#') != nullptr) return "BASE_URL holds a '#' (the start of a fragment, which is never requested)";
    if (!Utf8ToText(base, wide, ExactUtf8Bytes)) return "BASE_URL is too long";
    // The launcher reads the URL as UTF-8: other bytes would name another URL.
    if (!IsExactUtf8(base)) return "BASE_URL is not valid UTF-8";
    if (!IsFetchableUrl(wide)) return "BASE_URL must start with http:// or https://";
    int bytes = int(strlen(base));
    while (bytes > 0 && base[bytes - 1] == '/') bytes--;
    const char *host = strstr(base, "://") + 3;
    if (host >= base + bytes) return "BASE_URL names no host";
    *length = bytes;
    *units = TextLength(wide) - (int(strlen(base)) - bytes);
    return nullptr;
}

// Why the launcher would not deliver this relative path (UTF-8, '/' between
// folders, shorter than ExactUtf8Bytes) from a line of the tool, or nullptr
// when it would; baseUnits as BaseUrlProblem gives them. wide
// (ExactUtf8Bytes units) receives the path as the launcher reads it;
// reason (RefusalReasonBytes) may receive the text returned.
inline const char *ManifestPathRefusal(const char *path, int baseUnits, WideChar *wide, char *reason) {
    // The launcher reads UTF-8; bytes that do not round-trip would name
    // another file once it decoded them.
    if (!IsExactUtf8(path)) return "its name is not valid UTF-8";
    Utf8ToText(path, wide, ExactUtf8Bytes);
    if (strchr(path, '\\') != nullptr) return "the launcher reads '\\' as a folder separator";
    if (!IsSafeRelativePath(wide))
        return "the launcher refuses such paths (one of <>:\"|?*, a control character, a reserved device "
               "name such as CON, or a name ending in a dot or a space)";
    if (path[0] == '#') return "the launcher reads a line starting with '#' as a comment and would skip the file";
    int units = TextLength(wide);
    if (units > MaxPathUnits) {
        snprintf(reason, RefusalReasonBytes, "the path is %d UTF-16 units long; the launcher installs at most %d, "
                 "even in a drive root", units, MaxPathUnits);
        return reason;
    }
    int urlUnits = baseUnits + 1 + EncodedLength(path);
    if (urlUnits > MaxUrlUnits) {
        snprintf(reason, RefusalReasonBytes, "its URL is %d UTF-16 units long; the launcher takes at most %d",
                 urlUnits, MaxUrlUnits);
        return reason;
    }
    return nullptr;
}

// What "#sha256=" and the digest's 64 hex digits add to a line.
constexpr int Sha256FragmentBytes = 8 + 2 * Sha256DigestBytes;

// The longest line of a path ManifestPathRefusal takes: a UTF-16 unit of
// the path or the URL is at most three bytes, the size and its bars 22,
// and the fragment with the file's SHA-256 when it is written.
constexpr int ManifestLineBytes = MaxPathUnits * 3 + 22 + MaxUrlUnits * 3 + Sha256FragmentBytes + 2;

// "path|size|BASE/encoded-path" and a line feed into out (ManifestLineBytes);
// base without its trailing '/'. The encoded path keeps A-Z a-z 0-9 - . _ ~
// and '/' and percent-encodes every other byte; with sha256, the URL ends
// in "#sha256=" and the digest in lowercase hex (the launcher never sends
// a fragment to the server, so the URL still names the same file). False
// when the line does not fit, which a path ManifestPathRefusal takes never
// does.
inline bool FormatManifestLine(const char *path, int64_t size, const char *base, char *out,
                               const uint8_t *sha256 = nullptr) {
    static const char hex[] = "0123456789ABCDEF";
    int used = snprintf(out, ManifestLineBytes, "%s|%lld|%s/", path, (long long)size, base);
    if (used < 0 || used >= ManifestLineBytes) return false;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(path); *p != 0; p++) {
        if (used + 3 + 2 > ManifestLineBytes) return false;  // the byte, the line feed, the terminator
        if (IsKeptInUrl(*p)) {
            out[used++] = char(*p);
        } else {
            out[used++] = '%';
            out[used++] = hex[*p >> 4];
            out[used++] = hex[*p & 15];
        }
    }
    if (sha256 != nullptr) {
        if (used + Sha256FragmentBytes + 2 > ManifestLineBytes) return false;
        memcpy(out + used, "#sha256=", 8);
        used += 8;
        for (int i = 0; i < Sha256DigestBytes; i++) {
            out[used++] = "0123456789abcdef"[sha256[i] >> 4];
            out[used++] = "0123456789abcdef"[sha256[i] & 15];
        }
    }
    out[used++] = '\n';
    out[used] = 0;
    return true;
}

constexpr int ManifestFrameBytes = 48;

// The first and the last line of every manifest the tool writes, each with
// its line feed; count is the number of entry lines between them. Both are
// comments to the launcher's parser; the last one lets the launcher tell a
// whole manifest from one cut off in transit.
inline void FormatManifestFirstLine(long long count, char *out) {
    snprintf(out, ManifestFrameBytes, "#launcher-manifest entries=%lld\n", count);
}

inline void FormatManifestLastLine(long long count, char *out) {
    snprintf(out, ManifestFrameBytes, "#end entries=%lld\n", count);
}

// Whether name is lowerName (lower case) in any ASCII letter case.
inline bool NameIs(const char *name, const char *lowerName) {
    for (int i = 0;; i++) {
        char c = name[i];
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
        if (c != lowerName[i]) return false;
        if (c == 0) return true;
    }
}

// ---- The previous manifest ----------------------------------------------------

// Why text (zero-terminated) is not a whole manifest launcher-manifest
// wrote, or nullptr when it is: it must start with the counted first line
// and end its entries with a matching last line, as the launcher checks
// them. reason (ManifestReasonBytes) may receive the text returned.
inline const char *PreviousManifestProblem(const char *text, char *reason) {
    static const char head[] = "#launcher-manifest entries=";
    if (strncmp(text, head, sizeof head - 1) != 0) return "its first line is not \"#launcher-manifest entries=N\"";
    ManifestUnusableReason(text, reason);
    return reason[0] != 0 ? reason : nullptr;
}

enum PreviousLine {
    PreviousNoEntry,        // a comment, blank or other line
    PreviousPath,           // a path to list with -1 unless it is still there
    PreviousConfiguration,  // launcher.ini at the top: every player's own, never removed
    PreviousUnsafe,         // a path the launcher refuses, or one cut to fit
};

// Reads one line of the previous manifest (cut at its line feed; cut again
// here) for the path it names. For PreviousPath, path (ExactUtf8Bytes)
// receives it with '/' between folders and repeated separators written
// once, the way the launcher resolves it.
inline PreviousLine ReadPreviousLine(char *line, char *path) {
    static ManifestEntry entry;
    if (!ParseManifestLine(line, &entry)) return PreviousNoEntry;
    // line now holds the path field alone, as written.
    if (!entry.fieldsFit || !IsExactUtf8(line) || !IsSafeRelativePath(entry.relativePath)) return PreviousUnsafe;
    int used = 0;
    for (const char *p = line; *p != 0; p++) {
        char c = *p == '\\' ? '/' : *p;
        if (c == '/' && used > 0 && path[used - 1] == '/') continue;
        path[used++] = c;
    }
    path[used] = 0;
    bool topLevel = strchr(path, '/') == nullptr;
    return topLevel && NameIs(path, "launcher.ini") ? PreviousConfiguration : PreviousPath;
}

// The key under which the launcher takes a relative path (UTF-8) for one
// file, as UTF-8 into key (ExactUtf8Bytes): BuildPathKey's, so '/' and '\'
// are one separator, repeated separators count once and, on Windows only,
// letter case is ignored. False when the path is too long to be a file.
inline bool RelativePathKey(const char *path, char *key) {
    static WideChar wide[ExactUtf8Bytes], folded[LocalPathUnits];
    if (!Utf8ToText(path, wide, ExactUtf8Bytes) || TextLength(wide) >= LocalPathUnits) return false;
    BuildPathKey(wide, folded);
    return TextToUtf8(folded, key, ExactUtf8Bytes);
}

// Whether key (RelativePathKey) names one of the files whose keys sorted
// holds (in strcmp order), a folder on the way to one, or has one of them
// on its way: the launcher cannot have both in place (PathKeysCollide).
inline bool KeyCollidesWithListed(const char *const *sorted, size_t count, const char *key) {
    const char separator = char(PathSeparator);
    auto less = [](const char *a, const char *b) { return strcmp(a, b) < 0; };
    static char probe[ExactUtf8Bytes + 1];
    size_t length = strlen(key);
    if (length + 1 >= sizeof probe) return false;
    memcpy(probe, key, length + 1);
    for (size_t end = 1; end <= length; end++) {
        if (key[end] != separator && key[end] != 0) continue;
        probe[end] = 0;  // the key itself, or a folder on its way
        if (std::binary_search(sorted, sorted + count, probe, less)) return true;
        probe[end] = key[end];
    }
    probe[length] = separator;
    probe[length + 1] = 0;
    const char *const *after = std::lower_bound(sorted, sorted + count, probe, less);
    return after != sorted + count && strncmp(*after, probe, length + 1) == 0;
}
