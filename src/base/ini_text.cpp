// INI text handling: one streaming pass over a file's bytes finds a key's
// value and the places an edit needs; the edit itself is one replaced byte
// range. Platform-neutral; the reading rules are listed in ini_text.h.
#include "base/ini_text.h"

#include <cstring>

constexpr WideChar Cr = 13, Lf = 10, Nul = 0;
constexpr WideChar ReplacementUnit = 0xFFFD;

static bool IsBlank(WideChar c) { return c == ' ' || c == 9 || c == 11 || c == 12 || c == 26; }

static WideChar LowerAscii(WideChar c) { return (c >= 'A' && c <= 'Z') ? WideChar(c + 32) : c; }

// --- Names -------------------------------------------------------------
// A name on a line is trimmed, then ends at its first NUL, so after the
// asked-for units it may go on only with blanks (trimmed away when nothing
// else follows) or with a NUL right away (everything after it is cut).

enum NameState : uint8_t {
    NameComparing,  // matched < length, all equal so far
    NameComplete,   // every unit matched, nothing after
    NameBlanks,     // complete, then only blanks
    NameCut,        // complete, then a NUL
    NameBroken,     // cannot match any more
};

static void ResetName(IniNameMatch *m) {
    m->matched = 0;
    m->state = m->length == 0 ? NameComplete : NameComparing;
}

static void NameUnit(IniNameMatch *m, WideChar u) {
    switch (m->state) {
    case NameComparing:
        if (u != Nul && LowerAscii(u) == LowerAscii(m->name[m->matched])) {
            if (++m->matched == m->length) m->state = NameComplete;
        } else {
            m->state = NameBroken;
        }
        break;
    case NameComplete:
        m->state = u == Nul ? NameCut : IsBlank(u) ? NameBlanks : NameBroken;
        break;
    case NameBlanks:
        if (!IsBlank(u)) m->state = NameBroken;
        break;
    default:
        break;
    }
}

// True when the name, ending before the next unit, is the one asked for.
static bool NameMatches(const IniNameMatch *m) {
    return m->state == NameComplete || m->state == NameBlanks || m->state == NameCut;
}

// --- Lines -------------------------------------------------------------

static void ResetLine(IniScan *s) {
    s->lineStarted = s->lineHeader = s->headerLead = false;
    s->closeSeen = s->closeMatches = false;
    s->equalsSeen = s->keyMatches = false;
    s->lineEnd = s->lastNonBlankEnd = 0;
    s->valueStarted = s->valueCut = false;
    s->valueLength = s->valueUnits = 0;
    s->valueStart = 0;
    s->firstUnit = s->lastUnit = s->previousUnit = 0;
    ResetName(&s->sectionName);
    ResetName(&s->keyName);
}

// A unit of the value: only its first units are kept, in out shifted by
// one (out[i] holds unit i+1), so that after removing a leading quote the
// value is already in place; FinishValue sorts it out.
static void ValueUnit(IniScan *s, WideChar u, int64_t start) {
    if (!s->valueStarted) {
        if (IsBlank(u)) return;
        s->valueStarted = true;
        s->valueStart = start;
        s->firstUnit = u;
    }
    if (s->valueCut) return;
    if (u == Nul) {
        s->valueCut = true;
        s->valueLength = s->valueUnits;
        s->lastUnit = s->previousUnit;
        return;
    }
    if (s->valueUnits >= 1 && s->valueUnits - 1 < int64_t(s->capacity) - 1) s->out[s->valueUnits - 1] = u;
    if (!IsBlank(u)) {
        s->valueLength = s->valueUnits + 1;
        s->lastUnit = u;
    }
    s->previousUnit = u;
    s->valueUnits++;
}

static void FinishValue(IniScan *s) {
    if (s->capacity <= 0) return;
    int64_t length = s->valueStarted ? s->valueLength : 0;
    WideChar q = s->firstUnit;
    int64_t room = s->capacity - 1;
    if (length >= 2 && (q == '"' || q == '\'') && s->lastUnit == q) {
        int64_t n = length - 2 < room ? length - 2 : room;  // the units after the quote are in place
        s->out[n] = 0;
        return;
    }
    int64_t n = length < room ? length : room;
    if (n > 0) {
        memmove(s->out + 1, s->out, size_t(n - 1) * sizeof(WideChar));
        s->out[0] = q;
    }
    s->out[n] = 0;
}

