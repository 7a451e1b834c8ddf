// launcher-patch: the launcher's check/patch pass without a window, for
// server operators and scripts. Reads DIR/launcher.ini like the launcher,
// runs one pass and prints its status texts (a live line on a terminal),
// names every file check finds different with why on standard output and
// every failed file with the reason on standard error, and says by its exit
// status how the pass ended. Ctrl+C ends it at once; what a download kept
// is resumed by the next run. Linux and Windows (console program).
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "base/config.h"
#include "base/state.h"
#include "console_output.h"
#include "patch/download.h"
#include "patch/engine.h"
#include "patch/manifest_signature.h"
#include "patch/transfers.h"
#include "platform/files.h"
#include "platform/test_hooks.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#include <unistd.h>
#endif

enum ExitStatus {
    ExitClean = 0,        // check: nothing differs; patch: no error
    ExitDiffers = 1,      // check: files differ; patch: errors
    ExitUnreachable = 2,  // the manifest could not be fetched
    ExitUsage = 64,       // bad arguments
};

static const char UsageText[] =
    "usage: launcher-patch check|patch [--dir DIR] [--url URL] [--jobs N] [--limit-rate N]\n"
    "                                  [--verify]\n"
    "\n"
    "  check       compare the game files in DIR with the patch server's manifest\n"
    "              and name each file that differs, with why\n"
    "  patch       also bring every differing file into place: download it, or\n"
    "              remove a regular file the manifest lists with size -1\n"
    "  --dir DIR   the game folder holding launcher.ini (default: the current folder)\n"
    "  --url URL   manifest URL to use instead of PatchURL from launcher.ini\n"
    "  --jobs N    downloads at once, 1 to 16 (default: 8)\n"
    "  --limit-rate N\n"
    "              the bandwidth all downloads share, in KiB/s (0: no cap; default:\n"
    "              MaxDownloadKiBps from launcher.ini, else none)\n"
    "  --verify    also hash every file of the right size whose manifest line gives\n"
    "              its SHA-256 (#sha256=...): check counts one that differs, patch\n"
    "              downloads it again\n"
    "  --version   show the version\n"
    "  --help      show this text\n"
    "Options take their value as the next argument or after '=' (--dir=DIR).\n"
    "\n"
    "Every file that fails is named on standard error with the reason. A download\n"
    "of a file of 256 KiB or more that stops (a broken connection, Ctrl+C) is kept\n"
    "and resumed by the next run when the server names the file's version (ETag or\n"
    "Last-Modified); smaller files start over.\n"
    "\n"
    "Exit status: 0 nothing differs (check) or no error (patch), 1 files differ (check)\n"
    "or errors (patch), 2 the patch server could not be reached (or, with a ManifestKey,\n"
    "the manifest's signature did not verify, or the manifest is older than one already\n"
    "applied, or past its expires:), 64 bad arguments, 130 interrupted.\n";

constexpr int ExitInterrupted = 130;      // as a shell reports a run ended by Ctrl+C
constexpr int LiveLineTickMs = 250;       // the live line's redraws between status changes

// Another launcher or launcher-patch is working on the folder: this pass
// waits for it, and says so, since it may take a while.
static void SayWaitingForFolder(void *) {
    PrintErrorLine("launcher-patch: another pass is working on this folder; waiting for it to finish");
}

// The closing message, kept back until the pass ends: it is the one status
// without a bar (-1), and check words its own.
static WideChar s_closing[StatusTextUnits];

static void ShowStatus(void *, const WideChar *text, int32_t percent) {
    if (percent < 0) CopyText(s_closing, StatusTextUnits, text);
    else ShowConsoleStatus(text, percent);
}

static void ShowBytes(void *, int64_t bytesDone, int64_t bytesToFetch, const WideChar *currentFile) {
    ShowConsoleBytes(bytesDone, bytesToFetch, currentFile);
}

