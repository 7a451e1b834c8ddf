// Manifest text and pass bookkeeping: the pure pieces of the check/patch
// pass. Lines are UTF-8 text separated by line feeds; an entry is
// "relative path|size|url", and only the first two bars separate fields.
#include "patch/manifest.h"

#include <cstdio>
#include <cstring>

// Lines are found with strchr and memchr, which read many bytes at a time:
// a manifest of 100,000 entries is over ten megabytes.
int32_t CountManifestEntries(const char *text) {
    int32_t total = 0;
    for (const char *p = text; *p != 0;) {
        const char *feed = strchr(p, '\n');
        const char *end = feed != nullptr ? feed : p + strlen(p);
        if (*p != '#' && memchr(p, '|', size_t(end - p)) != nullptr) total++;
        p = feed != nullptr ? feed + 1 : end;
    }
    return total;
}

// One line of a text that is not cut: [begin, end) without its line feed and
// from its first carriage return on; next is the following line's start,
// or nullptr after the last line.
struct TextLine {
    const char *begin, *end, *next;
};

static TextLine LineAt(const char *p) {
    TextLine line = {p, p, nullptr};
    const char *feed = strchr(p, '\n');
    const char *stop = feed != nullptr ? feed : p + strlen(p);
    const char *carriageReturn = static_cast<const char *>(memchr(p, '\r', size_t(stop - p)));
    line.end = carriageReturn != nullptr ? carriageReturn : stop;
    if (feed != nullptr && feed[1] != 0) line.next = feed + 1;
    return line;
}

static bool IsBlankLine(const TextLine &line) {
    for (const char *p = line.begin; p < line.end; p++)
        if (*p != ' ' && *p != '\t') return false;
    return true;
}

static const char ManifestHeadPrefix[] = "#launcher-manifest ";

// N of a line that is exactly form followed by N's digits; -1 otherwise.
static int32_t CountOfLine(const TextLine &line, const char *form) {
    size_t length = strlen(form);
    if (size_t(line.end - line.begin) <= length || memcmp(line.begin, form, length) != 0) return -1;
    int64_t n = 0;
    for (const char *p = line.begin + length; p < line.end; p++) {
        if (*p < '0' || *p > '9' || n > INT32_MAX / 10) return -1;
        n = n * 10 + (*p - '0');
    }
    return n > INT32_MAX ? -1 : int32_t(n);
}

// An entry line as CountManifestEntries counts them.
static bool IsEntryLine(const TextLine &line) {
    if (*line.begin == '#') return false;
    for (const char *p = line.begin; *p != 0 && *p != '\n'; p++)
        if (*p == '|') return true;
    return false;
}

static const char *Plural(int32_t n) { return n == 1 ? "" : "s"; }

// The framing of a body whose first line is launcher-manifest's: the
// entries up to the "#end entries=N" line against both counts, and no
// entry or text after it.
static void FramingReason(const TextLine &first, char *reason) {
    int32_t announced = CountOfLine(first, "#launcher-manifest entries=");
    if (announced < 0) {
        snprintf(reason, ManifestReasonBytes, "its first line is not \"#launcher-manifest entries=N\"");
        return;
    }
    int32_t entries = 0, ended = -1;
    for (TextLine line = first; line.next != nullptr;) {
        line = LineAt(line.next);
        if (ended < 0) {
            ended = CountOfLine(line, "#end entries=");
            if (ended < 0 && IsEntryLine(line)) entries++;
        } else if (!IsBlankLine(line) && *line.begin != '#') {
            snprintf(reason, ManifestReasonBytes, "%s after \"#end entries=%d\"",
                     IsEntryLine(line) ? "an entry line" : "a text line", int(ended));
            return;
        }
    }
    if (ended < 0)
        snprintf(reason, ManifestReasonBytes, "%d entry line%s, but no \"#end entries=%d\" line (cut off?)",
                 int(entries), Plural(entries), int(announced));
    else if (announced != ended)
        snprintf(reason, ManifestReasonBytes, "%d entry line%s; the first line says %d, #end says %d",
                 int(entries), Plural(entries), int(announced), int(ended));
    else if (entries != ended)
        snprintf(reason, ManifestReasonBytes, "%d entry line%s, but #end says %d", int(entries), Plural(entries),
                 int(ended));
}

void ManifestUnusableReason(const char *text, char *reason) {
    reason[0] = 0;
    TextLine first = LineAt(text);
    bool otherText = false, entries = false;
    for (TextLine line = first;; line = LineAt(line.next)) {
        if (!IsBlankLine(line) && *line.begin != '#') otherText = true;
        if (!entries && IsEntryLine(line)) entries = true;
        if (line.next == nullptr) break;
    }
    if (!entries && otherText) {
        snprintf(reason, ManifestReasonBytes, "not a manifest: text lines but no entry line");
        return;
    }
    bool marked = size_t(first.end - first.begin) >= sizeof ManifestHeadPrefix - 1 &&
                  memcmp(first.begin, ManifestHeadPrefix, sizeof ManifestHeadPrefix - 1) == 0;
    if (marked) FramingReason(first, reason);
}

