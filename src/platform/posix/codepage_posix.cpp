// Code-page backend for Linux: system calls take UTF-8, so the 8-bit form is
// UTF-8, cut at a character boundary, and read back as UTF-8.
// Leaves out: locales with other encodings (glibc's resolver takes bytes;
// UTF-8 is what the rest of the launcher writes too).
#include "platform/codepage.h"

void TextToCodePage(const WideChar *text, char *out, int capacity) {
    if (capacity <= 0) return;
    TextToUtf8(text, out, capacity);
}

void CodePageToText(const char *text, WideChar *out, int capacity) {
    if (capacity <= 0) return;
    Utf8ToText(text, out, capacity);
}
