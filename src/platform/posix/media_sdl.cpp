// Media backend for Linux: a small interpreter of the music's MCI command
// strings over SDL2_mixer. It knows one device, the alias "bgm":
//   open "<path>" type mpegvideo alias bgm   (decoded as MP3)
//   open "<path>" alias bgm                  (decoder chosen by the file)
//   play bgm [notify]    seek bgm to start    close bgm
// Anything else fails. The audio device is opened on the first open and
// stays open for the process; without one every open fails. Leaves out
// positions other than start and end, pause, volume and status queries.
#include <SDL.h>
#include <SDL_mixer.h>

#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/media.h"
#include "platform/test_hooks.h"
#include "platform/window.h"

// Results, in MCI's numbering so both backends fail alike.
constexpr int UnrecognizedCommand = 261;  // MCIERR_UNRECOGNIZED_COMMAND
constexpr int DeviceNotOpen = 263;        // MCIERR_INVALID_DEVICE_NAME
constexpr int NoAudioDevice = 266;        // MCIERR_CANNOT_LOAD_DRIVER
constexpr int AliasInUse = 289;           // MCIERR_DUPLICATE_ALIAS
constexpr int CannotDecode = 296;         // MCIERR_INVALID_FILE
constexpr int CannotPlay = 278;           // MCIERR_DRIVER

// End-of-play codes, as MCI's MM_MCINOTIFY carries them.
constexpr int NotifySuccessful = 1;
constexpr int NotifySuperseded = 2;
constexpr int NotifyAborted = 4;

constexpr int OutputRateHz = 44100;
constexpr int OutputChannels = 2;
constexpr int OutputChunkFrames = 2048;
constexpr int CommandBytes = 1200;  // a 394-unit command in UTF-8, with room

enum CommandKind { UnknownCommand, OpenTyped, OpenPlain, Play, PlayNotify, Rewind, Close };

struct FixedCommand {
    const char *text;
    CommandKind kind;
};

static const FixedCommand FixedCommands[] = {
    {"play bgm", Play},
    {"play bgm notify", PlayNotify},
    {"seek bgm to start", Rewind},
    {"close bgm", Close},
};

static const char OpenPrefix[] = "open \"";
static const char TypedOpenSuffix[] = "\" type mpegvideo alias bgm";
static const char PlainOpenSuffix[] = "\" alias bgm";

// Everything this backend keeps. Commands come from the music worker and
// the user-interface thread and hold commandLock. The atomics are shared
// with the finished hook, which runs on SDL's audio thread (or inside
// Mix_HaltMusic) and must not take commandLock: a command holding it may be
// waiting for the audio thread.
struct SdlMediaState {
    std::mutex commandLock;
    bool audioTried;                 // the first open tried to start audio
    bool audioReady;                 // ... and it worked
    Mix_Music *music;                // the open "bgm", or none
    std::atomic<int> pendingNotify;  // a "notify" play awaits its end
    std::atomic<bool> atEnd;         // the position is the end of the file
    std::atomic<int> commandsSent;   // every command ever sent, for tests
};
static SdlMediaState s_media;

// Mixer's finished hook: a natural end, or a halt we ordered. A halt is told
// apart because every command takes pendingNotify before halting, so the
// hook finds nothing to report then; after a natural end it takes it itself.
// Exactly one of the two wins the exchange. Only posts; never calls the core.
static void SDLCALL MusicFinished() {
    s_media.atEnd = true;
    if (s_media.pendingNotify.exchange(0) != 0) PostMediaNotification(NotifySuccessful);
}

// ALSA writes a line to stderr for every step of a failed device open, about
// eight for a machine without a sound card. SDL loads the library itself;
// loading it first (the same copy, by reference count) lets its messages be
// silenced, and the one line below says what they meant.
typedef void (*AlsaErrorHandler)(const char *file, int line, const char *function, int error, const char *format,
                                 ...);
static void SilentAlsaError(const char *, int, const char *, int, const char *, ...) {}

static void SilenceAlsaMessages() {
    void *alsa = dlopen("libasound.so.2", RTLD_NOW | RTLD_LOCAL);
    if (alsa == nullptr) return;  // no ALSA: SDL will not use it either (kept loaded otherwise)
    typedef int (*SetHandler)(AlsaErrorHandler);
    SetHandler setHandler = reinterpret_cast<SetHandler>(dlsym(alsa, "snd_lib_error_set_handler"));
    if (setHandler != nullptr) setHandler(SilentAlsaError);
}

// The one line a player sees when there is no sound.
static void ReportNoAudio() {
    fprintf(stderr, "launcher: no sound device could be opened, so the music is off (%s)\n", SDL_GetError());
}