static void LineUnit(IniScan *s, WideChar u, int64_t start, int64_t end) {
    bool first = false;
    if (!s->lineStarted) {
        if (IsBlank(u)) return;
        s->lineStarted = first = true;
        s->lineHeader = s->headerLead = u == '[';
    }
    s->lineEnd = end;
    if (!IsBlank(u)) s->lastNonBlankEnd = end;

    // The section name runs from after the '[' to the last ']'.
    if (s->lineHeader && !first && !(s->headerLead && IsBlank(u))) {
        s->headerLead = false;
        if (u == ']') {
            s->closeSeen = true;
            s->closeMatches = NameMatches(&s->sectionName);
        }
        NameUnit(&s->sectionName, u);
    }
    // The key name runs to the first '=', the value from there.
    if (!s->equalsSeen) {
        if (u == '=') {
            s->equalsSeen = true;
            s->keyMatches = NameMatches(&s->keyName);
        } else {
            NameUnit(&s->keyName, u);
        }
    } else if (s->keyMatches && s->inSection && !s->keyFound) {
        ValueUnit(s, u, start);
    }
}

// Records the line just ended as the section's last non-blank one.
static void MarkContent(IniScan *s, int64_t breakEnd, bool hasBreak, bool crBreak) {
    s->contentEnd = breakEnd;
    s->contentHasBreak = hasBreak;
    s->contentEndsBeforeLf = crBreak;
}

static void EndLine(IniScan *s, int64_t breakEnd, bool hasBreak, bool crBreak) {
    if (s->lineStarted && !s->done) {
        if (s->lineHeader && s->closeSeen) {
            if (s->inSection) {
                s->inSection = false;  // later sections of the name are not read
                s->done = true;
            } else if (s->closeMatches) {
                s->inSection = s->sectionFound = true;
                MarkContent(s, breakEnd, hasBreak, crBreak);
            }
        } else if (s->inSection) {
            MarkContent(s, breakEnd, hasBreak, crBreak);
            if (s->equalsSeen ? s->keyMatches : NameMatches(&s->keyName)) {
                s->keyFound = s->done = true;
                s->hasValue = s->equalsSeen;
                if (!s->hasValue) {
                    s->valueBegin = s->valueEnd = s->lastNonBlankEnd;  // "=value" goes after the name
                } else if (s->valueStarted) {
                    s->valueBegin = s->valueStart;
                    s->valueEnd = s->lastNonBlankEnd;
                    FinishValue(s);
                } else {
                    s->valueBegin = s->valueEnd = s->lineEnd;
                    FinishValue(s);
                }
            }
        }
    }
    ResetLine(s);
}

// One decoded unit, occupying bytes [start, end) of the file.
static void ScanUnit(IniScan *s, WideChar u, int64_t start, int64_t end) {
    s->anyUnit = true;
    if (s->afterCr) {
        s->afterCr = false;
        if (u == Lf) {  // CR LF is one break
            s->sawCrLf = true;
            if (s->contentEndsBeforeLf) s->contentEnd = end;
            s->contentEndsBeforeLf = false;
            return;
        }
        s->sawCr = true;
        s->contentEndsBeforeLf = false;
    }
    if (u == Cr || u == Lf) {
        if (u == Lf) s->sawLf = true;
        EndLine(s, end, true, u == Cr);
        s->afterCr = u == Cr;
        s->endsWithBreak = true;
        return;
    }
    s->endsWithBreak = false;
    if (!s->done) LineUnit(s, u, start, end);
}

// --- Decoding ----------------------------------------------------------

