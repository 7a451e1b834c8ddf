// Window seam: what the core asks of the window it draws into.
// Backends: the launcher's window (Win32 or SDL2), and a console stand-in
// for the headless tools that prints the status line instead.
#pragma once

// Invalidates the whole client area of the main window without erasing it.
void RequestRepaint();
// Requests a repaint and paints at once, so the current status text and
// progress are shown before the caller goes on.
void ForceRepaint();

// Creates the launcher window, shows it with showCommand and runs the
// message loop until the launcher quits; returns the exit code, 0.
int RunMainWindow(int showCommand);