// A line about one file: prefix, its manifest path, ": " and words, handed
// to print.
static void SayAboutFile(void (*print)(const char *), const char *prefix, const WideChar *relativePath,
                         const char *words) {
    char path[RelativePathUnits * 3 + 1];
    TextToUtf8(relativePath, path, int(sizeof path));
    char line[sizeof path + ReasonBytes + 32];
    snprintf(line, sizeof line, "%s%s: %s", prefix, path, words);
    print(line);
}

// One line per file check finds different, in manifest order, on standard
// output with the status lines (it is the check's result): "path: why".
static void SayEntryDiffers(void *, const WideChar *relativePath, const char *why) {
    SayAboutFile(PrintResultLine, "", relativePath, why);
}

// One line per failed file on standard error: its manifest path and why.
static void SayFileFailed(void *, const WideChar *relativePath, const char *reason) {
    SayAboutFile(PrintErrorLine, "launcher-patch: ", relativePath, reason);
}

// The manifest could not be used: the pass ends as unreachable, and this
// says why.
static void SayManifestUnusable(void *, bool bySignature, const char *reason) {
    char line[SignatureReasonBytes + 64];
    snprintf(line, sizeof line, "launcher-patch: manifest%s: %s", bySignature ? " signature refused" : "", reason);
    PrintErrorLine(line);
}

static int UsageError(const char *problem) {
    fprintf(stderr, "launcher-patch: %s\n\n%s", problem, UsageText);
    return ExitUsage;
}

// Ctrl+C (or a console close): the live line is erased, partial downloads
// stay where they are for the next run, and the process ends at once. Only
// those with a resume record go on where they stopped (download.cpp).
static_assert(ResumableBytes == 256 * 1024, "the interrupted and usage texts name the size kept parts start at");
static const char InterruptedText[] =
    "\nlauncher-patch: interrupted; partial downloads of files of 256 KiB or more are kept for the next run"
    " (when the server named the file's version), smaller ones start over\n";

#ifdef _WIN32
static BOOL WINAPI ConsoleControl(DWORD) {
    EraseLiveLineAtOnce();
    DWORD written;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), InterruptedText, DWORD(sizeof InterruptedText - 1), &written, nullptr);
    ExitProcess(ExitInterrupted);
}

static void HandleInterrupts() { SetConsoleCtrlHandler(ConsoleControl, TRUE); }
#else
static void Interrupted(int) {
    EraseLiveLineAtOnce();
    ssize_t ignored = write(2, InterruptedText, sizeof InterruptedText - 1);
    (void)ignored;
    _exit(ExitInterrupted);
}

static void HandleInterrupts() {
    struct sigaction action = {};
    action.sa_handler = Interrupted;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
}
#endif

// The value of option name at argv[*i]: after '=' in the same argument, or
// the next argument. nullptr when arg is not that option; *missing is set
// when it is, but has no value.
static const WideChar *OptionValue(const WideChar *const *argv, int argc, int *i, const WideChar *name,
                                   bool *missing) {
    const WideChar *arg = argv[*i];
    int length = TextLength(name);
    for (int k = 0; k < length; k++)
        if (arg[k] != name[k]) return nullptr;
    if (arg[length] == '=') {
        if (arg[length + 1] == 0) *missing = true;
        return arg + length + 1;
    }
    if (arg[length] != 0) return nullptr;
    if (*i + 1 >= argc) {
        *missing = true;
        return arg + length;
    }
    return argv[++*i];
}

// The tool's configuration: launcher.ini of the game folder, as the
// launcher reads it.
static LauncherState s_config;

// The game folder as given, without trailing separators (a lone root stays).
static bool SetProgramDir(const WideChar *dir) {
    if (!CopyText(s_config.programDir, ProgramDirUnits, dir)) return false;
    int n = TextLength(s_config.programDir);
    while (n > 1 && (s_config.programDir[n - 1] == '/' || s_config.programDir[n - 1] == '\\'))
        s_config.programDir[--n] = 0;
    return n > 0;
}

