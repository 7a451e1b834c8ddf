// Code-page seam: the 8-bit form of a text for system calls that take 8-bit
// names (the status probe's host name).
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
