// Temporary files of downloads: the fixed-length name beside the target,
// and recognising it. Platform-neutral.
#include "patch/temporary.h"

static const WideChar TemporaryPrefix[] = WTEXT(".~launcher-");
static const WideChar TemporarySuffix[] = WTEXT(".part");
static const WideChar ResumeRecordSuffix[] = WTEXT(".meta");
constexpr int TemporaryPrefixUnits = 11;
constexpr int TemporaryDigits = 16;
static_assert(TemporaryPrefixUnits + TemporaryDigits + 5 == TemporaryNameUnits, "name layout");

static bool IsAnySeparator(WideChar c) { return c == '/' || c == '\\'; }

static uint64_t HashName(const WideChar *name) { return HashTextUnits(name, TextLength(name)); }

// folder + prefix + hash digits + suffix, the name in place of localPath's.
static bool BuildSiblingPath(const WideChar *localPath, const WideChar *suffix, WideChar *out) {
    int length = TextLength(localPath);
    int nameStart = length;
    while (nameStart > 0 && localPath[nameStart - 1] != PathSeparator) nameStart--;
    if (nameStart == 0 || nameStart == length || nameStart + TemporaryNameUnits >= TemporaryPathUnits) return false;

    for (int i = 0; i < nameStart; i++) out[i] = localPath[i];
    WideChar *name = out + nameStart;
    for (int i = 0; i < TemporaryPrefixUnits; i++) name[i] = TemporaryPrefix[i];
    uint64_t hash = HashName(localPath + nameStart);
    for (int i = TemporaryDigits - 1; i >= 0; i--) {
        name[TemporaryPrefixUnits + i] = WideChar("0123456789abcdef"[hash & 15]);
        hash >>= 4;
    }
    CopyText(name + TemporaryPrefixUnits + TemporaryDigits, 6, suffix);
    return true;
}

bool BuildTemporaryPath(const WideChar *localPath, WideChar *out) {
    return BuildSiblingPath(localPath, TemporarySuffix, out);
}

bool BuildResumeRecordPath(const WideChar *localPath, WideChar *out) {
    return BuildSiblingPath(localPath, ResumeRecordSuffix, out);
}

bool IsTemporaryName(const WideChar *name) {
    if (TextLength(name) != TemporaryNameUnits) return false;
    for (int i = 0; i < TemporaryPrefixUnits; i++)
        if (name[i] != TemporaryPrefix[i]) return false;
    for (int i = 0; i < TemporaryDigits; i++) {
        WideChar c = name[TemporaryPrefixUnits + i];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    const WideChar *suffix = name + TemporaryPrefixUnits + TemporaryDigits;
    return TextEqual(suffix, TemporarySuffix) || TextEqual(suffix, ResumeRecordSuffix);
}

bool NamesTemporaryFile(const WideChar *relativePath) {
    const WideChar *name = relativePath;
    for (const WideChar *p = relativePath; *p != 0; p++)
        if (IsAnySeparator(*p)) name = p + 1;
    // Windows matches names without regard to case, so ".~LAUNCHER-...PART"
    // would be the same file there: compare folded to lower case.
    WideChar lowered[TemporaryNameUnits + 2];
    int n = 0;
    for (; name[n] != 0 && n < TemporaryNameUnits + 1; n++) {
        WideChar c = name[n];
        lowered[n] = (c >= 'A' && c <= 'Z') ? WideChar(c + 32) : c;
    }
    lowered[n] = 0;
    return n == TemporaryNameUnits && IsTemporaryName(lowered);
}

uint64_t TemporaryHashOf(const WideChar *localPath) {
    const WideChar *name = localPath;
    for (const WideChar *p = localPath; *p != 0; p++)
        if (*p == PathSeparator) name = p + 1;
    return HashName(name);
}

bool HashOfTemporaryName(const WideChar *name, uint64_t *hash) {
    if (!IsTemporaryName(name)) return false;
    uint64_t value = 0;
    for (int i = 0; i < TemporaryDigits; i++) {
        WideChar c = name[TemporaryPrefixUnits + i];
        value = value << 4 | uint64_t(c <= '9' ? c - '0' : c - 'a' + 10);
    }
    *hash = value;
    return true;
}
