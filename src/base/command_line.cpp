// Splitting a Windows-style command line into arguments with the Microsoft
// C runtime's rules (the ones a game built for Windows applies to itself).
// Platform-neutral.
#include "base/command_line.h"

static bool IsBlank(WideChar c) { return c == ' ' || c == '\t'; }

// Output of the split: units and argument starts, with overflow tracking.
struct ArgumentWriter {
    WideChar *storage;
    int capacity;
    int used;
    const WideChar **starts;
    int count;
    bool overflow;
};

static void BeginArgument(ArgumentWriter *w) {
    if (w->count == MaxCommandArguments) { w->overflow = true; return; }
    w->starts[w->count++] = w->storage + w->used;
}

static void PutUnit(ArgumentWriter *w, WideChar c) {
    if (w->used >= w->capacity) { w->overflow = true; return; }
    w->storage[w->used++] = c;
}

static void EndArgument(ArgumentWriter *w) { PutUnit(w, 0); }

// The program name: quoted up to the next quote, or up to a blank.
static const WideChar *ReadProgramName(ArgumentWriter *w, const WideChar *p) {
    BeginArgument(w);
    if (*p == '"') {
        for (p++; *p != 0 && *p != '"'; p++) PutUnit(w, *p);
        if (*p == '"') p++;
    } else {
        for (; *p != 0 && !IsBlank(*p); p++) PutUnit(w, *p);
    }
    EndArgument(w);
    return p;
}

int SplitCommandLine(const WideChar *commandLine, WideChar *storage, int storageUnits,
                     const WideChar **argumentStarts) {
    ArgumentWriter w = {storage, storageUnits, 0, argumentStarts, 0, false};
    const WideChar *p = ReadProgramName(&w, commandLine);
    for (;;) {
        while (IsBlank(*p)) p++;
        if (*p == 0) break;
        BeginArgument(&w);
        bool quoted = false;
        for (; *p != 0 && (quoted || !IsBlank(*p));) {
            int backslashes = 0;
            while (*p == '\\') { backslashes++; p++; }
            if (*p == '"') {
                for (int i = 0; i < backslashes / 2; i++) PutUnit(&w, '\\');
                if (backslashes % 2 == 1) {
                    PutUnit(&w, '"');
                } else if (quoted && p[1] == '"') {
                    PutUnit(&w, '"');  // "" inside quotes: a literal quote, still quoted
                    p++;
                } else {
                    quoted = !quoted;
                }
                p++;
            } else {
                for (int i = 0; i < backslashes; i++) PutUnit(&w, '\\');
                if (*p != 0 && (quoted || !IsBlank(*p))) PutUnit(&w, *p++);
            }
        }
        EndArgument(&w);
    }
    return w.overflow ? -1 : w.count;
}
