// Background music: candidate search, the two open attempts, and the loop
// driven by end-of-play notifications. Platform-neutral; commands go through
// the media seam (platform/media.h), existence tests through the file seam.
// Opening and the first play run on the music worker; rewinding, replaying
// and closing on the user-interface thread. Failures are silent by design.
#include "services/music.h"

#include "base/state.h"
#include "platform/files.h"
#include "platform/media.h"

// Tried in this order; the first that exists and opens is the music.
static const WideChar *const MusicCandidates[] = {
    WTEXT("music.mp3"),
    WTEXT("theme.mp3"),
    WTEXT("bgm.mp3"),
    nullptr,
};

static const WideChar TypedOpenFormat[] = WTEXT("open \"%s\" type mpegvideo alias bgm");
static const WideChar PlainOpenFormat[] = WTEXT("open \"%s\" alias bgm");
static const WideChar PlayCommand[] = WTEXT("play bgm notify");
static const WideChar RewindCommand[] = WTEXT("seek bgm to start");
static const WideChar CloseCommand[] = WTEXT("close bgm");

// Sends the open command built from format and path; true when it succeeded.
static bool SendOpen(const WideChar *format, const WideChar *path) {
    WideChar command[MediaCommandUnits];
    if (!FormatText(command, MediaCommandUnits, format, path)) return false;
    return SendMediaCommand(command, false) == 0;
}

uint32_t MusicThread(void *) {
    StartMusic();
    return 0;
}

// A candidate whose full path does not fit MusicPathUnits is skipped: a cut
// path would name a different file.
void StartMusic() {
    if (g_state.musicOpen) return;
    const WideChar separator[2] = {PathSeparator, 0};
    for (int i = 0; MusicCandidates[i] != nullptr; i++) {
        WideChar path[MusicPathUnits];
        if (!FormatText(path, MusicPathUnits, WTEXT("%s%s%s"), g_state.programDir, separator,
                        MusicCandidates[i])) {
            continue;
        }
        if (!PathExists(path)) continue;
        if (!SendOpen(TypedOpenFormat, path) && !SendOpen(PlainOpenFormat, path)) continue;

        // musicOpen before the play: its notification may arrive at once.
        g_state.musicOpen = 1;
        (void)SendMediaCommand(PlayCommand, true);
        g_state.musicPlaying = 1;
        return;
    }
}

// "play" continues from the current position, which after a normal end is
// the end of the file: hence the rewind first.
void OnMusicNotify(int code) {
    if (code != MediaNotifySuccessful || !g_state.musicOpen || !g_state.musicPlaying) return;
    (void)SendMediaCommand(RewindCommand, false);
    (void)SendMediaCommand(PlayCommand, true);
}

void CloseMusic() {
    if (g_state.musicOpen) (void)SendMediaCommand(CloseCommand, false);
}
