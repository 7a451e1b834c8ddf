// Local paths for manifest entries and the rules that keep every write
// inside the program folder. Platform-neutral.
#include "patch/local_path.h"

bool BuildLocalPath(const WideChar *programDir, const WideChar *relativePath, WideChar *out) {
    const WideChar separator[2] = {PathSeparator, 0};
    if (!FormatText(out, LocalPathUnits, WTEXT("%s%s%s"), programDir, separator, relativePath)) return false;
    // Only the manifest's part is written with either separator. The game
    // folder's own path is the system's: on Linux a backslash in it is part
    // of a folder's name.
    for (WideChar *p = out + TextLength(programDir) + 1; *p != 0; p++)
        if (*p == ForeignSeparator) *p = PathSeparator;
    return true;
}

static bool IsSeparator(WideChar c) { return c == '/' || c == '\\'; }

static bool IsForbiddenUnit(WideChar c) {
    if (c < 32 || c == 127) return true;
    switch (c) {
    case '<': case '>': case '"': case '|': case '?': case '*': case ':':
        return true;
    default:
        return false;
    }
}

static WideChar UpperAscii(WideChar c) { return (c >= 'a' && c <= 'z') ? WideChar(c - 32) : c; }

// Whether the length units at stem spell name (ASCII capitals) in any
// letter case.
static bool StemIs(const WideChar *stem, int length, const char *name) {
    int i = 0;
    for (; i < length; i++)
        if (name[i] == 0 || UpperAscii(stem[i]) != WideChar(name[i])) return false;
    return name[i] == 0;
}

// Windows counts the superscripts one, two and three as digits of a COM or
// LPT name, besides 0 to 9.
static bool IsPortDigit(WideChar c) {
    return (c >= '0' && c <= '9') || c == WideChar(0x00B9) || c == WideChar(0x00B2) || c == WideChar(0x00B3);
}

// Device names Windows reserves in every folder, with or without extension:
// CON, PRN, AUX, NUL, the console's CONIN$ and CONOUT$, CLOCK$, and COM or
// LPT with one port digit.
static bool IsReservedDeviceName(const WideChar *begin, const WideChar *end) {
    const WideChar *stemEnd = begin;
    while (stemEnd < end && *stemEnd != '.') stemEnd++;
    // Windows also ignores blanks before the extension ("CON .txt").
    while (stemEnd > begin && stemEnd[-1] == ' ') stemEnd--;
    int length = int(stemEnd - begin);
    static const char *const names[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$", "CLOCK$"};
    for (const char *name : names)
        if (StemIs(begin, length, name)) return true;
    bool port = length == 4 && (StemIs(begin, 3, "COM") || StemIs(begin, 3, "LPT"));
    return port && IsPortDigit(begin[3]);
}

static bool IsSafeComponent(const WideChar *begin, const WideChar *end) {
    if (begin == end) return true;  // "a//b": an empty step is harmless
    if (end[-1] == '.' || end[-1] == ' ') return false;  // also rules out "." and ".."
    return !IsReservedDeviceName(begin, end);
}

bool IsSafeRelativePath(const WideChar *relativePath) {
    const WideChar *p = relativePath;
    if (p[0] == 0 || IsSeparator(p[0])) return false;  // empty, rooted, UNC, \\?\ .
    for (const WideChar *q = p; *q != 0; q++)
        if (IsForbiddenUnit(*q)) return false;          // also every drive letter "C:"
    const WideChar *componentBegin = p;
    for (const WideChar *q = p;; q++) {
        if (*q == 0 || IsSeparator(*q)) {
            if (!IsSafeComponent(componentBegin, q)) return false;
            if (*q == 0) break;
            componentBegin = q + 1;
        }
    }
    // A trailing separator names a folder, not a file.
    return !IsSeparator(p[TextLength(p) - 1]);
}

bool IsFetchableUrl(const WideChar *url) {
    return TextStartsWithNoCase(url, WTEXT("http://")) || TextStartsWithNoCase(url, WTEXT("https://"));
}
