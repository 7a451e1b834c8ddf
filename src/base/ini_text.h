// INI text handling for platforms without private-profile functions: one
// key's value read from a file's bytes, and the one edit that sets a key
// while every other byte stays. Platform-neutral; the caller does the file
// input and output, chunk by chunk, so a file of any size takes a few
// kilobytes.
//
// The reading rules are those of the Windows private-profile functions, so
// both builds read the same launcher.ini the same way:
// - encoding: a UTF-16 byte-order mark (FF FE little-endian, FE FF
//   big-endian) makes the file UTF-16 (an odd last byte is one unit of its
//   own); otherwise it is 8-bit text, here UTF-8 (the system's code page on
//   POSIX; Windows takes its ANSI code page), a UTF-8 mark skipped.
// - lines end at CR, LF or CR LF; blanks are space, tab, vertical tab, form
//   feed and 0x1A.
// - a header is a line whose first non-blank unit is '[' and that has a ']'
//   after it; the name is what lies between the '[' and the last ']'.
//   Other lines are keys: the name up to the first '=', the value after it;
//   a line without '=' is a key without a value.
// - names and the value are trimmed of blanks, then end at their first NUL.
//   Names match without regard to ASCII case.
// - the first section of the name counts; later ones of that name are not
//   read. Its first line with the key wins; a key without a value gives the
//   default.
// - one pair of matching quotes (' or ") around the value is removed; the
//   value is then cut to the buffer, in UTF-16 units.
#pragma once
#include <cstdint>

#include "base/text.h"

constexpr int IniNameUnits = 256;    // longest section or key name asked for
constexpr int IniValueUnits = 1024;  // longest value ever written
// Room for the text one edit adds: a new section line and key line.
constexpr int IniEditBytes = 4 * (2 * IniNameUnits + IniValueUnits) + 16;

enum IniEncoding : uint8_t { IniUtf8, IniUtf16Le, IniUtf16Be };

// Where a name stands while a line goes by: it is compared unit by unit,
// so nothing of the line needs to be kept.
struct IniNameMatch {
    const WideChar *name;
    int length;
    int matched;     // units of name matched so far
    uint8_t state;   // see ini_text.cpp
};

// One pass over a file looking for section/key. Fill with StartIniScan,
// give it the bytes with FeedIniScan, end with FinishIniScan.
struct IniScan {
    // What is asked for; value units go to out (capacity units, may be 0).
    IniNameMatch sectionName;
    IniNameMatch keyName;
    WideChar *out;
    int capacity;

    // Decoding.
    IniEncoding encoding;
    bool encodingKnown;
    unsigned char mark[3];     // first bytes, until the byte-order mark is told
    int markCount;
    unsigned char pending[4];  // bytes of a character not yet complete
    int pendingCount;
    int64_t pendingOffset;     // file offset of pending[0]
    int64_t offset;            // bytes given so far

    // The file as a whole, for an edit.
    int64_t textBegin;         // first byte after the byte-order mark
    bool sawCrLf, sawLf, sawCr;
    bool anyUnit;              // something after the mark
    bool endsWithBreak;        // the last unit was CR or LF
    bool afterCr;              // the previous unit was a CR

    // Sections.
    bool inSection;            // inside the first section of the name
    bool sectionFound;
    int64_t contentEnd;        // after the last non-blank line of the section (its break included)
    bool contentHasBreak;
    bool contentEndsBeforeLf;  // that line ended with a CR that may be followed by LF

    // The key.
    bool keyFound;             // the first line of the key in the section was seen
    bool hasValue;             // and it has an '=' (the value is in out)
    int64_t valueBegin, valueEnd;  // bytes of the trimmed value, or where "=value" goes
    bool done;                 // nothing further can change what a read gets

    // The current line.
    bool lineStarted;          // a non-blank unit was seen
    bool lineHeader;           // its first non-blank unit is '['
    bool headerLead;           // still in the blanks after that '['
    bool closeSeen;            // a ']' after it
    bool closeMatches;         // the name ending at the last ']' is the section
    bool equalsSeen;
    bool keyMatches;           // the key before the '=' is the one asked for
    int64_t lineEnd;           // after the line's last unit
    int64_t lastNonBlankEnd;   // after its last non-blank unit
    // The value on the current line (kept only when the key matches).
    bool valueStarted, valueCut;
    int64_t valueLength;       // units before the first NUL, or to the last non-blank
    int64_t valueUnits;        // units seen since the value started
    int64_t valueStart;        // offset of its first unit
    WideChar firstUnit, lastUnit, previousUnit;
};

// False when a name is longer than IniNameUnits. out may be null when
// capacity is 0 (a scan for an edit).
bool StartIniScan(IniScan *scan, const WideChar *section, const WideChar *key, WideChar *out, int capacity);
void FeedIniScan(IniScan *scan, const void *bytes, int count);
void FinishIniScan(IniScan *scan);
// True when the key's value (possibly empty) is in out, terminated.
bool IniValueFound(const IniScan *scan);

// What a read gets when the key is missing: the default without trailing
// spaces, cut to capacity-1 units (null reads as empty).
void CopyIniDefault(const WideChar *defaultValue, WideChar *out, int capacity);

// The one change that sets section/key to value in a scanned file: bytes
// [cutBegin, cutEnd) are replaced by insert. An existing value is replaced
// between its blanks; a missing key goes after the last non-blank line of
// its section; a missing section is added at the end. New lines take the
// file's line breaks (CR LF when it has any, else LF, else CR) and its
// encoding.
struct IniEdit {
    int64_t cutBegin, cutEnd;
    char insert[IniEditBytes];
    int insertLength;
};
// False when value holds a line break, a name or the value is too long, or
// the file is UTF-16 with an odd byte count.
bool PlanIniEdit(const IniScan *scan, const WideChar *section, const WideChar *key, const WideChar *value,
                 IniEdit *edit);

// The same on zero-terminated text in memory. FindIniValue copies the
// value as UTF-8, cut to capacity-1 bytes at a character boundary.
bool FindIniValue(const char *text, const char *section, const char *key, char *out, int capacity);

// Writes into out the text with section/key set to value (see PlanIniEdit).
// Returns the new length, or -1 when out (capacity bytes, terminator
// included) is too small or the edit is refused.
int SetIniValue(const char *text, const char *section, const char *key, const char *value,
                char *out, int capacity);
