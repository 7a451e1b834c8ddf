// Process seam on POSIX: posix_spawn of the game path itself (no shell, no
// PATH search), its arguments split from the command line by the Windows
// rules so GameArgs quoting means the same everywhere, working folder set,
// the launcher's environment, and no descriptors inherited beyond 0-2.
// A Windows program (a file starting with "MZ") is started through the
// `wine` found on PATH; without one it cannot be started.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "platform/process.h"
#include "base/command_line.h"

extern char **environ;

constexpr int SplitUnits = 1024;          // every argument, in UTF-16
constexpr int ArgumentBytes = 4 * SplitUnits;  // every argument, in UTF-8
constexpr int PathBytes = 4096;

static bool IsWindowsProgram(const char *path) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char magic[2] = {0, 0};
    bool windows = read(fd, magic, 2) == 2 && magic[0] == 'M' && magic[1] == 'Z';
    close(fd);
    return windows;
}

// The first executable regular file called name in the folders of PATH.
static bool FindOnPath(const char *name, char *found, size_t capacity) {
    const char *path = getenv("PATH");
    if (path == nullptr) return false;
    for (const char *folder = path; *folder != 0;) {
        const char *end = strchr(folder, ':');
        size_t length = end != nullptr ? size_t(end - folder) : strlen(folder);
        if (length > 0 && length + 1 + strlen(name) + 1 <= capacity) {
            memcpy(found, folder, length);
            found[length] = '/';
            strcpy(found + length + 1, name);
            struct stat info;
            if (stat(found, &info) == 0 && S_ISREG(info.st_mode) && access(found, X_OK) == 0) return true;
        }
        if (end == nullptr) break;
        folder = end + 1;
    }
    return false;
}

// What follows "<programPath>" (in double quotes) at the start of
// commandLine, or nullptr when the command line does not start that way.
static const WideChar *ArgumentsAfterQuotedProgram(const WideChar *commandLine, const WideChar *programPath) {
    if (commandLine[0] != '"') return nullptr;
    int length = TextLength(programPath);
    for (int i = 0; i < length; i++)
        if (commandLine[1 + i] != programPath[i]) return nullptr;
    return commandLine[1 + length] == '"' ? commandLine + length + 2 : nullptr;
}

bool StartProcess(const WideChar *programPath, WideChar *commandLine, const WideChar *workingDir) {
    static_assert(MaxCommandArguments >= 2);
    char program[PathBytes], folder[PathBytes];
    if (!TextToUtf8(programPath, program, PathBytes) || !TextToUtf8(workingDir, folder, PathBytes)) return false;

    // The command line starts with the quoted program path, which is known
    // already and may itself hold a double quote (a legal character in a
    // Linux folder name) that would split it wrongly: only the arguments
    // after it are split, behind an empty stand-in for the program name.
    WideChar argumentText[SplitUnits];
    const WideChar *rest = ArgumentsAfterQuotedProgram(commandLine, programPath);
    if (rest == nullptr || !FormatText(argumentText, SplitUnits, WTEXT("\"\"%s"), rest)) return false;
    WideChar split[SplitUnits];
    const WideChar *arguments[MaxCommandArguments];
    int count = SplitCommandLine(argumentText, split, SplitUnits, arguments);
    if (count < 1) return false;

    // argv: the program path as given, then the split arguments after the
    // program name; for a Windows program "wine" and the path come first.
    char argumentBytes[ArgumentBytes];
    int bytesUsed = 0;
    char *argv[MaxCommandArguments + 2];
    int argc = 0;
    char wine[PathBytes];
    const char *executable = program;
    if (IsWindowsProgram(program)) {
        if (!FindOnPath("wine", wine, sizeof wine)) return false;
        executable = wine;
        argv[argc++] = const_cast<char *>("wine");
    }
    argv[argc++] = program;
    for (int i = 1; i < count; i++) {
        char *argument = argumentBytes + bytesUsed;
        if (!TextToUtf8(arguments[i], argument, ArgumentBytes - bytesUsed)) return false;
        bytesUsed += int(strlen(argument)) + 1;
        argv[argc++] = argument;
    }
    argv[argc] = nullptr;

    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0) return false;
    bool ready = posix_spawn_file_actions_addchdir_np(&actions, folder) == 0 &&
                 posix_spawn_file_actions_addclosefrom_np(&actions, 3) == 0;
    pid_t child = 0;
    bool started = ready && posix_spawn(&child, executable, &actions, nullptr, argv, environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    return started;
}
