// UTF-16 text helpers: bounded copy, the launcher's small formatter, UTF-8
// conversion and _wtoi/_atoi64-style parsing. Platform-neutral, no allocation.
#include "base/text.h"

#include <cstdarg>
#include <cstdint>

int TextLength(const WideChar *text) {
    int n = 0;
    while (text[n] != 0) n++;
    return n;
}

bool TextEqual(const WideChar *a, const WideChar *b) {
    while (*a != 0 && *a == *b) { a++; b++; }
    return *a == *b;
}

static WideChar LowerAscii(WideChar c) {
    return (c >= 'A' && c <= 'Z') ? WideChar(c + 32) : c;
}

bool TextEqualNoCase(const WideChar *a, const WideChar *b) {
    while (*a != 0 && LowerAscii(*a) == LowerAscii(*b)) { a++; b++; }
    return LowerAscii(*a) == LowerAscii(*b);
}

bool TextStartsWithNoCase(const WideChar *text, const WideChar *prefix) {
    for (; *prefix != 0; text++, prefix++)
        if (LowerAscii(*text) != LowerAscii(*prefix)) return false;
    return true;
}

bool CopyText(WideChar *dest, int capacity, const WideChar *source) {
    if (capacity <= 0) return false;
    int i = 0;
    for (; i < capacity - 1 && source[i] != 0; i++) dest[i] = source[i];
    dest[i] = 0;
    return source[i] == 0;
}

// Output cursor of FormatText: appends while room is left, remembers a cut.
struct TextWriter {
    WideChar *dest;
    int capacity;
    int used;
    bool cut;
};

static void Put(TextWriter *w, WideChar c) {
    if (w->used < w->capacity - 1) w->dest[w->used++] = c;
    else w->cut = true;
}

static void PutNumber(TextWriter *w, int value) {
    WideChar digits[12];
    int n = 0;
    // Work in unsigned so INT_MIN is printed correctly.
    uint32_t magnitude = value < 0 ? 0u - uint32_t(value) : uint32_t(value);
    do { digits[n++] = WideChar('0' + magnitude % 10); magnitude /= 10; } while (magnitude != 0);
    if (value < 0) Put(w, '-');
    while (n > 0) Put(w, digits[--n]);
}

bool FormatText(WideChar *dest, int capacity, const WideChar *format, ...) {
    if (capacity <= 0) return false;
    TextWriter w = {dest, capacity, 0, false};
    va_list args;
    va_start(args, format);
    for (const WideChar *f = format; *f != 0; f++) {
        if (*f != '%' || f[1] == 0) { Put(&w, *f); continue; }
        f++;
        if (*f == 's') {
            const WideChar *s = va_arg(args, const WideChar *);
            while (*s != 0) Put(&w, *s++);
        } else if (*f == 'S') {
            // 8-bit text is shown as UTF-8 decoded, one character per unit.
            WideChar wide[256];
            const char *s = va_arg(args, const char *);
            if (!Utf8ToText(s, wide, 256)) w.cut = true;
            for (const WideChar *p = wide; *p != 0; p++) Put(&w, *p);
        } else if (*f == 'd') {
            PutNumber(&w, va_arg(args, int));
        } else {
            Put(&w, *f);
        }
    }
    va_end(args);
    dest[w.used] = 0;
    return !w.cut;
}

// Decodes one UTF-8 sequence at s; returns its length and the code point
// (U+FFFD for a malformed, overlong or surrogate sequence, length 1).
static int DecodeUtf8(const unsigned char *s, uint32_t *cp) {
    unsigned char b = s[0];
    int length;
    uint32_t value, minimum;
    if (b < 0x80) { *cp = b; return 1; }
    if ((b & 0xE0) == 0xC0) { length = 2; value = b & 0x1F; minimum = 0x80; }
    else if ((b & 0xF0) == 0xE0) { length = 3; value = b & 0x0F; minimum = 0x800; }
    else if ((b & 0xF8) == 0xF0) { length = 4; value = b & 0x07; minimum = 0x10000; }
    else { *cp = 0xFFFD; return 1; }
    for (int i = 1; i < length; i++) {
        if ((s[i] & 0xC0) != 0x80) { *cp = 0xFFFD; return 1; }
        value = (value << 6) | (s[i] & 0x3F);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        *cp = 0xFFFD;
        return 1;
    }
    *cp = value;
    return length;
}

