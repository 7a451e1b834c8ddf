// Window seam: what the core asks of the window it draws into.
// Backends: the launcher's window (Win32 or SDL2), a stand-in while it has
// none, and recording stand-ins in the tests. The headless tools link none:
// the check/patch pass reports through its own callbacks.
#pragma once
#include "base/text.h"

// Asks for a paint of the main window, without erasing: the whole frame is
// composed again and the window gets every pixel that differs from what it
// shows. Safe from any thread.
void RequestRepaint();
// Requests a repaint and paints at once, so the current status text and
// progress are shown before the caller goes on.
void ForceRepaint();

// Creates the launcher window, shows it with showCommand and runs the
// message loop until the launcher quits; returns the exit code, 0.
int RunMainWindow(int showCommand);

// Ends the message loop with exit code 0 without destroying the window
// (PostQuitMessage(0) on Windows). User-interface thread only.
void RequestQuit();

// Hands a media notification (the end of a "play ... notify") to the music's
// loop handling on the user-interface thread. For media backends that have
// no native notification (Windows' MCI posts its own message instead).
// Safe from any thread.
void PostMediaNotification(int code);

// The platform's handle of the launcher window (an HWND on Windows), for
// other backends only; nullptr while there is none (before creation, in the
// headless tools and in tests that paint off-screen). The core never
// looks at it.
void *MainWindowHandle();

// Effects the input handlers ask of the window (user-interface thread only).
enum CursorShape { CursorArrow, CursorIBeam, CursorHand };
void SetPointerCursor(CursorShape shape);
void StartWindowTimer(int id, int periodMs);  // repeating, delivered to OnTimer
void StopWindowTimer(int id);
void FocusMainWindow();       // give the window the keyboard focus
void MinimizeMainWindow();
void CloseMainWindow();       // like the caption's close button: leads to OnDestroy
// A modal information box owned by the window; returns once it is closed.
void ShowInformationBox(const WideChar *text, const WideChar *caption);
// Opens a link (http/https or mailto) with the desktop's default handler;
// failures are ignored.
void OpenLink(const WideChar *url);
