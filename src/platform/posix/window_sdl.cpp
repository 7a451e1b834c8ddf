// The launcher window on Linux: the window seam over SDL2 (video, timers,
// events, cursors, message box, URLs).
// Implemented:
//  [X] one fixed-size window titled "Zenthara Online", sized and placed by
//      the shared rule, with icon.bmp from the program folder as its icon
//  [X] an event loop whose cases only forward to the input handlers
//  [X] timers, repaint requests from workers and the music's end-of-play
//      notification as user events, so every handler runs on this thread
//  [X] forced repaints from workers that wait (at most 250 ms) for the paint
//  [X] Tab, Enter and Backspace from key events, other typing from SDL text
//      input as UTF-16 units
//  [X] frames from the software canvas through one streaming texture
// Leaves out: a native window handle (MainWindowHandle is nullptr: no other
// backend here needs one), resizing, and drawing of its own.
#include <SDL2/SDL.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>

#include "app/input.h"
#include "base/state.h"
#include "platform/window.h"
#include "render/canvas_soft.h"
#include "render/layout.h"

// User events, told apart by their code.
enum UserEventCode { EventTimer = 1, EventRepaint, EventMedia, EventClose };

constexpr int ForcedPaintWaitMs = 250;  // a worker never waits longer for a paint
constexpr int MaxTimers = 4;

// Everything this backend keeps. Fields without a note belong to the
// event-loop thread; the paint bookkeeping is shared with workers.
struct SdlWindowState {
    SDL_Window *window;
    SDL_Renderer *renderer;
    SDL_Texture *texture;              // the presented frame, textureWidth x textureHeight px
    int textureWidth, textureHeight;
    Uint32 userEventType;              // our one registered event type; the code tells them apart
    SDL_threadID interfaceThread;      // the event loop's thread
    SDL_TimerID timers[MaxTimers];     // by timer id; 0 when not running
    SDL_Cursor *cursors[3];            // by CursorShape
    bool quitRequested;                // the loop ends before the next event

    std::atomic<bool> repaintPending;  // a repaint event is queued (any thread)
    // Forced repaints from workers wait until a paint has followed their
    // request; both counters are guarded by paintLock.
    std::mutex paintLock;
    std::condition_variable paintDone;
    uint64_t paintsRequested, paintsDone;
};
static SdlWindowState s_window;

static void PushUserEvent(int code, int value) {
    SDL_Event event;
    SDL_zero(event);
    event.type = s_window.userEventType;
    event.user.code = code;
    event.user.data1 = reinterpret_cast<void *>(intptr_t(value));
    SDL_PushEvent(&event);
}

static void Paint() {
    {
        std::lock_guard<std::mutex> hold(s_window.paintLock);
        s_window.paintsRequested++;
    }
    s_window.repaintPending = false;
    OnPaint();
    int width, height;
    const uint32_t *pixels = PresentedPixels(&width, &height);
    if (s_window.texture == nullptr || width != s_window.textureWidth || height != s_window.textureHeight) {
        if (s_window.texture != nullptr) SDL_DestroyTexture(s_window.texture);
        s_window.texture =
            SDL_CreateTexture(s_window.renderer, SDL_PIXELFORMAT_RGB888, SDL_TEXTUREACCESS_STREAMING, width, height);
        s_window.textureWidth = width;
        s_window.textureHeight = height;
    }
    SDL_UpdateTexture(s_window.texture, nullptr, pixels, width * 4);
    SDL_RenderCopy(s_window.renderer, s_window.texture, nullptr, nullptr);
    SDL_RenderPresent(s_window.renderer);
    std::lock_guard<std::mutex> hold(s_window.paintLock);
    s_window.paintsDone = s_window.paintsRequested;
    s_window.paintDone.notify_all();
}

static Uint32 TimerFired(Uint32 interval, void *id) {
    PushUserEvent(EventTimer, int(intptr_t(id)));
    return interval;
}

