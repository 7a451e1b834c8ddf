// Local paths for manifest entries and the rules that keep every write
// inside the program folder. Platform-neutral.
#include "patch/local_path.h"

bool BuildLocalPath(const WideChar *programDir, const WideChar *relativePath, WideChar *out) {
    const WideChar separator[2] = {PathSeparator, 0};
    if (!FormatText(out, LocalPathUnits, WTEXT("%s%s%s"), programDir, separator, relativePath)) return false;
    for (WideChar *p = out; *p != 0; p++)
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

// Device names Windows reserves in every folder, with or without extension.
static bool IsReservedDeviceName(const WideChar *begin, const WideChar *end) {
    const WideChar *stemEnd = begin;
    while (stemEnd < end && *stemEnd != '.') stemEnd++;
    // Windows also ignores blanks before the extension ("CON .txt").
    while (stemEnd > begin && stemEnd[-1] == ' ') stemEnd--;
    int length = int(stemEnd - begin);
    WideChar stem[5] = {0};
    if (length < 3 || length > 4) return false;
    for (int i = 0; i < length; i++) stem[i] = UpperAscii(begin[i]);
    static const char *const plainNames[] = {"CON", "PRN", "AUX", "NUL"};
    if (length == 3) {
        for (const char *name : plainNames)
            if (stem[0] == name[0] && stem[1] == name[1] && stem[2] == name[2]) return true;
        return false;
    }
    bool numbered = (stem[0] == 'C' && stem[1] == 'O' && stem[2] == 'M') ||
                    (stem[0] == 'L' && stem[1] == 'P' && stem[2] == 'T');
    return numbered && stem[3] >= '1' && stem[3] <= '9';
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
