// The window procedure's logic: what the launcher does for window creation
// and destruction, size changes, timers, mouse, keys, typed characters and
// the music's end-of-play notification. Platform-neutral: the Win32 window
// procedure and the SDL event loop forward their events here and the
// effects go back through the window seam.
#pragma once
#include "app/text.h"

constexpr int TimerProbe = 1;            // starts a status probe
constexpr int TimerAnim = 2;             // advances the animation and repaints
constexpr int AnimPeriodMs = 45;
#ifdef LAUNCHER_TEST_PROBE_PERIOD_MS
constexpr int ProbePeriodMs = LAUNCHER_TEST_PROBE_PERIOD_MS;  // test builds only
#else
constexpr int ProbePeriodMs = 20000;
#endif

constexpr int KeyTab = 9;                // virtual-key codes the handlers act on
constexpr int KeyEnter = 13;
constexpr int FieldMaxUnits = 38;        // typed units an entry field keeps

extern const WideChar InfoBoxText[];
extern const WideChar InfoBoxCaption[];
extern const WideChar CommunityLink[];
extern const WideChar SupportLink[];
extern const WideChar VideoLink[];

// Window creation: mainWindow, fonts, particles, the first probe, both
// timers, then the music worker.
void OnCreate(void *window);
// Window destruction: closes the music, stops both timers, quits with 0.
void OnDestroy();
// A size change; minimising is ignored and a zero dimension is stored as 1.
void OnSize(bool minimized, int width, int height);
void OnTimer(int id);
void OnMouseMove(int x, int y);
void OnLeftButtonDown(int x, int y);
// Tab and Enter; false for every other key (default processing).
bool OnKeyDown(int virtualKey);
// One typed UTF-16 unit for the focused entry field (8 is Backspace).
void OnChar(unsigned unit);
// End-of-play notification of the music.
void OnMediaNotify(int code);
// True while the pointer is over a hotspot: the cursor chosen on the last
// mouse move stays (the window answers its set-cursor request itself).
bool KeepsHotspotCursor();
