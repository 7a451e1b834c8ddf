// The launcher's one process-wide state record: configuration, user-interface
// state and the results workers report. Platform-neutral.
// Fields shared with worker threads are atomics, and the status text is
// copied unit by unit through relaxed atomics: a frame painted mid-change may
// show a mix of old and new text, which the next frame corrects.
#pragma once
#include <atomic>
#include <cstdint>

#include "base/text.h"

constexpr int ProgramDirUnits = 260;
constexpr int PatchUrlUnits = 512;
constexpr int GameExeUnits = 128;
constexpr int GameArgsUnits = 128;
constexpr int ServerHostBytes = 64;
constexpr int UserNameUnits = 40;
constexpr int PasswordUnits = 40;
constexpr int StatusTextUnits = 256;
constexpr int ManifestKeyUnits = 128;  // room beyond a key line, so a longer value never reads as one

constexpr int DefaultServerPort = 6543;
constexpr int DesignWidthPx = 1280;
constexpr int DesignHeightPx = 853;

// The launcher's version, as the footer and the tools show it.
extern const WideChar LauncherVersion[];

// Defaults compiled into the program; launcher.ini normally overrides them.
extern const WideChar DefaultPatchUrl[];
extern const WideChar DefaultGameExe[];
extern const WideChar DefaultGameArgs[];
extern const WideChar DefaultServerAddress[];
// The build's manifest key (CMake's LAUNCHER_MANIFEST_KEY), "" when it has none.
extern const WideChar DefaultManifestKey[];

struct LauncherState {
    // Configuration: written once at start-up, read-only afterwards.
    WideChar programDir[ProgramDirUnits];  // folder of the executable, no trailing separator
    WideChar patchUrl[PatchUrlUnits];      // manifest URL (PatchURL)
    WideChar gameExe[GameExeUnits];        // game file name below programDir (GameExe)
    WideChar gameArgs[GameArgsUnits];      // arguments for the game (GameArgs)
    char serverHost[ServerHostBytes];      // probed host, 8-bit text (Server)
    int32_t serverPort;                    // probed TCP port (ServerPort)
    WideChar manifestKey[ManifestKeyUnits]; // minisign public key the manifest must be signed with, "" none (ManifestKey)
    int32_t maxDownloadKiBps;              // the downloads' bandwidth cap, KiB/s; 0 none (MaxDownloadKiBps)

    // User interface: written only on the user-interface thread.
    int32_t clientWidth, clientHeight;     // client area, px
    WideChar userName[UserNameUnits];      // user entry field (User)
    WideChar password[PasswordUnits];      // masked entry field, memory only
    int32_t focusField;                    // 0 none, 1 user field, 2 masked field
    int32_t hoverIndex;                    // hotspot under the mouse, -1 none
    int32_t selectedTab;                   // 0-3
    int32_t tick;                          // animation ticks, one per 45 ms
    int32_t particlesReady;                // particle array initialised

    // Shared with workers.
    std::atomic<WideChar> statusText[StatusTextUnits];  // status line; see SetStatusText
    std::atomic<int32_t> progress;       // -1 no bar, else 0-100 percent
    std::atomic<int32_t> serverState;    // -1 not probed, 0 unreachable, 1 accepts TCP
    std::atomic<int32_t> busy;           // a check/patch run is active
    std::atomic<int32_t> musicOpen;      // the music device is open
    std::atomic<int32_t> musicPlaying;   // the music was started
};

extern LauncherState g_state;

// Puts every field to its initial value (the record is also initialised so
// before the entry point runs; tests call this to start afresh).
void ResetLauncherState(LauncherState *state);

// Replaces the status text whole: at most 255 units, always terminated.
void SetStatusText(LauncherState *state, const WideChar *text);
// Copies the current status text into out (StatusTextUnits units).
void ReadStatusText(const LauncherState *state, WideChar *out);
