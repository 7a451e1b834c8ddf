// Manifest text and pass bookkeeping: counting entries, reading one line
// into an entry, the progress report rule and the closing message.
// Platform-neutral and free of I/O, so all of it is unit-tested directly.
#pragma once
#include <cstdint>

#include "base/text.h"

enum PassMode { Check = 0, Patch = 1 };  // any non-zero mode acts as Patch

constexpr int RelativePathUnits = 512;
constexpr int SourceUrlUnits = 700;
constexpr int ProgressTextUnits = 300;
constexpr int ClosingTextUnits = 260;
constexpr int ReportEveryEntries = 16;
constexpr int Sha256DigestBytes = 32;

struct ManifestEntry {
    WideChar relativePath[RelativePathUnits];  // as written in the manifest
    int64_t expectedSize;                      // bytes; -1 means "must be absent"
    WideChar sourceUrl[SourceUrlUnits];        // where the file's bytes come from
    bool fieldsFit;                            // false when a field was cut to its buffer
    // The URL may end in "#sha256=" and 64 lowercase hex digits: the body's
    // SHA-256. sourceUrl then holds the URL without it. Any other fragment
    // makes the entry refused (fragmentUsable false): a hash written wrong
    // would otherwise quietly check nothing.
    bool hasSha256;
    bool fragmentUsable;
    uint8_t sha256[Sha256DigestBytes];
};

struct PassCounters {
    int32_t total;      // entries announced by the counting walk
    int32_t processed;  // entry lines handled so far
    int32_t differing;  // entries whose size on disk differs
    int32_t errors;     // failed downloads and refused entries
};

// Lines whose first byte is not '#' and that hold a vertical bar. Reads the
// text up to its zero byte without changing it.
int32_t CountManifestEntries(const char *text);

// Why a fetched body cannot be used as the manifest, into reason
// (ManifestReasonBytes); an empty reason when it can:
//  - a body with no entry line but with other text (a maintenance page, a
//    network's sign-in page, a CDN's fallback page) is no manifest; only
//    comment and blank lines (nothing but blanks and a carriage return)
//    make an empty one;
//  - a body whose first line is launcher-manifest's
//    "#launcher-manifest entries=N" needs a line "#end entries=N" after
//    its N entry lines, and nothing after that line but comment and blank
//    lines: otherwise it was cut off in transit, or pieced together.
// Reads the text up to its zero byte without changing it.
constexpr int ManifestReasonBytes = 160;
void ManifestUnusableReason(const char *text, char *reason);

// Whether ManifestUnusableReason finds nothing wrong.
bool IsUsableManifest(const char *text);

// Splits the text at its next line: cuts the line at its line feed (writing
// a zero byte there) and returns the start of the next line, or nullptr when
// this was the last one.
char *CutManifestLine(char *line);

// Reads one line (already cut at its line feed; cut again here at its first
// carriage return and at its first two bars). Returns false for blank,
// comment and other lines, which are not entries.
bool ParseManifestLine(char *line, ManifestEntry *entry);

// Reads a URL's fragment (the text after its first '#', without it) as a
// SHA-256: true only for exactly "sha256=" and 64 lowercase hex digits.
bool ParseSha256Fragment(const char *fragment, uint8_t digest[Sha256DigestBytes]);

// Whether processed entries out of total call for a report now, and the
// percentage to show with it.
bool ShouldReportProgress(int32_t processed, int32_t total, int32_t *percent);

// "<relativePath>  (<processed>/<total>)" into out (ProgressTextUnits units).
void FormatProgressText(const WideChar *relativePath, int32_t processed, int32_t total, WideChar *out);

// The message a pass ends with (ClosingTextUnits units).
void FinalStatusText(int mode, const PassCounters *counters, WideChar *out);
