// Console output of the headless tools: UTF-8 lines on standard output and
// a live progress line on standard error when that is a terminal, and the
// one rule both tools show names and status texts by, so that nothing a
// manifest or a file name holds can act on the operator's terminal.
#pragma once
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "base/text.h"

// True when the tool shows a live progress line instead of printing every
// status text; set once at start (terminal on stdout and stderr).
extern bool g_consoleLive;

bool StandardStreamsAreTerminals();
void PrintLine(const WideChar *text);        // to standard output
void PrintErrorLine(const char *utf8Text);   // to standard error, the live line kept out of its way
// A line of the pass's result (UTF-8, shown escaped) on standard output;
// on a terminal the live line is erased before it and drawn again after.
void PrintResultLine(const char *utf8Text);
// Shows a status of the pass: a line on standard output (each new text
// once), or the live line's text and bar.
void ShowConsoleStatus(const WideChar *text, int32_t percent);
// Keeps how far the fetching is for the live line: bytes fetched, bytes to
// fetch in all and the current download's manifest path; the rate is
// sampled from these reports. Any thread.
void ShowConsoleBytes(int64_t bytesDone, int64_t bytesToFetch, const WideChar *currentFile);
// Prints the closing message as a line of its own (after the live line ended).
void PrintClosingLine(const WideChar *text);
// Ends the live line: when bytes were fetched, its last state stays as a
// line (all bytes, and the average rate over the whole transfer);
// otherwise it is erased.
void EndLiveLine();
// Draws the live line anew from the status text and the fetching's bytes,
// rate and time left; the tool's ticker calls it a few times a second.
void RefreshLiveLine();
// Erases the live line from a signal or console-control handler: only
// calls that are safe there.
void EraseLiveLineAtOnce();

// Longest text (bytes, terminator included) IsExactUtf8 can confirm.
constexpr int ExactUtf8Bytes = 4096;

// Whether text is UTF-8 that the launcher decodes back to the same bytes
// (no stray, overlong or surrogate sequences). Text of ExactUtf8Bytes or
// more counts as not. Its buffers are the call's own: the tools show names
// from several threads at once (launcher-manifest's hashing threads,
// launcher-patch's downloads beside its pass).
inline bool IsExactUtf8(const char *text) {
    WideChar wide[ExactUtf8Bytes];
    char back[ExactUtf8Bytes * 3];
    return Utf8ToText(text, wide, ExactUtf8Bytes) && TextToUtf8(wide, back, int(sizeof back)) &&
           strcmp(back, text) == 0;
}

// Room for any text IsExactUtf8 can confirm once shown: an escape takes at
// most four bytes per byte of text.
constexpr int ShownTextBytes = ExactUtf8Bytes * 4 + 1;

// The bidirectional embeddings, overrides and isolates (U+202A-U+202E,
// U+2066-U+2069): a terminal that lays text out both ways shows what
// follows one of them reordered, so "evil\u202Etxt.exe" would read as
// "evilexe.txt". Their UTF-8 is E2 80 AA-AE and E2 81 A6-A9; p points at a
// whole character of exact UTF-8.
inline bool IsBidiControl(const unsigned char *p) {
    return p[0] == 0xE2 && ((p[1] == 0x80 && p[2] >= 0xAA && p[2] <= 0xAE) ||
                            (p[1] == 0x81 && p[2] >= 0xA6 && p[2] <= 0xA9));
}

// text (UTF-8) made safe to print, into out (outBytes, at least 1):
// C0 controls and DEL become \xNN and C1 controls (U+0080-U+009F) \u00NN,
// since terminals act on them (window titles, screen clears, clipboard
// writes), and the bidirectional controls \u202A and the like, since they
// make a name read as another; when the text is not exact UTF-8, every
// byte above 0x7F becomes \xNN, as a terminal in an 8-bit mode reads some
// of them as C1 controls. Text beyond out is cut before the first escape or
// character that does not fit whole. Returns out.
inline const char *ShownText(const char *text, char *out, int outBytes) {
    bool exact = IsExactUtf8(text);
    const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
    int used = 0;
    while (*p != 0) {
        char piece[8];
        int taken = 1;  // bytes of text the piece stands for
        int length;
        if (*p < 0x20 || *p == 0x7F || (!exact && *p > 0x7F)) {
            length = snprintf(piece, sizeof piece, "\\x%02X", *p);
        } else if (*p == 0xC2 && p[1] >= 0x80 && p[1] <= 0x9F) {
            length = snprintf(piece, sizeof piece, "\\u%04X", p[1]);
            taken = 2;
        } else if (IsBidiControl(p)) {
            length = snprintf(piece, sizeof piece, "\\u%04X", 0x2000 | ((p[1] & 0x3F) << 6) | (p[2] & 0x3F));
            taken = 3;
        } else {
            // A whole character; the text is exact UTF-8 when a byte is above 0x7F.
            taken = *p < 0x80 ? 1 : *p < 0xE0 ? 2 : *p < 0xF0 ? 3 : 4;
            memcpy(piece, p, size_t(taken));
            length = taken;
        }
        if (used + length >= outBytes) break;
        memcpy(out + used, piece, size_t(length));
        used += length;
        p += taken;
    }
    out[used] = 0;
    return out;
}
