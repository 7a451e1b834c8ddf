// Media seam: the music's command strings, carried out by the platform.
// Backends: win32/media_mci.cpp (MCI's mciSendStringW) and
// posix/media_sdl.cpp (a small interpreter of the same strings over
// SDL2_mixer). Commands may come from any thread; a backend serialises them.
// MCI notifies the window MainWindowHandle names; the SDL backend posts
// through PostMediaNotification.
#pragma once

#include "base/text.h"

// Sends one command string ("open ... alias bgm", "play bgm notify",
// "seek bgm to start", "close bgm"). With notify, the end of a play that
// asked for notification is reported to the main window: MCI posts
// MM_MCINOTIFY, the SDL backend calls PostMediaNotification. Returns 0 on
// success, otherwise a non-zero error number (MCI's numbering). No command
// returns text.
int SendMediaCommand(const WideChar *command, bool notify);
