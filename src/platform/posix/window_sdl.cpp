// The launcher window on Linux: the window seam over SDL2 (video, timers,
// events, cursors, URLs).
// Implemented:
//  [X] one fixed-size window titled "Zenthara Online", sized and placed by
//      the shared rule, with icon.bmp from the program folder as its icon
//  [X] an event loop whose cases only forward to the input handlers
//  [X] timers, repaint requests from workers and the music's end-of-play
//      notification as user events, so every handler runs on this thread
//  [X] forced repaints from workers that wait (at most 250 ms) for the paint
//  [X] Tab, Enter and Backspace from key events, other typing from SDL text
//      input as UTF-16 units
//  [X] frames from the software canvas copied into SDL's window surface
//      (no renderer, so no OpenGL context and no GL libraries loaded: an
//      SDL_Renderer under Xvfb brought Mesa's llvmpipe, 22 % of a core and
//      131 MiB while idle), only the rectangles the canvas reports changed
//  [X] one way out when the X server goes away: the first thread that hits
//      the broken connection prints one line and ends the process with 1
//  [X] no window on an invisible video driver: without a display the
//      launcher ends at once with 1 instead of running unseen
//  [X] a click that activates the window reaches the handlers, as on Windows
//  [X] the hover stays when the pointer leaves (the motion SDL reports for
//      the leave is not handed on), as the Windows window asks for no leave
//  [X] the information box (info_box_sdl.cpp, with its icon) keeps timers,
//      repaints and the music's notice served while it is open, and holds
//      back input and close requests
//  [X] centred by the outer frame (client size plus the window manager's
//      borders), as AdjustWindowRect does on Windows
// Leaves out: a native window handle (MainWindowHandle is nullptr: no other
// backend here needs one), resizing, and drawing of its own.
#include <SDL2/SDL.h>
#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "app/input.h"
#include "base/state.h"
#include "platform/posix/info_box_sdl.h"
#include "platform/window.h"
#include "render/canvas_soft.h"
#include "render/layout.h"

// Xlib last, for its types only (SDL brings the library itself): X.h
// defines CursorShape as a macro, which would rename the window seam's enum
// in everything below.
#include <X11/Xlib.h>
#undef CursorShape

// User events, told apart by their code.
enum UserEventCode { EventTimer = 1, EventRepaint, EventMedia, EventClose };

constexpr int ForcedPaintWaitMs = 250;  // a worker never waits longer for a paint
constexpr int MaxTimers = 4;
constexpr int MaxChangedAreas = 512;     // a present that changed in more pieces is sent whole
constexpr Uint32 FrameWaitMs = 2000;    // how long the window manager may take to tell its borders

// Everything this backend keeps. Fields without a note belong to the
// event-loop thread; the paint bookkeeping is shared with workers.
struct SdlWindowState {
    SDL_Window *window;
    SDL_Surface *surface;              // the window's surface; nullptr until fetched or once SDL dropped it
    bool surfaceStale;                 // the screen may not show the surface: send all of it next time
    SDL_Rect areas[MaxChangedAreas];   // what the present being sent changed, in client px
    Uint32 userEventType;              // our one registered event type; the code tells them apart
    SDL_threadID interfaceThread;      // the event loop's thread
    SDL_TimerID timers[MaxTimers];     // by timer id; 0 when not running
    SDL_Cursor *cursors[3];            // by CursorShape
    bool quitRequested;                // the loop ends before the next event
    SDL_Rect screen;                   // bounds of the display the window is centred on
    Uint32 shownAtMs;                  // SDL_GetTicks when the window was shown
    bool framePending;                 // not yet centred by its outer frame
    bool pointerInside;                // between SDL's enter and leave of the window
    bool boxOpen;                      // the information box is showing
    bool closeHeldBack;                // a close request arrived while the box was open

