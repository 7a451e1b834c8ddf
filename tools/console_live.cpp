// launcher-patch's status on the console. Without a terminal every new
// status text becomes one line on standard output; on a terminal a live
// line is redrawn on standard error instead: the bar, the bytes done and to
// do, the rate, the time left and the current file. Linux and Windows
// (console).
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>

#include "base/state.h"
#include "patch/transfers.h"
#include "console_output.h"

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
// both draw; lock keeps their lines whole.
struct ConsoleWindowState {
    std::mutex lock;
    WideChar status[StatusTextUnits];     // the pass's status text (under lock)
    int32_t percent;                      // and its bar, -1 for none
    WideChar lastShown[StatusTextUnits];  // the last status text printed as a line
    std::atomic<bool> liveLineShown;      // the live line is on the terminal now
    bool rateStarted;                     // the rate below has a first sample
    std::chrono::steady_clock::time_point sampledAt;
    int64_t sampledBytes;
    double bytesPerSecond;                // smoothed over the last few seconds
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

void EndLiveLine() {
    std::lock_guard<std::mutex> hold(s_console.lock);
    EraseLiveLineLocked();
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

// "12.3 MiB" and the like, for the live line.
static void FormatBytes(int64_t bytes, char *out, size_t size) {
    if (bytes < 1024) snprintf(out, size, "%lld B", static_cast<long long>(bytes));
    else if (bytes < 1024 * 1024) snprintf(out, size, "%.1f KiB", double(bytes) / 1024);
    else if (bytes < 1024ll * 1024 * 1024) snprintf(out, size, "%.1f MiB", double(bytes) / (1024 * 1024));
    else snprintf(out, size, "%.2f GiB", double(bytes) / (1024.0 * 1024 * 1024));
}

// The rate from how the bytes grew since the last sample, smoothed.
static void SampleRate(int64_t bytesDone) {
    auto now = std::chrono::steady_clock::now();
    if (!s_console.rateStarted || bytesDone < s_console.sampledBytes) {
        s_console.rateStarted = true;
        s_console.sampledAt = now;
        s_console.sampledBytes = bytesDone;
        s_console.bytesPerSecond = 0;
        return;
    }
    double seconds = std::chrono::duration<double>(now - s_console.sampledAt).count();
    if (seconds < 0.2) return;
    double rate = double(bytesDone - s_console.sampledBytes) / seconds;
    s_console.bytesPerSecond = s_console.bytesPerSecond == 0 ? rate : 0.7 * s_console.bytesPerSecond + 0.3 * rate;
    s_console.sampledAt = now;
    s_console.sampledBytes = bytesDone;
}

// "[#####.....]  45%  text" with no downloads running; with them,
// "[#####.....]  45%  1.2 MiB of 9.0 MiB  2.1 MiB/s  0:04 left  path".
// Cut to one line of LiveColumns columns.
static void DrawLiveLineLocked() {
    const WideChar *text = s_console.status;
    int progress = s_console.percent;
    int64_t done = 0, toDo = 0;
    WideChar current[RelativePathUnits];
    ReadTransferProgress(&done, &toDo, current);
    SampleRate(done);

    constexpr int BarCells = 10;
    char line[LiveColumns * 4 + 1];
    int used = 0;
    if (progress >= 0) {
        int filled = progress * BarCells / 100;
        line[used++] = '[';
        for (int i = 0; i < BarCells; i++) line[used++] = i < filled ? '#' : '.';
        used += snprintf(line + used, sizeof line - size_t(used), "] %3d%%  ", progress);
    }
    if (toDo > 0) {
        char doneText[24], toDoText[24], rateText[24];
        FormatBytes(done, doneText, sizeof doneText);
        FormatBytes(toDo, toDoText, sizeof toDoText);
        FormatBytes(int64_t(s_console.bytesPerSecond), rateText, sizeof rateText);
        used += snprintf(line + used, sizeof line - size_t(used), "%s of %s  %s/s  ", doneText, toDoText, rateText);
        if (s_console.bytesPerSecond > 0 && toDo > done) {
            long long left = (long long)(double(toDo - done) / s_console.bytesPerSecond);
            used += snprintf(line + used, sizeof line - size_t(used), "%lld:%02lld left  ", left / 60, left % 60);
        }
    }
    static char shown[ShownStatusBytes];
    const char *tail = ShownStatus(toDo > 0 && current[0] != 0 ? current : text, shown);
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

void PrintClosingLine() {
    WideChar text[StatusTextUnits];
    {
        std::lock_guard<std::mutex> hold(s_console.lock);
        CopyText(text, StatusTextUnits, s_console.status);
    }
    PrintLine(text);
}
