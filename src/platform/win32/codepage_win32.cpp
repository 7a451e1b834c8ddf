// Code-page backend for Windows: the ANSI code page (CP_ACP), through
// WideCharToMultiByte and CharNextExA (kernel32, user32), and back through
// MultiByteToWideChar. A multi-byte code
// page is cut at a character boundary, so a long name is shortened rather
// than lost or broken.
// Leaves out: any code page but the system's ANSI one.
#include <windows.h>

#include "platform/codepage.h"

constexpr int ConvertedBytesPerUnit = 4;  // room for any ANSI form of one unit
constexpr int MaxConvertedUnits = 1024;   // longer texts are cut before converting

void TextToCodePage(const WideChar *text, char *out, int capacity) {
    if (capacity <= 0) return;
    char converted[MaxConvertedUnits * ConvertedBytesPerUnit];
    int n = WideCharToMultiByte(CP_ACP, 0, text, -1, converted, sizeof converted, nullptr, nullptr);
    if (n <= 0) converted[0] = 0;
    int used = 0;
    for (const char *p = converted; *p != 0;) {
        const char *next = CharNextExA(CP_ACP, p, 0);
        if (next == p || next - converted > capacity - 1) break;
        p = next;
        used = int(p - converted);
    }
    for (int i = 0; i < used; i++) out[i] = converted[i];
    out[used] = 0;
}

void CodePageToText(const char *text, WideChar *out, int capacity) {
    if (capacity <= 0) return;
    int bytes = 0;
    while (bytes <= MaxConvertedUnits && text[bytes] != 0) bytes++;
    WideChar widened[MaxConvertedUnits + 1];
    int n = bytes > MaxConvertedUnits ? 0 : MultiByteToWideChar(CP_ACP, 0, text, bytes, widened, MaxConvertedUnits);
    if (n < 0) n = 0;
    if (n > capacity - 1) {
        n = capacity - 1;
        // A surrogate pair is kept whole or not at all.
        if (n > 0 && widened[n - 1] >= 0xD800 && widened[n - 1] <= 0xDBFF) n--;
    }
    for (int i = 0; i < n; i++) out[i] = widened[i];
    out[n] = 0;
}
