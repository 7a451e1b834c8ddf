// The launcher window on Linux, on SDL2: one fixed-size window titled
// "Zenthara Online", sized and placed by the same rule as on Windows, whose
// event loop forwards to the shared input handlers. Timers, repaint
// requests from workers and the music's end-of-play notification arrive as
// user events, so every handler runs on this one thread. Frames come from
// the software canvas and reach the screen through one streaming texture.
#include <SDL2/SDL.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>

#include "app/input.h"
#include "app/state.h"
#include "platform/window.h"
#include "render/canvas_soft.h"
#include "render/layout.h"
#include "render/painter.h"
#include "render/particles.h"

// User events, told apart by their code.
enum UserEventCode { EventTimer = 1, EventRepaint, EventMedia, EventClose };

constexpr int ForcedPaintWaitMs = 250;  // a worker never waits longer for a paint
constexpr int MaxTimers = 4;

static SDL_Window *window;
static SDL_Renderer *renderer;
static SDL_Texture *texture;
static int textureWidth, textureHeight;
static Uint32 userEventType;
static SDL_threadID interfaceThread;
static SDL_TimerID timers[MaxTimers];
static SDL_Cursor *cursors[3];
static bool quitRequested;

static std::atomic<bool> repaintPending{false};
// Forced repaints from workers wait until a paint has followed their request.
static std::mutex paintLock;
static std::condition_variable paintDone;
static uint64_t paintsRequested, paintsDone;

static void PushUserEvent(int code, int value) {
    SDL_Event event;
    SDL_zero(event);
    event.type = userEventType;
    event.user.code = code;
    event.user.data1 = reinterpret_cast<void *>(intptr_t(value));
    SDL_PushEvent(&event);
}

static void Paint() {
    {
        std::lock_guard<std::mutex> hold(paintLock);
        paintsRequested++;
    }
    repaintPending = false;
    PaintFrame();
    int width, height;
    const uint32_t *pixels = PresentedPixels(&width, &height);
    if (texture == nullptr || width != textureWidth || height != textureHeight) {
        if (texture != nullptr) SDL_DestroyTexture(texture);
        texture = SDL_CreateTexture(renderer, SDL_PIXELFORMAT_RGB888, SDL_TEXTUREACCESS_STREAMING, width, height);
        textureWidth = width;
        textureHeight = height;
    }
    SDL_UpdateTexture(texture, nullptr, pixels, width * 4);
    SDL_RenderCopy(renderer, texture, nullptr, nullptr);
    SDL_RenderPresent(renderer);
    std::lock_guard<std::mutex> hold(paintLock);
    paintsDone = paintsRequested;
    paintDone.notify_all();
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
    if (event.type == userEventType) {
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
    SDL_SetWindowIcon(window, icon);
    SDL_FreeSurface(icon);
}

int RunMainWindow(int) {
    if (SDL_Init(SDL_INIT_VIDEO | SDL_INIT_TIMER | SDL_INIT_EVENTS) != 0) {
        fprintf(stderr, "launcher: cannot open a window: %s\n", SDL_GetError());
        return 1;
    }
    interfaceThread = SDL_ThreadID();
    userEventType = SDL_RegisterEvents(1);
    LoadBackgroundImage();

    SDL_Rect screen = {0, 0, DesignWidthPx, DesignHeightPx};
    SDL_GetDisplayBounds(0, &screen);
    int clientWidth, clientHeight, x, y;
    ClientSizeForScreen(screen.w, screen.h, &clientWidth, &clientHeight);
    g_state.clientWidth = clientWidth;
    g_state.clientHeight = clientHeight;
    WindowPositionForScreen(screen.w, screen.h, clientWidth, clientHeight, &x, &y);
    window = SDL_CreateWindow("Zenthara Online", screen.x + x, screen.y + y, clientWidth, clientHeight,
                              SDL_WINDOW_HIDDEN);
    if (window == nullptr) {
        fprintf(stderr, "launcher: cannot open a window: %s\n", SDL_GetError());
        SDL_Quit();
        return 1;
    }
    renderer = SDL_CreateRenderer(window, -1, SDL_RENDERER_PRESENTVSYNC);
    if (renderer == nullptr) renderer = SDL_CreateRenderer(window, -1, SDL_RENDERER_SOFTWARE);
    cursors[CursorArrow] = SDL_CreateSystemCursor(SDL_SYSTEM_CURSOR_ARROW);
    cursors[CursorIBeam] = SDL_CreateSystemCursor(SDL_SYSTEM_CURSOR_IBEAM);
    cursors[CursorHand] = SDL_CreateSystemCursor(SDL_SYSTEM_CURSOR_HAND);
    OnCreate(window);

    CreateBackgroundSurface();
    CreateGlowSprite();
    CreateHighlightSprite();
    SetIcon();
    SDL_StartTextInput();
    SDL_ShowWindow(window);
    Paint();

    SDL_Event event;
    while (!quitRequested && SDL_WaitEvent(&event)) HandleEvent(event);

    // Workers still waiting for a paint must not wait for this window.
    {
        std::lock_guard<std::mutex> hold(paintLock);
        paintsDone = paintsRequested = UINT64_MAX / 2;
        paintDone.notify_all();
    }
    SDL_HideWindow(window);
    return 0;
}

void RequestRepaint() {
    if (!repaintPending.exchange(true)) PushUserEvent(EventRepaint, 0);
}

void ForceRepaint() {
    if (window != nullptr && SDL_ThreadID() == interfaceThread) {
        Paint();
        return;
    }
    std::unique_lock<std::mutex> hold(paintLock);
    uint64_t wanted = paintsRequested + 1;
    hold.unlock();
    PushUserEvent(EventRepaint, 0);
    hold.lock();
    paintDone.wait_for(hold, std::chrono::milliseconds(ForcedPaintWaitMs), [&] { return paintsDone >= wanted; });
}

void RequestQuit() { quitRequested = true; }

void PostMediaNotification(int code) { PushUserEvent(EventMedia, code); }

void SetPointerCursor(CursorShape shape) {
    if (cursors[shape] != nullptr) SDL_SetCursor(cursors[shape]);
}

void StartWindowTimer(int id, int periodMs) {
    if (id < 0 || id >= MaxTimers) return;
    if (timers[id] != 0) SDL_RemoveTimer(timers[id]);
    timers[id] = SDL_AddTimer(Uint32(periodMs), TimerFired, reinterpret_cast<void *>(intptr_t(id)));
}

void StopWindowTimer(int id) {
    if (id < 0 || id >= MaxTimers || timers[id] == 0) return;
    SDL_RemoveTimer(timers[id]);
    timers[id] = 0;
}

void FocusMainWindow() {
    if ((SDL_GetWindowFlags(window) & SDL_WINDOW_INPUT_FOCUS) == 0) SDL_RaiseWindow(window);
}
void MinimizeMainWindow() { SDL_MinimizeWindow(window); }
void CloseMainWindow() { PushUserEvent(EventClose, 0); }

void ShowInformationBox(const WideChar *text, const WideChar *caption) {
    char textUtf8[512], captionUtf8[128];
    TextToUtf8(text, textUtf8, int(sizeof textUtf8));
    TextToUtf8(caption, captionUtf8, int(sizeof captionUtf8));
    SDL_ShowSimpleMessageBox(SDL_MESSAGEBOX_INFORMATION, captionUtf8, textUtf8, window);
}

void OpenLink(const WideChar *url) {
    char utf8[1024];
    if (TextToUtf8(url, utf8, int(sizeof utf8))) SDL_OpenURL(utf8);
}
