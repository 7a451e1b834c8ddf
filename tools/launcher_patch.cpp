// launcher-patch: the launcher's check/patch pass without a window, for
// server operators and scripts. Reads DIR/launcher.ini like the launcher,
// runs one pass and prints its status texts; the exit status says how it
// ended. Linux and Windows (console program).
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/config.h"
#include "base/state.h"
#include "console_output.h"
#include "patch/engine.h"
#include "platform/files.h"
#include "platform/test_hooks.h"

#ifdef _WIN32
#include <windows.h>
#endif

enum ExitStatus {
    ExitClean = 0,        // check: nothing differs; patch: no error
    ExitDiffers = 1,      // check: files differ; patch: errors
    ExitUnreachable = 2,  // the manifest could not be fetched
    ExitUsage = 64,       // bad arguments
};

static const char UsageText[] =
    "usage: launcher-patch check|patch [--dir DIR] [--url URL]\n"
    "\n"
    "  check       compare the game files in DIR with the patch server's manifest\n"
    "  patch       also download every file whose size differs\n"
    "  --dir DIR   the game folder holding launcher.ini (default: the current folder)\n"
    "  --url URL   manifest URL to use instead of PatchURL from launcher.ini\n"
    "  --help      show this text\n"
    "\n"
    "Exit status: 0 nothing differs (check) or no error (patch), 1 files differ (check)\n"
    "or errors (patch), 2 the patch server could not be reached, 64 bad arguments.\n";

// Another launcher or launcher-patch is working on the folder: this pass
// waits for it, and says so, since it may take a while.
static void SayWaitingForFolder() {
    fputs("launcher-patch: another pass is working on this folder; waiting for it to finish\n", stderr);
    fflush(stderr);
}

static int UsageError(const char *problem) {
    fprintf(stderr, "launcher-patch: %s\n\n%s", problem, UsageText);
    return ExitUsage;
}

// The game folder as given, without trailing separators (a lone root stays).
static bool SetProgramDir(const WideChar *dir) {
    if (!CopyText(g_state.programDir, ProgramDirUnits, dir)) return false;
    int n = TextLength(g_state.programDir);
    while (n > 1 && (g_state.programDir[n - 1] == '/' || g_state.programDir[n - 1] == '\\'))
        g_state.programDir[--n] = 0;
    return n > 0;
}

static int ToolMain(int argc, const WideChar *const *argv) {
    int mode = -1;
    const WideChar *dir = WTEXT(".");
    const WideChar *url = nullptr;
    for (int i = 1; i < argc; i++) {
        const WideChar *arg = argv[i];
        if (TextEqual(arg, WTEXT("--help")) || TextEqual(arg, WTEXT("-h"))) {
            fputs(UsageText, stdout);
            return ExitClean;
        } else if (TextEqual(arg, WTEXT("check")) && mode < 0) {
            mode = Check;
        } else if (TextEqual(arg, WTEXT("patch")) && mode < 0) {
            mode = Patch;
        } else if (TextEqual(arg, WTEXT("--dir")) && i + 1 < argc) {
            dir = argv[++i];
        } else if (TextEqual(arg, WTEXT("--url")) && i + 1 < argc) {
            url = argv[++i];
        } else {
            // Shown cut, and escaped like every other text this tool prints.
            char utf8[256], shown[256 * 4];
            TextToUtf8(arg, utf8, int(sizeof utf8));
            char problem[sizeof shown + 64];
            snprintf(problem, sizeof problem, "unexpected argument '%s'", ShownText(utf8, shown, int(sizeof shown)));
            return UsageError(problem);
        }
    }
    if (mode < 0) return UsageError("say check or patch");
    if (!SetProgramDir(dir)) return UsageError("the folder name is too long");
    if (!PathExists(g_state.programDir)) return UsageError("the folder does not exist");

    LoadConfiguration(&g_state);
    if (url != nullptr && !CopyText(g_state.patchUrl, PatchUrlUnits, url))
        return UsageError("the URL is too long");

    // Tests of stalled servers shorten the connect and idle limits (ms).
    const char *timeoutOverride = getenv("LAUNCHER_PATCH_TIMEOUT_MS");
    if (timeoutOverride != nullptr) g_httpTimeoutOverrideMs = atoi(timeoutOverride);

    g_consoleLive = StandardStreamsAreTerminals();
    PassOutcome outcome;
    PassObserver observer = {SayWaitingForFolder, nullptr, 0};
    RunManifestPassWithOutcome(mode, &outcome, &observer);
    if (g_consoleLive) {
        EndLiveLine();
        WideChar closing[StatusTextUnits];
        ReadStatusText(&g_state, closing);
        PrintLine(closing);
    }
    if (!outcome.serverReached) return ExitUnreachable;
    bool clean = mode == Check ? outcome.counters.differing == 0 : outcome.counters.errors == 0;
    return clean ? ExitClean : ExitDiffers;
}

#ifdef _WIN32
int wmain(int argc, wchar_t **argv) {
    SetConsoleOutputCP(CP_UTF8);
    return ToolMain(argc, argv);
}
#else
int main(int argc, char **argv) {
    // Arguments arrive as UTF-8; the engine works in UTF-16.
    constexpr int MaxArgs = 16, ArgUnits = 1024;
    static WideChar storage[MaxArgs][ArgUnits];
    static const WideChar *wide[MaxArgs];
    if (argc > MaxArgs) return UsageError("too many arguments");
    for (int i = 0; i < argc; i++) {
        if (!Utf8ToText(argv[i], storage[i], ArgUnits)) return UsageError("an argument is too long");
        wide[i] = storage[i];
    }
    return ToolMain(argc, wide);
}
#endif
