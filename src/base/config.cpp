// Start-up configuration: resolves the program folder and reads launcher.ini
// into the state record. Platform-neutral over the files, ini and code-page
// seams (the server name is kept in the system's 8-bit code page).
#include "base/config.h"

#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/ini.h"

static const WideChar ConfigSection[] = WTEXT("launcher");

void ProgramDirFromExecutablePath(const WideChar *exePath, WideChar *programDir) {
    WideChar copy[ProgramDirUnits];
    CopyText(copy, ProgramDirUnits, exePath);
    int n = TextLength(copy);
    int cut = 0;
    // Position 0 is never a cut point: a path whose only separator leads
    // leaves the folder empty.
    for (int i = n; i >= 1; i--) {
        if (copy[i] == PathSeparator) { cut = i; break; }
    }
    copy[cut] = 0;
    CopyText(programDir, ProgramDirUnits, copy);
}

void ResolveProgramDir(LauncherState *state) {
    WideChar exePath[ProgramDirUnits];
    int n = ExecutablePath(exePath, ProgramDirUnits);
    if (n <= 0) exePath[0] = 0;
    ProgramDirFromExecutablePath(exePath, state->programDir);
}

void BuildConfigPath(const LauncherState *state, WideChar *out) {
    const WideChar separator[2] = {PathSeparator, 0};
    FormatText(out, ConfigPathUnits, WTEXT("%s%slauncher.ini"), state->programDir, separator);
}

int32_t ServerPortFromText(const WideChar *text) {
    int32_t port = ParseIntLikeWtoi(text);
    return port < 1 ? DefaultServerPort : port;
}

void ServerHostFromText(const WideChar *text, char *serverHost) {
    TextToCodePage(text, serverHost, ServerHostBytes);
}

// Reads one key into a field whose current value is the default; the
// default is copied first so the reader never gets overlapping buffers.
static void ReadKeyIntoField(const WideChar *key, WideChar *field, int capacity, const WideChar *path) {
    WideChar defaultValue[PatchUrlUnits];
    CopyText(defaultValue, PatchUrlUnits, field);
    ReadIniString(ConfigSection, key, defaultValue, field, capacity, path);
}

void LoadConfiguration(LauncherState *state) {
    WideChar path[ConfigPathUnits];
    BuildConfigPath(state, path);

    ReadKeyIntoField(WTEXT("PatchURL"), state->patchUrl, PatchUrlUnits, path);
    ReadKeyIntoField(WTEXT("GameExe"), state->gameExe, GameExeUnits, path);
    ReadKeyIntoField(WTEXT("GameArgs"), state->gameArgs, GameArgsUnits, path);

    WideChar defaultServer[ServerUnits];
    WideChar server[ServerUnits];
    CodePageToText(state->serverHost, defaultServer, ServerUnits);
    ReadIniString(ConfigSection, WTEXT("Server"), defaultServer, server, ServerUnits, path);
    ServerHostFromText(server, state->serverHost);

    WideChar port[ServerPortUnits];
    ReadIniString(ConfigSection, WTEXT("ServerPort"), WTEXT("6543"), port, ServerPortUnits, path);
    state->serverPort = ServerPortFromText(port);

    ReadKeyIntoField(WTEXT("User"), state->userName, UserNameUnits, path);

    // The key manifests must be signed with: launcher.ini's wins over the
    // build's, but an empty value keeps the build's, so no line in the file
    // can turn a built-in key off.
    WideChar manifestKey[ManifestKeyUnits];
    ReadIniString(ConfigSection, WTEXT("ManifestKey"), WTEXT(""), manifestKey, ManifestKeyUnits, path);
    if (manifestKey[0] != 0) CopyText(state->manifestKey, ManifestKeyUnits, manifestKey);

    WideChar cap[ServerPortUnits];
    ReadIniString(ConfigSection, WTEXT("MaxDownloadKiBps"), WTEXT("0"), cap, ServerPortUnits, path);
    state->maxDownloadKiBps = DownloadCapFromText(cap);
}

int32_t DownloadCapFromText(const WideChar *text) {
    int32_t value = ParseIntLikeWtoi(text);
    return value > 0 ? value : 0;
}