// Keys SDL reports as key presses that the handlers take as characters or
// keys; printable text arrives separately as text input.
static void HandleKey(const SDL_KeyboardEvent &key) {
    switch (key.keysym.sym) {
    case SDLK_TAB: OnKeyDown(KeyTab); break;
    case SDLK_RETURN:
    case SDLK_KP_ENTER: OnKeyDown(KeyEnter); break;
    case SDLK_BACKSPACE: OnChar(8); break;
    default: break;
    }
}

// Typed text as UTF-16 units, one handler call per unit.
static void HandleText(const char *utf8) {
    WideChar units[SDL_TEXTINPUTEVENT_TEXT_SIZE + 1];
    Utf8ToText(utf8, units, SDL_TEXTINPUTEVENT_TEXT_SIZE + 1);
    for (const WideChar *p = units; *p != 0; p++) OnChar(unsigned(*p));
}

static void HandleWindowEvent(const SDL_WindowEvent &event) {
    switch (event.event) {
    case SDL_WINDOWEVENT_SIZE_CHANGED: OnSize(false, event.data1, event.data2); break;
    case SDL_WINDOWEVENT_MINIMIZED: OnSize(true, 0, 0); break;
    case SDL_WINDOWEVENT_EXPOSED: Paint(); break;
    case SDL_WINDOWEVENT_CLOSE: OnDestroy(); break;
    default: break;
    }
}

static void HandleUserEvent(const SDL_UserEvent &event) {
    int value = int(intptr_t(event.data1));
    switch (event.code) {
    case EventTimer: OnTimer(value); break;
    case EventRepaint: Paint(); break;
    case EventMedia: OnMediaNotify(value); break;
    case EventClose: OnDestroy(); break;
    default: break;
    }
}

static void HandleEvent(const SDL_Event &event) {
    if (event.type == s_window.userEventType) {
        HandleUserEvent(event.user);
        return;
    }
    switch (event.type) {
    case SDL_QUIT: OnDestroy(); break;
    case SDL_WINDOWEVENT: HandleWindowEvent(event.window); break;
    case SDL_MOUSEMOTION: OnMouseMove(event.motion.x, event.motion.y); break;
    case SDL_MOUSEBUTTONDOWN:
        if (event.button.button == SDL_BUTTON_LEFT) OnLeftButtonDown(event.button.x, event.button.y);
        break;
    case SDL_KEYDOWN: HandleKey(event.key); break;
    case SDL_TEXTINPUT: HandleText(event.text.text); break;
    default: break;
    }
}

static void SetIcon() {
    char path[ProgramDirUnits * 4 + 16];
    char folder[ProgramDirUnits * 4];
    TextToUtf8(g_state.programDir, folder, int(sizeof folder));
    snprintf(path, sizeof path, "%s/icon.bmp", folder);
    SDL_Surface *icon = SDL_LoadBMP(path);
    if (icon == nullptr) return;
    SDL_SetWindowIcon(s_window.window, icon);
    SDL_FreeSurface(icon);
}

