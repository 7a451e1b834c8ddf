// Code-page seam: the 8-bit form of a text for system calls that take 8-bit
// names (the status probe's host name), and back for showing it.
// Backends: win32/codepage_win32.cpp (the ANSI code page) and
// posix/codepage_posix.cpp (UTF-8).
#pragma once
#include "base/text.h"

// Converts text (up to 1024 units; a longer one gives an empty result) in
// full, then keeps the longest start that fits capacity-1 bytes without
// splitting a character, terminated. Characters the code page cannot show
// become its default character. Nothing is written when capacity is 0 or
// less.
void TextToCodePage(const WideChar *text, char *out, int capacity);
// The 8-bit text (up to 1024 bytes; a longer one gives an empty result) in
// the same code page, widened into out (capacity units, terminated; cut at
// a character boundary when it does not fit). Bytes the code page cannot
// read become U+FFFD. Nothing is written when capacity is 0 or less.
void CodePageToText(const char *text, WideChar *out, int capacity);