static void ScanCodePoint(IniScan *s, uint32_t cp, int64_t start, int64_t end) {
    if (cp >= 0x10000) {
        cp -= 0x10000;
        ScanUnit(s, WideChar(0xD800 + (cp >> 10)), start, end);
        ScanUnit(s, WideChar(0xDC00 + (cp & 0x3FF)), start, end);
    } else {
        ScanUnit(s, WideChar(cp), start, end);
    }
}

static void DropPending(IniScan *s, int count) {
    memmove(s->pending, s->pending + count, size_t(s->pendingCount - count));
    s->pendingCount -= count;
    s->pendingOffset += count;
}

// Decodes what is pending as UTF-8, by the same rules as Utf8ToText: a
// malformed, overlong or surrogate sequence gives U+FFFD for its first
// byte and decoding goes on at the next. An incomplete sequence waits for
// more bytes unless the file has ended.
static void DrainUtf8(IniScan *s, bool atEnd) {
    while (s->pendingCount > 0) {
        const unsigned char *p = s->pending;
        int64_t at = s->pendingOffset;
        int length;
        uint32_t value, minimum;
        if (p[0] < 0x80) { ScanUnit(s, p[0], at, at + 1); DropPending(s, 1); continue; }
        if ((p[0] & 0xE0) == 0xC0) { length = 2; value = p[0] & 0x1F; minimum = 0x80; }
        else if ((p[0] & 0xF0) == 0xE0) { length = 3; value = p[0] & 0x0F; minimum = 0x800; }
        else if ((p[0] & 0xF8) == 0xF0) { length = 4; value = p[0] & 0x07; minimum = 0x10000; }
        else { ScanUnit(s, ReplacementUnit, at, at + 1); DropPending(s, 1); continue; }
        bool malformed = false;
        for (int i = 1; i < length && i < s->pendingCount; i++) {
            if ((p[i] & 0xC0) != 0x80) malformed = true;
            value = (value << 6) | (p[i] & 0x3F);
        }
        if (!malformed && s->pendingCount < length) {
            if (!atEnd) return;
            malformed = true;
        }
        if (malformed || value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
            ScanUnit(s, ReplacementUnit, at, at + 1);
            DropPending(s, 1);
            continue;
        }
        ScanCodePoint(s, value, at, at + length);
        DropPending(s, length);
    }
}

static void ContentByte(IniScan *s, unsigned char b, int64_t at) {
    if (s->pendingCount == 0) s->pendingOffset = at;
    s->pending[s->pendingCount++] = b;
    if (s->encoding == IniUtf8) {
        DrainUtf8(s, false);
    } else if (s->pendingCount == 2) {
        WideChar u = s->encoding == IniUtf16Le ? WideChar(s->pending[0] | (s->pending[1] << 8))
                                               : WideChar((s->pending[0] << 8) | s->pending[1]);
        s->pendingCount = 0;
        ScanUnit(s, u, s->pendingOffset, s->pendingOffset + 2);
    }
}

// Tells the encoding from the first bytes once they suffice, then decodes
// those that are not the mark.
static void DecideEncoding(IniScan *s, bool atEnd) {
    const unsigned char *m = s->mark;
    int n = s->markCount;
    int markLength = 0;
    if (n >= 2 && m[0] == 0xFF && m[1] == 0xFE) { s->encoding = IniUtf16Le; markLength = 2; }
    else if (n >= 2 && m[0] == 0xFE && m[1] == 0xFF) { s->encoding = IniUtf16Be; markLength = 2; }
    else if (n >= 3 && m[0] == 0xEF && m[1] == 0xBB && m[2] == 0xBF) { s->encoding = IniUtf8; markLength = 3; }
    else {
        bool couldBeMark = (n == 1 && (m[0] == 0xFF || m[0] == 0xFE || m[0] == 0xEF)) ||
                           (n == 2 && m[0] == 0xEF && m[1] == 0xBB);
        if (couldBeMark && !atEnd) return;
        s->encoding = IniUtf8;
    }
    s->encodingKnown = true;
    s->textBegin = markLength;
    for (int i = markLength; i < n; i++) ContentByte(s, m[i], i);
}