    std::atomic<bool> displayGone;     // the X connection broke; set by the first thread to see it

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

// Copies one rectangle of the present (width px wide) into the surface.
static void CopyToSurface(const uint32_t *pixels, int width, SDL_Surface *surface, const SDL_Rect &area) {
    SDL_ConvertPixels(area.w, area.h, SDL_PIXELFORMAT_RGB888,
                      pixels + size_t(area.y) * size_t(width) + size_t(area.x), width * 4, surface->format->format,
                      static_cast<uint8_t *>(surface->pixels) + size_t(area.y) * size_t(surface->pitch) +
                          size_t(area.x) * size_t(surface->format->BytesPerPixel),
                      surface->pitch);
}

// The rectangles of the present that the canvas says changed, cut to
// width x height, into s_window.areas; false when it says all of it may
// have (or there are more than the list holds).
static bool ChangedAreas(int width, int height, int *count) {
    const PresentRect *rects = nullptr;
    int listed = 0;
    if (!PresentedChanges(&rects, &listed) || listed > MaxChangedAreas) return false;
    *count = 0;
    for (int n = 0; n < listed; n++) {
        int x0 = rects[n].x, y0 = rects[n].y;
        int x1 = std::min(x0 + rects[n].width, width), y1 = std::min(y0 + rects[n].height, height);
        if (x1 > x0 && y1 > y0) s_window.areas[(*count)++] = {x0, y0, x1 - x0, y1 - y0};
    }
    return true;
}

// Copies the last presented frame into the window surface and shows what
// changed: the rectangles the canvas lists, or everything after an
// exposure, a new surface or a present that changed too much to list. SDL
// drops the surface when the window's size changes and then refuses the
// update; the new surface is fetched and the copy made once more.
static void PresentFrame() {
    int width, height;
    const uint32_t *pixels = PresentedPixels(&width, &height);
    for (int attempt = 0; attempt < 2; attempt++) {
        if (s_window.surface == nullptr) {
            s_window.surface = SDL_GetWindowSurface(s_window.window);
            s_window.surfaceStale = true;
        }
        SDL_Surface *surface = s_window.surface;
        if (surface == nullptr) return;
        int copyWidth = std::min(width, surface->w), copyHeight = std::min(height, surface->h);
        int count = 0;
        bool whole = s_window.surfaceStale || surface->format->format != SDL_PIXELFORMAT_RGB888 ||
                     !ChangedAreas(copyWidth, copyHeight, &count);
        if (whole) {
            s_window.areas[0] = {0, 0, copyWidth, copyHeight};
            count = 1;
        }
        if (count == 0) return;  // nothing on the screen changes
        if (SDL_MUSTLOCK(surface) && SDL_LockSurface(surface) != 0) return;
        for (int n = 0; n < count; n++) CopyToSurface(pixels, width, surface, s_window.areas[n]);
        if (SDL_MUSTLOCK(surface)) SDL_UnlockSurface(surface);
        if (whole) s_window.areas[0] = {0, 0, surface->w, surface->h};
        if (SDL_UpdateWindowSurfaceRects(s_window.window, s_window.areas, count) == 0) {
            s_window.surfaceStale = false;
            return;
        }
        s_window.surface = nullptr;
    }
}

static void Paint() {
    {
        std::lock_guard<std::mutex> hold(s_window.paintLock);
        s_window.paintsRequested++;
    }
    s_window.repaintPending = false;
    OnPaint();
    PresentFrame();
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

// The motion SDL reports when the pointer leaves the window carries the
// leave point pulled inside the client area, and a LEAVE follows it in the
// queue; the Windows window asks for no leave notice, so neither is a move.
static bool IsLeaveMotion() {
    SDL_Event queued[16];
    int count = SDL_PeepEvents(queued, 16, SDL_PEEKEVENT, SDL_FIRSTEVENT, SDL_LASTEVENT);
    for (int i = 0; i < count; i++) {
        if (queued[i].type == SDL_MOUSEMOTION) return false;
        if (queued[i].type == SDL_WINDOWEVENT && queued[i].window.event == SDL_WINDOWEVENT_LEAVE) return true;
    }
    return false;
}

static void HandleMotion(const SDL_MouseMotionEvent &motion) {
    if (!s_window.pointerInside || IsLeaveMotion()) return;
    OnMouseMove(motion.x, motion.y);
}

// A request to close the window: handled at once, or once the information
// box is closed (the Windows window is disabled while its box is open).
static void HandleCloseRequest() {
    if (s_window.boxOpen) {
        s_window.closeHeldBack = true;
        return;
    }
    OnDestroy();
}

static void HandleWindowEvent(const SDL_WindowEvent &event) {
    switch (event.event) {
    case SDL_WINDOWEVENT_SIZE_CHANGED:
        s_window.surface = nullptr;
        OnSize(false, event.data1, event.data2);
        break;
    case SDL_WINDOWEVENT_MINIMIZED: OnSize(true, 0, 0); break;
    case SDL_WINDOWEVENT_EXPOSED:
        s_window.surfaceStale = true;
        Paint();
        break;
    case SDL_WINDOWEVENT_ENTER: s_window.pointerInside = true; break;
    case SDL_WINDOWEVENT_LEAVE: s_window.pointerInside = false; break;
    case SDL_WINDOWEVENT_CLOSE: HandleCloseRequest(); break;
    default: break;
    }
}

static void HandleUserEvent(const SDL_UserEvent &event) {
    int value = int(intptr_t(event.data1));
    switch (event.code) {
    case EventTimer: OnTimer(value); break;
    case EventRepaint: Paint(); break;
    case EventMedia: OnMediaNotify(value); break;
    case EventClose: HandleCloseRequest(); break;
    default: break;
    }
}

// Input meant for the window: dropped while the information box is open.
static void HandleInput(const SDL_Event &event) {
    if (s_window.boxOpen) return;
    switch (event.type) {
    case SDL_MOUSEMOTION: HandleMotion(event.motion); break;
    case SDL_MOUSEBUTTONDOWN:
        if (event.button.button == SDL_BUTTON_LEFT) OnLeftButtonDown(event.button.x, event.button.y);
        break;
    case SDL_KEYDOWN: HandleKey(event.key); break;
    case SDL_TEXTINPUT: HandleText(event.text.text); break;
    default: break;
    }
}

static void HandleEvent(const SDL_Event &event) {
    if (event.type == s_window.userEventType) {
        HandleUserEvent(event.user);
        return;
    }
    switch (event.type) {
    case SDL_QUIT: HandleCloseRequest(); break;
    case SDL_WINDOWEVENT: HandleWindowEvent(event.window); break;
    default: HandleInput(event); break;
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

// Xlib's own handler for a broken connection calls exit(), and every thread
// that touches X at that moment gets there: two of them running the exit
// handlers at once can crash. Here the first one ends the process and any
// other waits for that.
static int DisplayWentAway(Display *) {
    if (!s_window.displayGone.exchange(true)) {
        static const char line[] = "launcher: the display went away; closing.\n";
        ssize_t written = write(2, line, sizeof line - 1);
        (void)written;
        _exit(1);
    }
    for (;;) pause();
}

// Sets DisplayWentAway as Xlib's handler. SDL's X11 driver links libX11, so
// the function is found in the process rather than linked here (nothing to
// do on other video drivers, which have no such library loaded).
static void InstallDisplayLossHandler() {
    using SetHandler = XIOErrorHandler (*)(XIOErrorHandler);
    SetHandler setHandler = reinterpret_cast<SetHandler>(dlsym(RTLD_DEFAULT, "XSetIOErrorHandler"));
    if (setHandler != nullptr) setHandler(DisplayWentAway);
}

// True when SDL settled on a video driver that shows nothing (what it falls
// back to without a display) although nobody asked for it by name.
static bool OnInvisibleDriver() {
    const char *driver = SDL_GetCurrentVideoDriver();
    if (driver == nullptr) return true;
    if (strcmp(driver, "offscreen") != 0 && strcmp(driver, "dummy") != 0) return false;
    const char *asked = SDL_getenv("SDL_VIDEODRIVER");
    return asked == nullptr || strstr(asked, driver) == nullptr;
}

// Moves the shown window so that its outer frame is centred, once the
// window manager's borders are known: it sets them while it takes the
// window on, some time after the window was shown, so this is tried after
// every event for up to FrameWaitMs (without a window manager there are
// none, and the window already stands where the rule puts it).
static void CentreOuterFrame() {
    int top = 0, left = 0, bottom = 0, right = 0;
    if (SDL_GetWindowBordersSize(s_window.window, &top, &left, &bottom, &right) != 0 ||
        (top == 0 && left == 0 && bottom == 0 && right == 0)) {
        if (SDL_TICKS_PASSED(SDL_GetTicks(), s_window.shownAtMs + FrameWaitMs)) s_window.framePending = false;
        return;
    }
    s_window.framePending = false;
    const SDL_Rect &screen = s_window.screen;
    int x, y;
    WindowPositionForScreen(screen.w, screen.h, g_state.clientWidth + left + right,
                            g_state.clientHeight + top + bottom, &x, &y);
    // SDL places the client area; the frame's corner is its borders up and left.
    SDL_SetWindowPosition(s_window.window, screen.x + x + left, screen.y + y + top);
}

int RunMainWindow(int) {
    // The window surface without a renderer behind it: no OpenGL context.
    SDL_SetHint(SDL_HINT_FRAMEBUFFER_ACCELERATION, "0");
    // A click that activates the window is still a click, as on Windows
    // (SDL drops a click that comes just after the window got the focus).
    SDL_SetHint(SDL_HINT_MOUSE_FOCUS_CLICKTHROUGH, "1");
    if (SDL_Init(SDL_INIT_VIDEO | SDL_INIT_TIMER) != 0) {
        fprintf(stderr, "launcher: cannot open a window: %s\n", SDL_GetError());
        return 1;
    }
    if (OnInvisibleDriver()) {
        fprintf(stderr, "launcher: no display to open a window on (is DISPLAY set?)\n");
        SDL_Quit();
        return 1;
    }
    InstallDisplayLossHandler();
    s_window.interfaceThread = SDL_ThreadID();
    s_window.userEventType = SDL_RegisterEvents(1);
    s_window.pointerInside = true;

    SDL_Rect &screen = s_window.screen;
    screen = {0, 0, DesignWidthPx, DesignHeightPx};
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
    s_window.cursors[CursorArrow] = SDL_CreateSystemCursor(SDL_SYSTEM_CURSOR_ARROW);
    s_window.cursors[CursorIBeam] = SDL_CreateSystemCursor(SDL_SYSTEM_CURSOR_IBEAM);
    s_window.cursors[CursorHand] = SDL_CreateSystemCursor(SDL_SYSTEM_CURSOR_HAND);
    OnCreate();
    SetIcon();
    SDL_StartTextInput();
    SDL_ShowWindow(s_window.window);
    s_window.shownAtMs = SDL_GetTicks();
    s_window.framePending = true;
    SDL_PumpEvents();  // the borders usually come with the mapping's events
    CentreOuterFrame();
    Paint();

    SDL_Event event;
    while (!s_window.quitRequested && SDL_WaitEvent(&event)) {
        HandleEvent(event);
        if (s_window.framePending) CentreOuterFrame();
    }

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

// The box runs its own window, whose events are passed to it, while this
// loop goes on serving timers, repaints and the music's notice for the
// main window, as Windows's modal loop does for the owner window; input to
// the main window is dropped and a close request held back until the box
// is closed. A box that cannot be made falls back on SDL's (no icon, and
// the window waits for it).
void ShowInformationBox(const WideChar *text, const WideChar *caption) {
    if (!OpenInformationBox(s_window.window, text, caption)) {
        char utf8Text[InfoBoxTextUnits * 3], utf8Caption[512];
        TextToUtf8(text, utf8Text, int(sizeof utf8Text));
        TextToUtf8(caption, utf8Caption, int(sizeof utf8Caption));
        SDL_ShowSimpleMessageBox(SDL_MESSAGEBOX_INFORMATION, utf8Caption, utf8Text, s_window.window);
        return;
    }
    s_window.boxOpen = true;
    SDL_Event event;
    while (InformationBoxOpen() && SDL_WaitEvent(&event))
        if (!HandleInformationBoxEvent(event)) HandleEvent(event);
    CloseInformationBox();
    s_window.boxOpen = false;
    if (s_window.closeHeldBack) {
        s_window.closeHeldBack = false;
        PushUserEvent(EventClose, 0);
    }
}

void OpenLink(const WideChar *url) {
    char utf8[1024];
    if (TextToUtf8(url, utf8, int(sizeof utf8))) SDL_OpenURL(utf8);
}
