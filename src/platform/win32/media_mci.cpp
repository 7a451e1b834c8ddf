// Media backend for Windows: the command strings go to MCI unchanged
// (mciSendStringW, winmm); MCI posts MM_MCINOTIFY to the window
// MainWindowHandle names when a "notify" play ends, and the window
// procedure hands its code on. Leaves out returned strings and any device
// but the one the commands name.
// MCI only lets the thread that opened a device address its alias (another
// thread gets MCIERR_INVALID_DEVICE_NAME, as Wine shows), yet the music is
// opened on a worker and looped and closed on the user-interface thread.
// So every command runs on one media thread that this file owns.
#include <windows.h>
#include <mmsystem.h>

#include <atomic>

#include "platform/media.h"
#include "platform/test_hooks.h"
#include "platform/window.h"

struct MediaRequest {
    const WideChar *command;
    HWND target;        // notification window, or none
    MCIERROR result;
};

// Everything this backend keeps. Callers on any thread hand their command
// over under requestLock and wait for requestDone; only the media thread
// calls MCI.
struct MciMediaState {
    std::atomic<int> commandsSent;  // every command ever sent, for tests
    INIT_ONCE mediaThreadOnce;      // starts the media thread on the first command
    bool mediaThreadRunning;        // set once, inside mediaThreadOnce
    HANDLE requestReady;            // auto-reset: request holds a command
    HANDLE requestDone;             // auto-reset: request.result is set
    SRWLOCK requestLock;            // one request at a time
    MediaRequest request;           // the command being carried out
};
static MciMediaState s_media = {{0}, INIT_ONCE_STATIC_INIT, false, nullptr, nullptr, SRWLOCK_INIT, {}};

// Runs each request as it comes and dispatches the thread's messages in
// between, for any hidden windows or COM calls the MCI drivers rely on.
static DWORD WINAPI MediaThread(void *) {
    for (;;) {
        DWORD woke = MsgWaitForMultipleObjects(1, &s_media.requestReady, FALSE, INFINITE, QS_ALLINPUT);
        if (woke == WAIT_OBJECT_0) {
            s_media.request.result = mciSendStringW(s_media.request.command, nullptr, 0, s_media.request.target);
            SetEvent(s_media.requestDone);
        } else if (woke == WAIT_OBJECT_0 + 1) {
            MSG message;
            while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
        } else {
            return 0;
        }
    }
}

static BOOL CALLBACK StartMediaThread(INIT_ONCE *, void *, void **) {
    s_media.requestReady = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    s_media.requestDone = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (s_media.requestReady == nullptr || s_media.requestDone == nullptr) return TRUE;
    HANDLE thread = CreateThread(nullptr, 0, MediaThread, nullptr, 0, nullptr);
    if (thread == nullptr) return TRUE;
    CloseHandle(thread);
    s_media.mediaThreadRunning = true;
    return TRUE;
}

// Waits while the media thread carries out the command. If that thread
// could not be created the command runs on the calling thread: the music
// then still opens and plays once, and the loop and close fail silently.
int SendMediaCommand(const WideChar *command, bool notify) {
    s_media.commandsSent++;
    HWND target = notify ? static_cast<HWND>(MainWindowHandle()) : nullptr;
    InitOnceExecuteOnce(&s_media.mediaThreadOnce, StartMediaThread, nullptr, nullptr);
    if (!s_media.mediaThreadRunning) return static_cast<int>(mciSendStringW(command, nullptr, 0, target));

    AcquireSRWLockExclusive(&s_media.requestLock);
    s_media.request.command = command;
    s_media.request.target = target;
    SetEvent(s_media.requestReady);
    WaitForSingleObject(s_media.requestDone, INFINITE);
    MCIERROR result = s_media.request.result;
    ReleaseSRWLockExclusive(&s_media.requestLock);
    return static_cast<int>(result);
}

int MediaCommandsSent() { return s_media.commandsSent; }
