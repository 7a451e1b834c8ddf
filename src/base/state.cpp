// The state record's single instance and its initial values.
// Platform-neutral.
#include "base/state.h"

// CMake hands every C++ source LAUNCHER_VERSION_TEXT, the version project()
// gives, as a narrow string literal.
const WideChar LauncherVersion[] = WTEXT("") LAUNCHER_VERSION_TEXT;
const WideChar DefaultPatchUrl[] = WTEXT("http://127.0.0.1/download/manifest.txt");
const WideChar DefaultGameExe[] = WTEXT("qorin.exe");
const WideChar DefaultGameArgs[] = WTEXT("Runvale");
const WideChar DefaultServerAddress[] = WTEXT("127.0.0.1");
// CMake hands this file LAUNCHER_MANIFEST_KEY as a narrow string literal;
// joined to an empty wide one it becomes a wide literal.
const WideChar DefaultManifestKey[] = WTEXT("") LAUNCHER_MANIFEST_KEY;

LauncherState g_state;

// Runs before the entry point, so the record holds its initial values from
// the first instruction of the program on.
static const bool g_stateInitialised = (ResetLauncherState(&g_state), true);

void ResetLauncherState(LauncherState *state) {
    CopyText(state->programDir, ProgramDirUnits, WTEXT(""));
    CopyText(state->patchUrl, PatchUrlUnits, DefaultPatchUrl);
    CopyText(state->gameExe, GameExeUnits, DefaultGameExe);
    CopyText(state->gameArgs, GameArgsUnits, DefaultGameArgs);
    TextToUtf8(DefaultServerAddress, state->serverHost, ServerHostBytes);
    state->serverPort = DefaultServerPort;
    CopyText(state->manifestKey, ManifestKeyUnits, DefaultManifestKey);

    state->clientWidth = DesignWidthPx;
    state->clientHeight = DesignHeightPx;
    state->userName[0] = 0;
    state->password[0] = 0;
    state->focusField = 0;
    state->hoverIndex = -1;
    state->selectedTab = 0;
    state->tick = 0;
    state->particlesReady = 0;

    for (auto &unit : state->statusText) unit.store(0, std::memory_order_relaxed);
    state->progress = -1;
    state->serverState = -1;
    state->busy = 0;
    state->musicOpen = 0;
    state->musicPlaying = 0;
}

void SetStatusText(LauncherState *state, const WideChar *text) {
    int i = 0;
    for (; i < StatusTextUnits - 1 && text[i] != 0; i++)
        state->statusText[i].store(text[i], std::memory_order_relaxed);
    state->statusText[i].store(0, std::memory_order_relaxed);
}

void ReadStatusText(const LauncherState *state, WideChar *out) {
    for (int i = 0; i < StatusTextUnits; i++) {
        out[i] = state->statusText[i].load(std::memory_order_relaxed);
        if (out[i] == 0) return;
    }
    out[StatusTextUnits - 1] = 0;
}