// Without launcher.ini (and without --url) the pass asks the built-in
// PatchURL, which is rarely what an operator meant: say so.
static void NoteMissingConfiguration(const WideChar *dir) {
    WideChar ini[ProgramDirUnits + 16];
    const WideChar separator[2] = {PathSeparator, 0};
    if (!FormatText(ini, ProgramDirUnits + 16, WTEXT("%s%s%s"), s_config.programDir, separator, WTEXT("launcher.ini")) ||
        PathExists(ini))
        return;
    char folder[ProgramDirUnits * 3 + 1];
    TextToUtf8(dir, folder, int(sizeof folder));
    char line[sizeof folder + 64];
    snprintf(line, sizeof line, "launcher-patch: no launcher.ini in %s, using the built-in PatchURL", folder);
    PrintErrorLine(line);
}

constexpr int32_t MaxLimitRateKiBps = 4 << 20;  // 4 GiB/s

static bool IsDigitsOnly(const WideChar *value) {
    bool digits = *value != 0;
    for (const WideChar *p = value; *p != 0; p++) digits = digits && *p >= '0' && *p <= '9';
    return digits;
}

// What the command line asks for.
struct ToolOptions {
    int mode;                // Check, Patch, or -1 when not said
    int jobs;                // 0 for the default
    int32_t limitRate;       // KiB/s, 0 no cap; -1 when not said (launcher.ini's MaxDownloadKiBps)
    bool verify;
    const WideChar *dir;     // the game folder as given
    const WideChar *url;     // --url, or nullptr for launcher.ini's PatchURL
};

// Reads the command line into *options. -1 when the pass may run,
// otherwise the exit status (after --help, --version or a usage error).
static int ParseArguments(int argc, const WideChar *const *argv, ToolOptions *options) {
    *options = ToolOptions{-1, 0, -1, false, WTEXT("."), nullptr};
    for (int i = 1; i < argc; i++) {
        const WideChar *arg = argv[i];
        bool missing = false;
        const WideChar *value;
        if (TextEqual(arg, WTEXT("--help")) || TextEqual(arg, WTEXT("-h"))) {
            fputs(UsageText, stdout);
            return ExitClean;
        } else if (TextEqual(arg, WTEXT("--version"))) {
            char version[16];
            TextToUtf8(LauncherVersion, version, int(sizeof version));
            printf("launcher-patch %s\n", version);
            return ExitClean;
        } else if (TextEqual(arg, WTEXT("check")) && options->mode < 0) {
            options->mode = Check;
        } else if (TextEqual(arg, WTEXT("patch")) && options->mode < 0) {
            options->mode = Patch;
        } else if (TextEqual(arg, WTEXT("--verify"))) {
            options->verify = true;
        } else if ((value = OptionValue(argv, argc, &i, WTEXT("--dir"), &missing)) != nullptr) {
            if (missing) return UsageError("option --dir needs a value (a folder)");
            options->dir = value;
        } else if ((value = OptionValue(argv, argc, &i, WTEXT("--url"), &missing)) != nullptr) {
            if (missing) return UsageError("option --url needs a value (a URL)");
            options->url = value;
        } else if ((value = OptionValue(argv, argc, &i, WTEXT("--jobs"), &missing)) != nullptr) {
            if (missing) return UsageError("option --jobs needs a value (a number from 1 to 16)");
            options->jobs = ParseIntLikeWtoi(value);
            if (!IsDigitsOnly(value) || options->jobs < 1 || options->jobs > MaxTransferJobs)
                return UsageError("option --jobs takes a number from 1 to 16");
        } else if ((value = OptionValue(argv, argc, &i, WTEXT("--limit-rate"), &missing)) != nullptr) {
            if (missing) return UsageError("option --limit-rate needs a value (KiB/s, 0 for no cap)");
            if (!IsDigitsOnly(value) || TextLength(value) > 7 || ParseIntLikeWtoi(value) > MaxLimitRateKiBps)
                return UsageError("option --limit-rate takes KiB/s, a number from 0 (no cap) to 4194304");
            options->limitRate = ParseIntLikeWtoi(value);
        } else {
            // Shown cut, and escaped like every other text this tool prints.
            char utf8[256], shown[256 * 4];
            TextToUtf8(arg, utf8, int(sizeof utf8));
            char problem[sizeof shown + 64];
            snprintf(problem, sizeof problem, "unexpected argument '%s'", ShownText(utf8, shown, int(sizeof shown)));
            return UsageError(problem);
        }
    }
    return options->mode < 0 ? UsageError("say check or patch") : -1;
}

