// UTF-16 text in fixed buffers: the one code-unit type, bounded copy and
// formatting, UTF-8 conversion, and the C runtime's number parsing rules.
// Platform-neutral; wchar_t on Windows (16 bits there), char16_t elsewhere.
// Every function that writes a buffer always terminates it and reports
// whether the whole text fitted.
#pragma once
#include <cstddef>
#include <cstdint>

#ifdef _WIN32
typedef wchar_t WideChar;
#define WTEXT(s) L##s
#else
typedef char16_t WideChar;
#define WTEXT(s) u##s
#endif

// Separator of the paths this platform's file system takes.
#ifdef _WIN32
constexpr WideChar PathSeparator = L'\\';
constexpr WideChar ForeignSeparator = L'/';
#else
constexpr WideChar PathSeparator = u'/';
constexpr WideChar ForeignSeparator = u'\\';
#endif

int TextLength(const WideChar *text);
bool TextEqual(const WideChar *a, const WideChar *b);
// ASCII letters compare without regard to case; other units exactly.
bool TextEqualNoCase(const WideChar *a, const WideChar *b);
bool TextStartsWithNoCase(const WideChar *text, const WideChar *prefix);

// Copies at most capacity-1 units and terminates. Returns false when the
// source was cut.
bool CopyText(WideChar *dest, int capacity, const WideChar *source);

// wsprintf-like formatting of the few forms the launcher uses:
//   %s  wide text (const WideChar *)     %S  8-bit text (const char *)
//   %d  int                              %%  a percent sign
// Output is bounded by capacity and terminated; false when it was cut.
bool FormatText(WideChar *dest, int capacity, const WideChar *format, ...);

// UTF-8 (zero-terminated) to UTF-16. Malformed bytes become U+FFFD and the
// conversion goes on. Returns false when the result (terminator included)
// did not fit; dest then holds the part that did.
bool Utf8ToText(const char *source, WideChar *dest, int capacity);
// UTF-16 to UTF-8, never splitting a character; unpaired surrogates become
// U+FFFD. False when cut.
bool TextToUtf8(const WideChar *source, char *dest, int capacity);

// _wtoi: leading white space, optional sign, decimal digits up to the first
// other unit; no digits give 0; out-of-range values saturate.
int32_t ParseIntLikeWtoi(const WideChar *text);
// _atoi64 over 8-bit text, same rules, 64-bit result.
int64_t ParseInt64LikeAtoi64(const char *text);

// 64-bit FNV-1a over the first units UTF-16 units of text (low byte, then
// high byte of each), the same on every platform: names of temporaries and
// locks are made from it.
uint64_t HashTextUnits(const WideChar *text, int units);
