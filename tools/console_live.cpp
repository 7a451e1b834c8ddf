// launcher-patch's status on the console. Without a terminal every new
// status text becomes one line on standard output; on a terminal a live
// line is redrawn on standard error instead: the bar, the bytes fetched and
// to fetch, the rate over the last seconds, the time left and the current
// file (tools/live_line.h formats the figures). Lines of results go to
// standard output, the live line erased before them and drawn again after.
// Linux and Windows (console).
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>

#include "base/state.h"
#include "console_output.h"
#include "live_line.h"
#include "patch/manifest.h"

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#define IsTerminal(stream) _isatty(_fileno(stream))
#else
#include <unistd.h>
#define IsTerminal(stream) isatty(fileno(stream))
#endif

bool g_consoleLive = false;

constexpr int LiveColumns = 79;

// Everything this stand-in keeps. The pass's thread and the tool's ticker
// both draw; lock keeps their lines whole, and guards every field but the
// flag the signal handler reads.
struct ConsoleWindowState {
    std::mutex lock;
    WideChar status[StatusTextUnits];     // the pass's status text
    int32_t percent;                      // and its bar, -1 for none
    WideChar lastShown[StatusTextUnits];  // the last status text printed as a line
    std::atomic<bool> liveLineShown;      // the live line is on the terminal now
    int64_t bytesDone;                    // fetched so far, as the pass last told
    int64_t bytesToFetch;                 // in all; 0 while nothing is to be fetched
    WideChar currentFile[RelativePathUnits];
    RateWindow rate;                      // samples of bytesDone over the last seconds
    int64_t firstToldMs;                  // when bytes to fetch were first told; -1 before
    int64_t lastGrewMs;                   // when bytesDone last grew
};
static ConsoleWindowState s_console = {{}, {}, -1, {}, {false}, 0, 0, {}, {}, -1, -1};

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
    char shown[ShownStatusBytes];
    fputs(ShownStatus(text, shown), stdout);
    fputc('\n', stdout);
    fflush(stdout);
}

static void EraseLiveLineLocked() {
    if (!s_console.liveLineShown) return;
    fprintf(stderr, "\r%*s\r", LiveColumns, "");
    fflush(stderr);
    s_console.liveLineShown = false;
}

void PrintErrorLine(const char *utf8Text) {
    static char shown[ShownTextBytes];
    std::lock_guard<std::mutex> hold(s_console.lock);
    EraseLiveLineLocked();
    fputs(ShownText(utf8Text, shown, ShownTextBytes), stderr);
    fputc('\n', stderr);
    fflush(stderr);
}

void EraseLiveLineAtOnce() {
    if (!s_console.liveLineShown) return;
    char blank[LiveColumns + 3];
    blank[0] = '\r';
    for (int i = 1; i <= LiveColumns; i++) blank[i] = ' ';
    blank[LiveColumns + 1] = '\r';
#ifdef _WIN32
    DWORD written;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), blank, LiveColumns + 2, &written, nullptr);
#else
    ssize_t ignored = write(2, blank, LiveColumns + 2);
    (void)ignored;
#endif
}

static int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The bar by entries, or once bytes are to be fetched by bytes, with the
// rate over the last seconds; over, the whole transfer's average rate.
static LiveFigures CurrentFiguresLocked(bool over) {
    LiveFigures figures = {s_console.percent, s_console.bytesDone, s_console.bytesToFetch, WindowRate(&s_console.rate),
                           over};
    if (over) {
        int64_t spanMs = s_console.lastGrewMs - s_console.firstToldMs;
        figures.rate = s_console.firstToldMs >= 0 && spanMs > 0 ? double(s_console.bytesDone) * 1000 / double(spanMs)
                                                                  : -1;
    }
    return figures;
}

// The figures, then the current download's path (or the status text),
// cut to one line of LiveColumns columns.
static void DrawLiveLineLocked(bool over = false) {
    LiveFigures figures = CurrentFiguresLocked(over);
    char line[LiveColumns * 4 + 1];
    int used = FormatLiveFigures(&figures, line, LiveColumns);
    bool fetching = figures.toFetch > 0 && s_console.currentFile[0] != 0 && !over;
    static char shown[ShownStatusBytes];
    const char *tail = over ? "" : ShownStatus(fetching ? s_console.currentFile : s_console.status, shown);
    int columns = used;
    for (const char *p = tail; *p != 0 && columns < LiveColumns && used < int(sizeof line) - 5;) {
        int length = 1;
        while ((static_cast<unsigned char>(p[length]) & 0xC0) == 0x80) length++;  // a whole character
        for (int i = 0; i < length; i++) line[used++] = p[i];
        p += length;
        columns++;
    }
    line[used] = 0;
    fprintf(stderr, "\r%s%*s", line, LiveColumns - columns, "");
    fflush(stderr);
    s_console.liveLineShown = true;
}

void RefreshLiveLine() {
    std::lock_guard<std::mutex> hold(s_console.lock);
    DrawLiveLineLocked();
}

void EndLiveLine() {
    std::lock_guard<std::mutex> hold(s_console.lock);
    if (s_console.bytesDone > 0) {
        // What was fetched, and how fast on average, stays on the screen.
        DrawLiveLineLocked(true);
        fputc('\n', stderr);
        fflush(stderr);
        s_console.liveLineShown = false;
    }
    EraseLiveLineLocked();
}

void ShowConsoleBytes(int64_t bytesDone, int64_t bytesToFetch, const WideChar *currentFile) {
    std::lock_guard<std::mutex> hold(s_console.lock);
    int64_t now = NowMs();
    if (bytesToFetch > 0 && s_console.firstToldMs < 0) s_console.firstToldMs = now;
    if (bytesDone > s_console.bytesDone) s_console.lastGrewMs = now;
    s_console.bytesDone = bytesDone;
    s_console.bytesToFetch = bytesToFetch;
    CopyText(s_console.currentFile, RelativePathUnits, currentFile);
    NoteRateSample(&s_console.rate, now, bytesDone);
}

void PrintResultLine(const char *utf8Text) {
    static char shown[ShownTextBytes];
    std::lock_guard<std::mutex> hold(s_console.lock);
    bool redraw = s_console.liveLineShown;
    EraseLiveLineLocked();
    fputs(ShownText(utf8Text, shown, ShownTextBytes), stdout);
    fputc('\n', stdout);
    fflush(stdout);
    if (redraw) DrawLiveLineLocked();
}

void ShowConsoleStatus(const WideChar *text, int32_t percent) {
    // The status line holds 255 units, as the window's does.
    WideChar line[StatusTextUnits];
    CopyText(line, StatusTextUnits, text);
    if (g_consoleLive) {
        std::lock_guard<std::mutex> hold(s_console.lock);
        CopyText(s_console.status, StatusTextUnits, line);
        s_console.percent = percent;
        DrawLiveLineLocked();
        return;
    }
    if (TextEqual(line, s_console.lastShown)) return;
    CopyText(s_console.lastShown, StatusTextUnits, line);
    PrintLine(line);
}

void PrintClosingLine(const WideChar *text) {
    WideChar line[StatusTextUnits];
    CopyText(line, StatusTextUnits, text);
    PrintLine(line);
}