bool Utf8ToText(const char *source, WideChar *dest, int capacity) {
    if (capacity <= 0) return false;
    const unsigned char *s = reinterpret_cast<const unsigned char *>(source);
    int used = 0;
    while (*s != 0) {
        uint32_t cp;
        int length = DecodeUtf8(s, &cp);
        int units = cp >= 0x10000 ? 2 : 1;
        if (used + units > capacity - 1) { dest[used] = 0; return false; }
        if (units == 2) {
            cp -= 0x10000;
            dest[used++] = WideChar(0xD800 + (cp >> 10));
            dest[used++] = WideChar(0xDC00 + (cp & 0x3FF));
        } else {
            dest[used++] = WideChar(cp);
        }
        s += length;
    }
    dest[used] = 0;
    return true;
}

bool TextToUtf8(const WideChar *source, char *dest, int capacity) {
    if (capacity <= 0) return false;
    int used = 0;
    for (const WideChar *p = source; *p != 0; p++) {
        uint32_t cp = uint16_t(*p);
        if (cp >= 0xD800 && cp <= 0xDBFF && uint16_t(p[1]) >= 0xDC00 && uint16_t(p[1]) <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (uint16_t(p[1]) - 0xDC00);
            p++;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        unsigned char bytes[4];
        int n;
        if (cp < 0x80) { bytes[0] = (unsigned char)cp; n = 1; }
        else if (cp < 0x800) { bytes[0] = (unsigned char)(0xC0 | (cp >> 6)); bytes[1] = (unsigned char)(0x80 | (cp & 0x3F)); n = 2; }
        else if (cp < 0x10000) { bytes[0] = (unsigned char)(0xE0 | (cp >> 12)); bytes[1] = (unsigned char)(0x80 | ((cp >> 6) & 0x3F)); bytes[2] = (unsigned char)(0x80 | (cp & 0x3F)); n = 3; }
        else { bytes[0] = (unsigned char)(0xF0 | (cp >> 18)); bytes[1] = (unsigned char)(0x80 | ((cp >> 12) & 0x3F)); bytes[2] = (unsigned char)(0x80 | ((cp >> 6) & 0x3F)); bytes[3] = (unsigned char)(0x80 | (cp & 0x3F)); n = 4; }
        if (used + n > capacity - 1) { dest[used] = 0; return false; }
        for (int i = 0; i < n; i++) dest[used++] = char(bytes[i]);
    }
    dest[used] = 0;
    return true;
}

static bool IsCrtSpace(uint32_t c) { return c == ' ' || (c >= 9 && c <= 13); }

// Shared body of the two parsers: white space, sign, digits, saturation.
template <typename Unit>
static int64_t ParseDecimal(const Unit *p, int64_t lowest, int64_t highest) {
    while (IsCrtSpace(uint32_t(*p))) p++;
    bool negative = false;
    if (*p == '+' || *p == '-') { negative = (*p == '-'); p++; }
    // Accumulate toward the sign's limit so the lowest value stays exact.
    int64_t value = 0;
    for (; *p >= '0' && *p <= '9'; p++) {
        int digit = int(*p - '0');
        if (negative) {
            if (value < (lowest + digit) / 10) return lowest;
            value = value * 10 - digit;
        } else {
            if (value > (highest - digit) / 10) return highest;
            value = value * 10 + digit;
        }
    }
    return value;
}

int32_t ParseIntLikeWtoi(const WideChar *text) {
    return int32_t(ParseDecimal(text, INT32_MIN, INT32_MAX));
}

int64_t ParseInt64LikeAtoi64(const char *text) {
    return ParseDecimal(text, INT64_MIN, INT64_MAX);
}

uint64_t HashTextUnits(const WideChar *text, int units) {
    uint64_t hash = 14695981039346656037ull;
    for (int i = 0; i < units; i++) {
        uint16_t unit = uint16_t(text[i]);
        hash = (hash ^ (unit & 0xFF)) * 1099511628211ull;
        hash = (hash ^ (unit >> 8)) * 1099511628211ull;
    }
    return hash;
}
