// Temporary files: the fixed-length name beside the target, recognising it,
// and a whole file written from memory through it. Platform-neutral.
#include "patch/temporary.h"

#include "platform/files.h"

static const WideChar TemporaryPrefix[] = WTEXT(".~launcher-");
static const WideChar TemporarySuffix[] = WTEXT(".part");
static const WideChar ResumeRecordSuffix[] = WTEXT(".meta");
static const WideChar SetAsideSuffix[] = WTEXT(".old");
constexpr int TemporaryPrefixUnits = 11;
constexpr int TemporaryDigits = 16;
static_assert(TemporaryPrefixUnits + TemporaryDigits + 5 == TemporaryNameUnits, "name layout");
constexpr int SetAsideNameUnits = TemporaryNameUnits - 1;  // ".old" is one unit shorter

static bool IsAnySeparator(WideChar c) { return c == '/' || c == '\\'; }

static uint64_t HashName(const WideChar *name) { return HashTextUnits(name, TextLength(name)); }

static WideChar LowerAscii(WideChar c) { return (c >= 'A' && c <= 'Z') ? WideChar(c + 32) : c; }

// The hash of a name with its ASCII letters in lower case: Windows may
// start a program under any letter case of its name, and its next start
// must find what was set aside.
static uint64_t HashNameFolded(const WideChar *name) {
    WideChar lowered[LocalPathUnits];
    int n = 0;
    for (; name[n] != 0 && n < LocalPathUnits - 1; n++) lowered[n] = LowerAscii(name[n]);
    lowered[n] = 0;
    return HashName(lowered);
}

// folder + prefix + hash digits + suffix, the name in place of localPath's.
static bool BuildSiblingPath(const WideChar *localPath, const WideChar *suffix, WideChar *out, bool foldCase = false) {
    int length = TextLength(localPath);
    int nameStart = length;
    while (nameStart > 0 && localPath[nameStart - 1] != PathSeparator) nameStart--;
    if (nameStart == 0 || nameStart == length || nameStart + TemporaryNameUnits >= TemporaryPathUnits) return false;

    for (int i = 0; i < nameStart; i++) out[i] = localPath[i];
    WideChar *name = out + nameStart;
    for (int i = 0; i < TemporaryPrefixUnits; i++) name[i] = TemporaryPrefix[i];
    uint64_t hash = foldCase ? HashNameFolded(localPath + nameStart) : HashName(localPath + nameStart);
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

bool BuildSetAsidePath(const WideChar *localPath, WideChar *out) {
    return BuildSiblingPath(localPath, SetAsideSuffix, out, true);
}

// The prefix and the hash digits of every name of ours; the suffix is
// left to the caller.
static bool HasOurPrefixAndDigits(const WideChar *name) {
    for (int i = 0; i < TemporaryPrefixUnits; i++)
        if (name[i] != TemporaryPrefix[i]) return false;
    for (int i = 0; i < TemporaryDigits; i++) {
        WideChar c = name[TemporaryPrefixUnits + i];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

bool IsSetAsideName(const WideChar *name) {
    return TextLength(name) == SetAsideNameUnits && HasOurPrefixAndDigits(name) &&
           TextEqual(name + TemporaryPrefixUnits + TemporaryDigits, SetAsideSuffix);
}

bool IsTemporaryName(const WideChar *name) {
    if (IsSetAsideName(name)) return true;
    if (TextLength(name) != TemporaryNameUnits || !HasOurPrefixAndDigits(name)) return false;
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
    for (; name[n] != 0 && n < TemporaryNameUnits + 1; n++) lowered[n] = LowerAscii(name[n]);
    lowered[n] = 0;
    return n <= TemporaryNameUnits && IsTemporaryName(lowered);
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

bool ReplaceFileWithBytes(const WideChar *path, const void *bytes, int64_t length) {
    constexpr int64_t WriteBytes = 1 << 20;  // per write call
    WideChar temporary[TemporaryPathUnits];
    if (!BuildTemporaryPath(path, temporary)) return false;
    RemoveFile(temporary);
    FileHandle file = CreateFileForWriting(temporary);
    if (file == NoFile) return false;
    const char *at = static_cast<const char *>(bytes);
    bool written = true;
    for (int64_t done = 0; written && done < length; done += WriteBytes)
        written = WriteToFile(file, at + done, int(length - done < WriteBytes ? length - done : WriteBytes));
    written = written && FlushFile(file);
    CloseFile(file);
    if (written && ReplaceFile(temporary, path)) return true;
    RemoveFile(temporary);
    return false;
}