bool StartIniScan(IniScan *scan, const WideChar *section, const WideChar *key, WideChar *out, int capacity) {
    memset(scan, 0, sizeof *scan);
    scan->sectionName.name = section;
    scan->sectionName.length = TextLength(section);
    scan->keyName.name = key;
    scan->keyName.length = TextLength(key);
    scan->out = out;
    scan->capacity = out != nullptr && capacity > 0 ? capacity : 0;
    if (scan->capacity > 0) out[0] = 0;
    ResetLine(scan);
    return scan->sectionName.length <= IniNameUnits && scan->keyName.length <= IniNameUnits;
}

void FeedIniScan(IniScan *scan, const void *bytes, int count) {
    const unsigned char *b = static_cast<const unsigned char *>(bytes);
    for (int i = 0; i < count; i++) {
        int64_t at = scan->offset++;
        if (scan->encodingKnown) {
            ContentByte(scan, b[i], at);
        } else {
            scan->mark[scan->markCount++] = b[i];
            DecideEncoding(scan, false);
        }
    }
}

void FinishIniScan(IniScan *scan) {
    if (!scan->encodingKnown) DecideEncoding(scan, true);
    if (scan->encoding == IniUtf8) {
        DrainUtf8(scan, true);
    } else if (scan->pendingCount == 1) {
        // An odd last byte is one unit of its own, as the system reads it.
        scan->pendingCount = 0;
        ScanUnit(scan, scan->pending[0], scan->pendingOffset, scan->pendingOffset + 1);
    }
    if (scan->afterCr) {
        scan->sawCr = true;
        scan->afterCr = false;
    }
    EndLine(scan, scan->offset, false, false);
}

bool IniValueFound(const IniScan *scan) { return scan->keyFound && scan->hasValue; }

void CopyIniDefault(const WideChar *defaultValue, WideChar *out, int capacity) {
    if (capacity <= 0) return;
    int n = defaultValue != nullptr ? TextLength(defaultValue) : 0;
    while (n > 0 && defaultValue[n - 1] == ' ') n--;
    if (n > capacity - 1) n = capacity - 1;
    for (int i = 0; i < n; i++) out[i] = defaultValue[i];
    out[n] = 0;
}

// --- The edit ----------------------------------------------------------

// Bounded output of PlanIniEdit in the file's encoding.
struct EditWriter {
    IniEdit *edit;
    IniEncoding encoding;
    bool overflow;
};

static void PutByte(EditWriter *w, unsigned char b) {
    if (w->edit->insertLength >= IniEditBytes) { w->overflow = true; return; }
    w->edit->insert[w->edit->insertLength++] = char(b);
}

static void PutText(EditWriter *w, const WideChar *text) {
    if (w->encoding == IniUtf8) {
        char utf8[4 * IniValueUnits + 4];
        if (!TextToUtf8(text, utf8, int(sizeof utf8))) { w->overflow = true; return; }
        for (const char *p = utf8; *p != 0; p++) PutByte(w, (unsigned char)*p);
        return;
    }
    for (const WideChar *p = text; *p != 0; p++) {
        unsigned low = unsigned(*p) & 0xFF, high = (unsigned(*p) >> 8) & 0xFF;
        PutByte(w, (unsigned char)(w->encoding == IniUtf16Le ? low : high));
        PutByte(w, (unsigned char)(w->encoding == IniUtf16Le ? high : low));
    }
}

static void PutAscii(EditWriter *w, const char *text) {
    WideChar units[8];
    int n = 0;
    for (; text[n] != 0 && n < 7; n++) units[n] = WideChar(text[n]);
    units[n] = 0;
    PutText(w, units);
}

