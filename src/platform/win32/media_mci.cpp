// Media backend for Windows: the command strings go to MCI unchanged
// (mciSendStringW, winmm); MCI posts MM_MCINOTIFY to the main window when a
// "notify" play ends, and the window procedure hands its code on.
// MCI only lets the thread that opened a device address its alias (another
// thread gets MCIERR_INVALID_DEVICE_NAME, as Wine shows), yet the music is
// opened on a worker and looped and closed on the user-interface thread.
// So every command runs on one media thread that this file owns.
#include <windows.h>
#include <mmsystem.h>

#include <atomic>

#include "app/state.h"
#include "platform/media.h"

struct MediaRequest {
    const WideChar *command;
    HWND target;        // notification window, or none
    MCIERROR result;
};

static std::atomic<int> commandsSent{0};
static INIT_ONCE mediaThreadOnce = INIT_ONCE_STATIC_INIT;
static bool mediaThreadRunning;     // set once, inside mediaThreadOnce
static HANDLE requestReady;         // auto-reset: request holds a command
static HANDLE requestDone;          // auto-reset: request.result is set
static SRWLOCK requestLock = SRWLOCK_INIT;  // one request at a time
static MediaRequest request;

// Runs each request as it comes and dispatches the thread's messages in
// between, for any hidden windows or COM calls the MCI drivers rely on.
static DWORD WINAPI MediaThread(void *) {
    for (;;) {
        DWORD woke = MsgWaitForMultipleObjects(1, &requestReady, FALSE, INFINITE, QS_ALLINPUT);
        if (woke == WAIT_OBJECT_0) {
            request.result = mciSendStringW(request.command, nullptr, 0, request.target);
            SetEvent(requestDone);
        } else if (woke == WAIT_OBJECT_0 + 1) {
            MSG message;
            while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
        } else {
            return 0;
        }
    }
}

static BOOL CALLBACK StartMediaThread(INIT_ONCE *, void *, void **) {
    requestReady = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    requestDone = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (requestReady == nullptr || requestDone == nullptr) return TRUE;
    HANDLE thread = CreateThread(nullptr, 0, MediaThread, nullptr, 0, nullptr);
    if (thread == nullptr) return TRUE;
    CloseHandle(thread);
    mediaThreadRunning = true;
    return TRUE;
}

// Waits while the media thread carries out the command. If that thread
// could not be created the command runs on the calling thread: the music
// then still opens and plays once, and the loop and close fail silently.
int SendMediaCommand(const WideChar *command, bool notify) {
    commandsSent++;
    HWND target = notify ? static_cast<HWND>(g_state.mainWindow) : nullptr;
    InitOnceExecuteOnce(&mediaThreadOnce, StartMediaThread, nullptr, nullptr);
    if (!mediaThreadRunning) return static_cast<int>(mciSendStringW(command, nullptr, 0, target));

    AcquireSRWLockExclusive(&requestLock);
    request.command = command;
    request.target = target;
    SetEvent(requestReady);
    WaitForSingleObject(requestDone, INFINITE);
    MCIERROR result = request.result;
    ReleaseSRWLockExclusive(&requestLock);
    return static_cast<int>(result);
}

int MediaCommandsSent() { return commandsSent; }