bool IsUsableManifest(const char *text) {
    char reason[ManifestReasonBytes];
    ManifestUnusableReason(text, reason);
    return reason[0] == 0;
}

char *CutManifestLine(char *line) {
    char *feed = strchr(line, '\n');
    if (feed == nullptr) return nullptr;
    *feed = 0;
    return feed + 1;
}

bool ParseManifestLine(char *line, ManifestEntry *entry) {
    char *carriageReturn = strchr(line, '\r');
    if (carriageReturn != nullptr) *carriageReturn = 0;
    if (line[0] == 0 || line[0] == '#') return false;
    char *firstBar = strchr(line, '|');
    if (firstBar == nullptr) return false;
    char *secondBar = strchr(firstBar + 1, '|');
    if (secondBar == nullptr) return false;
    *firstBar = 0;
    *secondBar = 0;
    bool pathFits = Utf8ToText(line, entry->relativePath, RelativePathUnits);
    entry->expectedSize = ParseInt64LikeAtoi64(firstBar + 1);
    char *url = secondBar + 1;
    char *fragment = strchr(url, '#');
    entry->hasSha256 = false;
    entry->fragmentUsable = true;
    if (fragment != nullptr) {
        *fragment = 0;  // never part of the request
        entry->hasSha256 = ParseSha256Fragment(fragment + 1, entry->sha256);
        entry->fragmentUsable = entry->hasSha256;
    }
    bool urlFits = Utf8ToText(url, entry->sourceUrl, SourceUrlUnits);
    entry->fieldsFit = pathFits && urlFits;
    return true;
}

// The value of each byte as a lowercase hex digit, -1 for any other (upper
// case too: the form is fixed, so a typo is not read as a hash). A table:
// every entry of a hashed manifest has 64 digits to read.
struct HexDigits {
    int8_t value[256];
    constexpr HexDigits() : value() {
        for (int c = 0; c < 256; c++) value[c] = -1;
        for (int c = '0'; c <= '9'; c++) value[c] = int8_t(c - '0');
        for (int c = 'a'; c <= 'f'; c++) value[c] = int8_t(c - 'a' + 10);
    }
};
static constexpr HexDigits HexDigitValues;

bool ParseSha256Fragment(const char *fragment, uint8_t digest[Sha256DigestBytes]) {
    static const char prefix[] = "sha256=";
    if (strncmp(fragment, prefix, sizeof prefix - 1) != 0) return false;
    const unsigned char *hex = reinterpret_cast<const unsigned char *>(fragment) + sizeof prefix - 1;
    uint8_t value[Sha256DigestBytes];
    for (int i = 0; i < Sha256DigestBytes; i++) {
        int high = HexDigitValues.value[hex[2 * i]];
        int low = high < 0 ? -1 : HexDigitValues.value[hex[2 * i + 1]];
        if (low < 0) return false;  // also at the terminator: nothing is read past it
        value[i] = uint8_t(high << 4 | low);
    }
    if (hex[2 * Sha256DigestBytes] != 0) return false;
    memcpy(digest, value, sizeof value);
    return true;
}

bool ShouldReportProgress(int32_t processed, int32_t total, int32_t *percent) {
    if (total == 0) return false;
    if (processed % ReportEveryEntries != 0 && processed != total) return false;
    // 32-bit arithmetic as shown on screen; a manifest of over 21 million
    // entries would overflow it, so widen only the product.
    *percent = int32_t(int64_t(processed) * 100 / total);
    return true;
}

void FormatProgressText(const WideChar *relativePath, int32_t processed, int32_t total, WideChar *out) {
    FormatText(out, ProgressTextUnits, WTEXT("%s  (%d/%d)"), relativePath, int(processed), int(total));
}

void FinalStatusText(int mode, const PassCounters *counters, WideChar *out) {
    if (mode != Check) {
        if (counters->errors > 0)
            FormatText(out, ClosingTextUnits, WTEXT("Finished with %d error(s)."), int(counters->errors));
        else if (counters->differing > 0)
            FormatText(out, ClosingTextUnits, WTEXT("Downloaded %d file(s). Ready."), int(counters->differing));
        else
            FormatText(out, ClosingTextUnits, WTEXT("Everything up to date."));
    } else if (counters->differing > 0) {
        FormatText(out, ClosingTextUnits, WTEXT("%d file(s) missing - click PATCH FILES."), int(counters->differing));
    } else {
        FormatText(out, ClosingTextUnits, WTEXT("All %d files OK - ready to play."), int(counters->total));
    }
}