bool PlanIniEdit(const IniScan *scan, const WideChar *section, const WideChar *key, const WideChar *value,
                 IniEdit *edit) {
    for (const WideChar *p = value; *p != 0; p++)
        if (*p == Cr || *p == Lf) return false;
    if (TextLength(section) > IniNameUnits || TextLength(key) > IniNameUnits || TextLength(value) > IniValueUnits)
        return false;
    // New units after an odd byte would be read shifted by one byte.
    if (scan->encoding != IniUtf8 && (scan->offset - scan->textBegin) % 2 != 0) return false;

    const char *newline = scan->sawCrLf ? "\r\n" : scan->sawLf ? "\n" : scan->sawCr ? "\r" : "\n";
    EditWriter w = {edit, scan->encoding, false};
    edit->insertLength = 0;
    if (scan->keyFound) {
        edit->cutBegin = scan->valueBegin;
        edit->cutEnd = scan->valueEnd;
        if (!scan->hasValue) PutAscii(&w, "=");
        PutText(&w, value);
    } else if (scan->sectionFound) {
        // A new key line right after the section's last non-blank line.
        edit->cutBegin = edit->cutEnd = scan->contentEnd;
        if (!scan->contentHasBreak) PutAscii(&w, newline);
        PutText(&w, key);
        PutAscii(&w, "=");
        PutText(&w, value);
        if (scan->contentHasBreak) PutAscii(&w, newline);
    } else {
        // A new section at the end, after a line break if the text lacks one.
        edit->cutBegin = edit->cutEnd = scan->offset;
        if (scan->anyUnit && !scan->endsWithBreak) PutAscii(&w, newline);
        PutAscii(&w, "[");
        PutText(&w, section);
        PutAscii(&w, "]");
        PutAscii(&w, newline);
        PutText(&w, key);
        PutAscii(&w, "=");
        PutText(&w, value);
        PutAscii(&w, newline);
    }
    return !w.overflow;
}

// --- Text in memory ----------------------------------------------------

static bool ScanText(IniScan *scan, const char *text, const char *section, const char *key, WideChar *out,
                     int capacity, WideChar *sectionUnits, WideChar *keyUnits) {
    if (!Utf8ToText(section, sectionUnits, IniNameUnits + 1) || !Utf8ToText(key, keyUnits, IniNameUnits + 1))
        return false;
    if (!StartIniScan(scan, sectionUnits, keyUnits, out, capacity)) return false;
    FeedIniScan(scan, text, int(strlen(text)));
    FinishIniScan(scan);
    return true;
}

bool FindIniValue(const char *text, const char *section, const char *key, char *out, int capacity) {
    if (capacity <= 0) return false;
    // capacity-1 bytes of UTF-8 never hold more than capacity-1 units, so
    // one more unit shows whether the text was cut.
    WideChar units[IniValueUnits + 1];
    int unitCapacity = capacity < IniValueUnits ? capacity + 1 : IniValueUnits + 1;
    WideChar sectionUnits[IniNameUnits + 1], keyUnits[IniNameUnits + 1];
    IniScan scan;
    if (!ScanText(&scan, text, section, key, units, unitCapacity, sectionUnits, keyUnits)) return false;
    if (!IniValueFound(&scan)) return false;
    TextToUtf8(units, out, capacity);  // cut at a character boundary
    return true;
}

int SetIniValue(const char *text, const char *section, const char *key, const char *value,
                char *out, int capacity) {
    WideChar sectionUnits[IniNameUnits + 1], keyUnits[IniNameUnits + 1], valueUnits[IniValueUnits + 1];
    IniScan scan;
    IniEdit edit;
    if (capacity <= 0 || !Utf8ToText(value, valueUnits, IniValueUnits + 1)) return -1;
    if (!ScanText(&scan, text, section, key, nullptr, 0, sectionUnits, keyUnits)) return -1;
    if (!PlanIniEdit(&scan, sectionUnits, keyUnits, valueUnits, &edit)) return -1;
    int64_t length = scan.offset - (edit.cutEnd - edit.cutBegin) + edit.insertLength;
    if (length > int64_t(capacity) - 1) return -1;
    size_t head = size_t(edit.cutBegin), tail = size_t(scan.offset - edit.cutEnd);
    memmove(out, text, head);
    memcpy(out + head, edit.insert, size_t(edit.insertLength));
    memmove(out + head + edit.insertLength, text + edit.cutEnd, tail);
    out[length] = 0;
    return int(length);
}