// Starts SDL audio and the mixer once per process. False, for good, when
// there is no usable audio device. Runs on the music worker, after the
// window has initialised SDL's video on the user-interface thread.
static bool EnsureAudio() {
    if (s_media.audioTried) return s_media.audioReady;
    s_media.audioTried = true;
    SilenceAlsaMessages();
    if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) {
        ReportNoAudio();
        return false;
    }
    (void)Mix_Init(MIX_INIT_MP3);  // a missing decoder shows as failed opens
    if (Mix_OpenAudio(OutputRateHz, AUDIO_S16SYS, OutputChannels, OutputChunkFrames) != 0) {
        ReportNoAudio();
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
        return false;
    }
    Mix_HookMusicFinished(MusicFinished);
    s_media.audioReady = true;
    return true;
}

// Classifies text; for an open, path receives the quoted path.
static CommandKind ParseCommand(const char *text, char *path, int pathBytes) {
    for (const FixedCommand &fixed : FixedCommands) {
        if (std::strcmp(text, fixed.text) == 0) return fixed.kind;
    }
    int length = int(std::strlen(text));
    int prefixLength = int(sizeof OpenPrefix) - 1;
    if (std::strncmp(text, OpenPrefix, size_t(prefixLength)) != 0) return UnknownCommand;
    const char *suffixes[2] = {TypedOpenSuffix, PlainOpenSuffix};
    const CommandKind kinds[2] = {OpenTyped, OpenPlain};
    for (int i = 0; i < 2; i++) {
        int suffixLength = int(std::strlen(suffixes[i]));
        int pathLength = length - prefixLength - suffixLength;
        if (pathLength < 1 || pathLength >= pathBytes) continue;
        if (std::strcmp(text + length - suffixLength, suffixes[i]) != 0) continue;
        std::memcpy(path, text + prefixLength, size_t(pathLength));
        path[pathLength] = 0;
        return kinds[i];
    }
    return UnknownCommand;
}

static int OpenMusic(CommandKind kind, const char *path) {
    if (s_media.music != nullptr) return AliasInUse;
    if (!EnsureAudio()) return NoAudioDevice;
    if (kind == OpenTyped) {
        s_media.music = Mix_LoadMUSType_RW(SDL_RWFromFile(path, "rb"), MUS_MP3, SDL_TRUE);
    } else {
        s_media.music = Mix_LoadMUS(path);
    }
    if (s_media.music == nullptr) return CannotDecode;
    s_media.atEnd = false;
    return 0;
}

// Plays from the current position: from the start after an open or a
// rewind, nothing at all from the end (the play then ends at once, as
// MCI's does). A notify play supersedes one still pending.
static int PlayMusic(bool notify) {
    if (s_media.pendingNotify.exchange(0) != 0) PostMediaNotification(NotifySuperseded);
    if (Mix_PlayingMusic()) {
        if (!notify) return 0;
        s_media.pendingNotify = 1;
        // The music may have ended before pendingNotify was set; the hook
        // then had nothing to report, so the end is reported here.
        if (!Mix_PlayingMusic() && s_media.pendingNotify.exchange(0) != 0) {
            PostMediaNotification(NotifySuccessful);
        }
        return 0;
    }
    if (s_media.atEnd) {
        if (notify) PostMediaNotification(NotifySuccessful);
        return 0;
    }
    if (notify) s_media.pendingNotify = 1;
    if (Mix_PlayMusic(s_media.music, 0) != 0) {
        s_media.pendingNotify = 0;
        return CannotPlay;
    }
    return 0;
}

// Stops whatever plays; a pending notify play ends as aborted.
static void HaltMusic() {
    if (s_media.pendingNotify.exchange(0) != 0) PostMediaNotification(NotifyAborted);
    Mix_HaltMusic();
}

static int RunCommand(const WideChar *command, bool notify) {
    char text[CommandBytes];
    char path[CommandBytes];
    if (!TextToUtf8(command, text, CommandBytes)) return UnrecognizedCommand;
    CommandKind kind = ParseCommand(text, path, CommandBytes);
    if (kind == UnknownCommand) return UnrecognizedCommand;

    std::lock_guard<std::mutex> hold(s_media.commandLock);
    if (kind == OpenTyped || kind == OpenPlain) return OpenMusic(kind, path);
    if (s_media.music == nullptr) return DeviceNotOpen;
    switch (kind) {
    case Play:
    case PlayNotify:
        // The notification goes to the main window: none without a target.
        return PlayMusic(kind == PlayNotify && notify);
    case Rewind:
        HaltMusic();
        s_media.atEnd = false;
        return 0;
    case Close:
        HaltMusic();
        Mix_FreeMusic(s_media.music);
        s_media.music = nullptr;
        s_media.atEnd = false;
        return 0;
    default:
        return UnrecognizedCommand;
    }
}

int SendMediaCommand(const WideChar *command, bool notify) {
    s_media.commandsSent++;
    int result = RunCommand(command, notify);
    // SDL keeps per-thread data (its error text) for every thread that calls
    // it, but frees it only for threads it created. The music worker is not
    // one of them and ends soon, so its data goes after each command; the
    // main (user-interface) thread keeps its own.
    if (gettid() != getpid()) SDL_TLSCleanup();
    return result;
}

int MediaCommandsSent() { return s_media.commandsSent; }
