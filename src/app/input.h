// The window procedure's logic: what the launcher does for window creation
// and destruction, size changes, timers, mouse, keys, typed characters and
// the music's end-of-play notification. Platform-neutral: the Win32 window
// procedure and the SDL event loop forward their events here and the
// effects go back through the window seam.
#pragma once
#include "base/text.h"

constexpr int TimerProbe = 1;            // starts a status probe
constexpr int TimerAnim = 2;             // advances the animation and repaints
constexpr int AnimPeriodMs = 45;
// Period of the status probe timer, 20 s; defined in a file of its own
// (probe_period.cpp) so a test build can link a shorter one instead.
extern const int ProbePeriodMs;

constexpr int KeyTab = 9;                // virtual-key codes the handlers act on
constexpr int KeyEnter = 13;
constexpr int FieldMaxUnits = 38;        // typed units an entry field keeps

extern const WideChar InfoBoxText[];
extern const WideChar InfoBoxCaption[];
extern const WideChar CommunityLink[];
extern const WideChar SupportLink[];
extern const WideChar VideoLink[];

// Window creation, once the window exists: the painter's resources,
// particles, the first probe, both timers, then the music worker.
void OnCreate();
// A paint request: composes and presents the whole frame.
void OnPaint();
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
