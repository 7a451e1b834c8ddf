// Starting the game. The user name is written first, on every call, so it
// is remembered even when the game cannot start. A game path or command
// line too long for its buffer is refused rather than cut, since a cut path
// would name another file. Platform-neutral.
#include "services/launch.h"

#include "base/config.h"
#include "base/state.h"
#include "platform/files.h"
#include "platform/ini.h"
#include "platform/process.h"
#include "platform/window.h"

static const WideChar GameNotFoundText[] = WTEXT("Game not found - click PATCH FILES first.");
static const WideChar CouldNotStartText[] = WTEXT("Could not start the game.");

// Builds the command line and starts the game; false when it did not start.
static bool StartGame(const WideChar *gamePath) {
    WideChar commandLine[CommandLineUnits];
    bool fits = g_state.gameArgs[0] == 0
                    ? FormatText(commandLine, CommandLineUnits, WTEXT("\"%s\""), gamePath)
                    : FormatText(commandLine, CommandLineUnits, WTEXT("\"%s\" %s"), gamePath, g_state.gameArgs);
    return fits && StartProcess(gamePath, commandLine, g_state.programDir);
}

void LaunchGame() {
    WideChar configPath[ConfigPathUnits];
    BuildConfigPath(&g_state, configPath);
    WriteIniString(WTEXT("launcher"), WTEXT("User"), g_state.userName, configPath);

    const WideChar separator[2] = {PathSeparator, 0};
    WideChar gamePath[GamePathUnits];
    const WideChar *failure = nullptr;
    if (!FormatText(gamePath, GamePathUnits, WTEXT("%s%s%s"), g_state.programDir, separator, g_state.gameExe))
        failure = CouldNotStartText;
    else if (!PathExists(gamePath))
        failure = GameNotFoundText;
    else if (!StartGame(gamePath))
        failure = CouldNotStartText;

    if (failure == nullptr) {
        RequestQuit();
        return;
    }
    SetStatusText(&g_state, failure);
    g_state.progress = -1;
    ForceRepaint();
}
