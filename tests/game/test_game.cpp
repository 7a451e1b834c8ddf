// Stand-in game for the launch tests: records the folder it was started in
// and the arguments it received in "game-record.txt" in that folder (on
// Windows also its raw command line), then exits. The record is written to
// a temporary name first, so a test that sees it sees all of it.
#include <cstdio>
#include <cstring>

#ifdef _WIN32
#include <windows.h>

static void PutWide(FILE *out, const char *label, const wchar_t *text) {
    char utf8[8192];
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof utf8, nullptr, nullptr);
    fprintf(out, "%s=%s\n", label, n > 0 ? utf8 : "");
}

int wmain(int argc, wchar_t **argv) {
    FILE *out = _wfopen(L"game-record.txt.tmp", L"wb");
    if (out == nullptr) return 1;
    wchar_t folder[4096];
    GetCurrentDirectoryW(4096, folder);
    PutWide(out, "cwd", folder);
    PutWide(out, "commandline", GetCommandLineW());
    for (int i = 1; i < argc; i++) PutWide(out, "arg", argv[i]);
    fputs("end\n", out);
    fclose(out);
    return MoveFileExW(L"game-record.txt.tmp", L"game-record.txt", MOVEFILE_REPLACE_EXISTING) ? 0 : 1;
}
#else
#include <fcntl.h>
#include <unistd.h>

int main(int argc, char **argv) {
    // Descriptors beyond the standard streams must not reach the game;
    // note them before opening anything ourselves.
    int inherited[16], inheritedCount = 0;
    for (int fd = 3; fd < 1024 && inheritedCount < 16; fd++)
        if (fcntl(fd, F_GETFD) != -1) inherited[inheritedCount++] = fd;
    FILE *out = fopen("game-record.txt.tmp", "wb");
    if (out == nullptr) return 1;
    char folder[4096];
    fprintf(out, "cwd=%s\n", getcwd(folder, sizeof folder) != nullptr ? folder : "");
    for (int i = 1; i < argc; i++) fprintf(out, "arg=%s\n", argv[i]);
    for (int i = 0; i < inheritedCount; i++) fprintf(out, "inherited=%d\n", inherited[i]);
    fputs("end\n", out);
    fclose(out);
    return rename("game-record.txt.tmp", "game-record.txt") == 0 ? 0 : 1;
}
#endif
