// Window seam stand-in for the headless tools: a forced repaint "paints"
// the status text and progress to the console. Without a terminal every new
// status text becomes one line on standard output; on a terminal a live
// progress bar is redrawn on standard error instead. Linux and Windows
// (console). Leaves out everything else a window does: the tools start no
// timers, music or probes, and have no window handle.
#include <cstdio>

#include "base/state.h"
#include "platform/window.h"
#include "console_output.h"

#ifdef _WIN32
#include <io.h>
#define IsTerminal(stream) _isatty(_fileno(stream))
#else
#include <unistd.h>
#define IsTerminal(stream) isatty(fileno(stream))
#endif

bool g_consoleLive = false;

// Everything this stand-in keeps; the pass's thread only.
struct ConsoleWindowState {
    WideChar lastShown[StatusTextUnits];  // the last status text printed as a line
    bool liveLineShown;                   // the live line is on the terminal now
};
static ConsoleWindowState s_console;

bool StandardStreamsAreTerminals() { return IsTerminal(stdout) && IsTerminal(stderr); }

// A status text as UTF-8 with every control character escaped (ShownText):
// status texts carry manifest paths, which could hold escape sequences.
// A UTF-16 unit takes at most three bytes, an escape four per byte.
constexpr int ShownStatusBytes = StatusTextUnits * 3 * 4 + 1;

static const char *ShownStatus(const WideChar *text, char *out) {
    char utf8[StatusTextUnits * 3 + 1];
    TextToUtf8(text, utf8, int(sizeof utf8));
    return ShownText(utf8, out, ShownStatusBytes);
}

void PrintLine(const WideChar *text) {
    static char shown[ShownStatusBytes];
    fputs(ShownStatus(text, shown), stdout);
    fputc('\n', stdout);
    fflush(stdout);
}

void PrintErrorLine(const char *utf8Text) {
    static char shown[ShownTextBytes];
    fputs(ShownText(utf8Text, shown, ShownTextBytes), stderr);
    fputc('\n', stderr);
}

void EndLiveLine() {
    if (!s_console.liveLineShown) return;
    fprintf(stderr, "\r%79s\r", "");
    fflush(stderr);
    s_console.liveLineShown = false;
}

// "[#########.............]  45%  text", cut to one 79-column line.
static void DrawLiveLine(const WideChar *text, int progress) {
    constexpr int BarCells = 24;
    char line[80 * 4];
    int used = 0;
    if (progress >= 0) {
        int filled = progress * BarCells / 100;
        line[used++] = '[';
        for (int i = 0; i < BarCells; i++) line[used++] = i < filled ? '#' : '.';
        used += snprintf(line + used, sizeof line - size_t(used), "] %3d%%  ", progress);
    }
    static char shown[ShownStatusBytes];
    int columns = used;
    for (const char *p = ShownStatus(text, shown); *p != 0 && columns < 79; p++) {
        line[used++] = *p;
        if ((static_cast<unsigned char>(p[1]) & 0xC0) != 0x80) columns++;  // next byte starts a character
    }
    line[used] = 0;
    fprintf(stderr, "\r%s%*s", line, 79 - columns, "");
    fflush(stderr);
    s_console.liveLineShown = true;
}

void RequestRepaint() {}

void *MainWindowHandle() { return nullptr; }

void ForceRepaint() {
    WideChar text[StatusTextUnits];
    ReadStatusText(&g_state, text);
    if (g_consoleLive) {
        DrawLiveLine(text, g_state.progress);
        return;
    }
    if (TextEqual(text, s_console.lastShown)) return;
    CopyText(s_console.lastShown, StatusTextUnits, text);
    PrintLine(text);
}