int RunMainWindow(int) {
    if (SDL_Init(SDL_INIT_VIDEO | SDL_INIT_TIMER | SDL_INIT_EVENTS) != 0) {
        fprintf(stderr, "launcher: cannot open a window: %s\n", SDL_GetError());
        return 1;
    }
    s_window.interfaceThread = SDL_ThreadID();
    s_window.userEventType = SDL_RegisterEvents(1);

    SDL_Rect screen = {0, 0, DesignWidthPx, DesignHeightPx};
    SDL_GetDisplayBounds(0, &screen);
    int clientWidth, clientHeight, x, y;
    ClientSizeForScreen(screen.w, screen.h, &clientWidth, &clientHeight);
    g_state.clientWidth = clientWidth;
    g_state.clientHeight = clientHeight;
    WindowPositionForScreen(screen.w, screen.h, clientWidth, clientHeight, &x, &y);
    s_window.window = SDL_CreateWindow("Zenthara Online", screen.x + x, screen.y + y, clientWidth, clientHeight,
                                       SDL_WINDOW_HIDDEN);
    if (s_window.window == nullptr) {
        fprintf(stderr, "launcher: cannot open a window: %s\n", SDL_GetError());
        SDL_Quit();
        return 1;
    }
    s_window.renderer = SDL_CreateRenderer(s_window.window, -1, SDL_RENDERER_PRESENTVSYNC);
    if (s_window.renderer == nullptr)
        s_window.renderer = SDL_CreateRenderer(s_window.window, -1, SDL_RENDERER_SOFTWARE);
    s_window.cursors[CursorArrow] = SDL_CreateSystemCursor(SDL_SYSTEM_CURSOR_ARROW);
    s_window.cursors[CursorIBeam] = SDL_CreateSystemCursor(SDL_SYSTEM_CURSOR_IBEAM);
    s_window.cursors[CursorHand] = SDL_CreateSystemCursor(SDL_SYSTEM_CURSOR_HAND);
    OnCreate();
    SetIcon();
    SDL_StartTextInput();
    SDL_ShowWindow(s_window.window);
    Paint();

    SDL_Event event;
    while (!s_window.quitRequested && SDL_WaitEvent(&event)) HandleEvent(event);

    // Workers still waiting for a paint must not wait for this window.
    {
        std::lock_guard<std::mutex> hold(s_window.paintLock);
        s_window.paintsDone = s_window.paintsRequested = UINT64_MAX / 2;
        s_window.paintDone.notify_all();
    }
    SDL_HideWindow(s_window.window);
    return 0;
}

void RequestRepaint() {
    if (!s_window.repaintPending.exchange(true)) PushUserEvent(EventRepaint, 0);
}

void ForceRepaint() {
    if (s_window.window != nullptr && SDL_ThreadID() == s_window.interfaceThread) {
        Paint();
        return;
    }
    std::unique_lock<std::mutex> hold(s_window.paintLock);
    uint64_t wanted = s_window.paintsRequested + 1;
    hold.unlock();
    PushUserEvent(EventRepaint, 0);
    hold.lock();
    s_window.paintDone.wait_for(hold, std::chrono::milliseconds(ForcedPaintWaitMs),
                                [&] { return s_window.paintsDone >= wanted; });
}

void RequestQuit() { s_window.quitRequested = true; }

void *MainWindowHandle() { return nullptr; }

void PostMediaNotification(int code) { PushUserEvent(EventMedia, code); }

void SetPointerCursor(CursorShape shape) {
    if (s_window.cursors[shape] != nullptr) SDL_SetCursor(s_window.cursors[shape]);
}

void StartWindowTimer(int id, int periodMs) {
    if (id < 0 || id >= MaxTimers) return;
    if (s_window.timers[id] != 0) SDL_RemoveTimer(s_window.timers[id]);
    s_window.timers[id] = SDL_AddTimer(Uint32(periodMs), TimerFired, reinterpret_cast<void *>(intptr_t(id)));
}

void StopWindowTimer(int id) {
    if (id < 0 || id >= MaxTimers || s_window.timers[id] == 0) return;
    SDL_RemoveTimer(s_window.timers[id]);
    s_window.timers[id] = 0;
}

void FocusMainWindow() {
    if ((SDL_GetWindowFlags(s_window.window) & SDL_WINDOW_INPUT_FOCUS) == 0) SDL_RaiseWindow(s_window.window);
}
void MinimizeMainWindow() { SDL_MinimizeWindow(s_window.window); }
void CloseMainWindow() { PushUserEvent(EventClose, 0); }

void ShowInformationBox(const WideChar *text, const WideChar *caption) {
    char textUtf8[512], captionUtf8[128];
    TextToUtf8(text, textUtf8, int(sizeof textUtf8));
    TextToUtf8(caption, captionUtf8, int(sizeof captionUtf8));
    SDL_ShowSimpleMessageBox(SDL_MESSAGEBOX_INFORMATION, captionUtf8, textUtf8, s_window.window);
}

void OpenLink(const WideChar *url) {
    char utf8[1024];
    if (TextToUtf8(url, utf8, int(sizeof utf8))) SDL_OpenURL(utf8);
}
