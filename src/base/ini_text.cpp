// INI text handling: reads a key's value and sets a key while keeping every
// other byte of the text. Platform-neutral; works on UTF-8 bytes in memory,
// the caller does the file input and output.
#include "base/ini_text.h"

#include <cstring>

static bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

static char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? char(c + 32) : c; }

// Compares [begin, end) with name, ASCII case ignored.
static bool SpanEqualsName(const char *begin, const char *end, const char *name) {
    size_t length = strlen(name);
    if (size_t(end - begin) != length) return false;
    for (size_t i = 0; i < length; i++)
        if (LowerAscii(begin[i]) != LowerAscii(name[i])) return false;
    return true;
}

static void TrimSpan(const char **begin, const char **end) {
    while (*begin < *end && IsBlank(**begin)) (*begin)++;
    while (*end > *begin && IsBlank((*end)[-1])) (*end)--;
}

// One line of the text, without its line feed.
struct IniLine {
    const char *begin;
    const char *end;   // at the line feed or the terminator
    const char *next;  // start of the following line, or nullptr at the end
};

static IniLine LineAt(const char *p) {
    IniLine line = {p, p, nullptr};
    while (*line.end != 0 && *line.end != '\n') line.end++;
    if (*line.end == '\n') line.next = line.end + 1;
    return line;
}

// True when the line is a section header; its trimmed name goes to name.
static bool SectionName(const IniLine &line, const char **nameBegin, const char **nameEnd) {
    const char *b = line.begin, *e = line.end;
    TrimSpan(&b, &e);
    if (b == e || *b != '[') return false;
    const char *close = b + 1;
    while (close < e && *close != ']') close++;
    *nameBegin = b + 1;
    *nameEnd = close;
    TrimSpan(nameBegin, nameEnd);
    return true;
}

// True when the line is "key = value" for the given key; the trimmed value
// span goes to valueBegin/valueEnd.
static bool KeyLine(const IniLine &line, const char *key, const char **valueBegin, const char **valueEnd) {
    const char *equals = line.begin;
    while (equals < line.end && *equals != '=') equals++;
    if (equals == line.end) return false;
    const char *b = line.begin, *e = equals;
    TrimSpan(&b, &e);
    if (!SpanEqualsName(b, e, key)) return false;
    *valueBegin = equals + 1;
    *valueEnd = line.end;
    TrimSpan(valueBegin, valueEnd);
    return true;
}

static const char *SkipByteOrderMark(const char *text) {
    return strncmp(text, "\xEF\xBB\xBF", 3) == 0 ? text + 3 : text;
}

// Where a section's lines are in the text.
struct SectionSpan {
    bool found;
    const char *bodyBegin;      // first line after the header
    const char *lastContentEnd; // end of the last non-blank line of the section (header included)
    bool lastContentHasNewline;
};

static SectionSpan FindSection(const char *text, const char *section) {
    SectionSpan span = {false, nullptr, nullptr, false};
    for (const char *p = SkipByteOrderMark(text); p != nullptr;) {
        IniLine line = LineAt(p);
        const char *nb, *ne;
        if (SectionName(line, &nb, &ne)) {
            if (span.found) break;  // the next section ends ours
            if (SpanEqualsName(nb, ne, section)) {
                span.found = true;
                span.bodyBegin = line.next;
                span.lastContentEnd = line.end;
                span.lastContentHasNewline = line.next != nullptr;
            }
        } else if (span.found) {
            const char *b = line.begin, *e = line.end;
            TrimSpan(&b, &e);
            if (b != e) {
                span.lastContentEnd = line.end;
                span.lastContentHasNewline = line.next != nullptr;
            }
        }
        p = line.next;
        if (p != nullptr && *p == 0) break;
    }
    return span;
}

static bool FindKeyInSection(const SectionSpan &span, const char *key, const char **valueBegin,
                             const char **valueEnd) {
    for (const char *p = span.bodyBegin; p != nullptr && *p != 0;) {
        IniLine line = LineAt(p);
        const char *nb, *ne;
        if (SectionName(line, &nb, &ne)) return false;
        if (KeyLine(line, key, valueBegin, valueEnd)) return true;
        p = line.next;
    }
    return false;
}

bool FindIniValue(const char *text, const char *section, const char *key, char *out, int capacity) {
    SectionSpan span = FindSection(text, section);
    const char *b, *e;
    if (!span.found || !FindKeyInSection(span, key, &b, &e)) return false;
    int length = int(e - b);
    if (length > capacity - 1) {
        length = capacity - 1;
        // Never end inside a UTF-8 sequence.
        while (length > 0 && (static_cast<unsigned char>(b[length]) & 0xC0) == 0x80) length--;
    }
    memcpy(out, b, size_t(length));
    out[length] = 0;
    return true;
}

// Bounded output of SetIniValue.
struct IniWriter {
    char *out;
    int capacity;
    int used;
    bool overflow;
};

static void Emit(IniWriter *w, const char *bytes, size_t count) {
    if (w->overflow || size_t(w->capacity - 1 - w->used) < count) { w->overflow = true; return; }
    memcpy(w->out + w->used, bytes, count);
    w->used += int(count);
}

static void EmitText(IniWriter *w, const char *s) { Emit(w, s, strlen(s)); }

int SetIniValue(const char *text, const char *section, const char *key, const char *value,
                char *out, int capacity) {
    if (strpbrk(value, "\r\n") != nullptr || capacity <= 0) return -1;
    IniWriter w = {out, capacity, 0, false};
    const char *newline = strstr(text, "\r\n") != nullptr ? "\r\n" : "\n";
    const char *textEnd = text + strlen(text);
    SectionSpan span = FindSection(text, section);
    const char *b, *e;

    if (span.found && FindKeyInSection(span, key, &b, &e)) {
        // Replace the old value between its blanks.
        Emit(&w, text, size_t(b - text));
        EmitText(&w, value);
        Emit(&w, e, size_t(textEnd - e));
    } else if (span.found) {
        // New key line right after the section's last non-blank line.
        const char *at = span.lastContentEnd;
        Emit(&w, text, size_t(at - text));
        if (span.lastContentHasNewline) {
            // Keep that line's own ending (a CR before its LF stays with it).
            const char *lf = at;
            Emit(&w, lf, 1);
            at = lf + 1;
        } else {
            EmitText(&w, newline);
        }
        EmitText(&w, key);
        EmitText(&w, "=");
        EmitText(&w, value);
        if (span.lastContentHasNewline || *at != 0) EmitText(&w, newline);
        Emit(&w, at, size_t(textEnd - at));
    } else {
        // New section at the end, after a line break if the text lacks one.
        Emit(&w, text, size_t(textEnd - text));
        if (textEnd > text && textEnd[-1] != '\n') EmitText(&w, newline);
        EmitText(&w, "[");
        EmitText(&w, section);
        EmitText(&w, "]");
        EmitText(&w, newline);
        EmitText(&w, key);
        EmitText(&w, "=");
        EmitText(&w, value);
        EmitText(&w, newline);
    }
    if (w.overflow) return -1;
    out[w.used] = 0;
    return w.used;
}
