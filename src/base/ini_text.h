// INI text handling for platforms without private-profile functions:
// finding one key's value and setting one key, on UTF-8 text in memory.
// Platform-neutral. Section and key names match without regard to ASCII
// case; a value is the text after the first '=' with blanks trimmed; the
// first matching section and key win.
#pragma once

// Finds section/key in text (zero-terminated). On success copies the value,
// cut to capacity-1 bytes at a character boundary, into out and returns true.
bool FindIniValue(const char *text, const char *section, const char *key, char *out, int capacity);

// Writes into out the text with section/key set to value: an existing value
// is replaced in place, a missing key is added at the end of its section, a
// missing section is added at the end of the text. Every other byte is kept.
// Returns the new length, or -1 when out (capacity bytes, terminator
// included) is too small or value holds a line break.
int SetIniValue(const char *text, const char *section, const char *key, const char *value,
                char *out, int capacity);