// The closing message on its own line. The window asks a player to click;
// here, check says which command brings the files into line.
static void SayClosing(int mode, const PassOutcome *outcome) {
    WideChar text[StatusTextUnits];
    if (!outcome->serverReached || mode != Check || outcome->counters.differing == 0 ||
        !FormatText(text, StatusTextUnits, WTEXT("%d file(s) differ - run launcher-patch patch."),
                    int(outcome->counters.differing)))
        CopyText(text, StatusTextUnits, s_closing);
    PrintClosingLine(text);
}

// Runs the pass with a live line on a terminal; the exit status.
static int RunPass(const ToolOptions *options) {
    HandleInterrupts();
    g_consoleLive = StandardStreamsAreTerminals();
    PassOutcome outcome;
    // The bytes to fetch are learnt first only for the live line to show.
    int32_t cap = options->limitRate >= 0 ? options->limitRate : s_config.maxDownloadKiBps;
    PassSettings settings = {s_config.programDir, s_config.patchUrl, s_config.manifestKey, options->mode,
                             options->jobs,       options->verify,   g_consoleLive,         cap};
    PassReports reports = {nullptr,        ShowStatus, SayWaitingForFolder, SayFileFailed, SayManifestUnusable,
                           options->mode == Check ? SayEntryDiffers : nullptr, ShowBytes};
    std::atomic<bool> passOver{false};
    std::thread ticker;
    if (g_consoleLive) {
        ticker = std::thread([&passOver] {
            while (!passOver) {
                std::this_thread::sleep_for(std::chrono::milliseconds(LiveLineTickMs));
                if (!passOver) RefreshLiveLine();
            }
        });
    }
    RunManifestPass(&settings, &reports, &outcome);
    passOver = true;
    if (ticker.joinable()) ticker.join();
    if (g_consoleLive) EndLiveLine();
    SayClosing(options->mode, &outcome);
    if (!outcome.serverReached) return ExitUnreachable;
    bool clean = options->mode == Check ? outcome.counters.differing == 0 : outcome.counters.errors == 0;
    return clean ? ExitClean : ExitDiffers;
}

static int ToolMain(int argc, const WideChar *const *argv) {
    RemoveSetAsideProgram();  // what updating this program set aside
    ToolOptions options;
    int parsed = ParseArguments(argc, argv, &options);
    if (parsed >= 0) return parsed;
    if (!SetProgramDir(options.dir)) return UsageError("the folder name is too long");
    if (!PathExists(s_config.programDir)) {
        // One line: the command was right but for the folder's name.
        char folder[ProgramDirUnits * 3 + 1], shown[ShownTextBytes], line[ShownTextBytes + 40];
        TextToUtf8(options.dir, folder, int(sizeof folder));
        snprintf(line, sizeof line, "launcher-patch: no such folder: %s", ShownText(folder, shown, int(sizeof shown)));
        PrintErrorLine(line);
        return ExitUsage;
    }

    LoadConfiguration(&s_config);
    if (options.url != nullptr && !CopyText(s_config.patchUrl, PatchUrlUnits, options.url))
        return UsageError("the URL is too long");
    if (options.url == nullptr) NoteMissingConfiguration(options.dir);

    // Tests of stalled or failing servers shorten the connect and no-data
    // limits and the waits between attempts (ms).
    const char *timeoutOverride = getenv("LAUNCHER_PATCH_TIMEOUT_MS");
    if (timeoutOverride != nullptr) g_httpTimeoutOverrideMs = atoi(timeoutOverride);
    const char *backOffOverride = getenv("LAUNCHER_PATCH_BACKOFF_MS");
    if (backOffOverride != nullptr) g_retryBackOffOverrideMs = atoi(backOffOverride);
    return RunPass(&options);
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
