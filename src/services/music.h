// Background music: finds the first playable of three fixed file names in
// the program folder, opens it under the alias "bgm", plays it and restarts
// it after every normal end. Platform-neutral; the commands go through the
// media seam. No volume, pause or mute, and nothing is ever shown or logged.
#pragma once

#include "base/text.h"
#include "platform/thread.h"

// Notification code of a play that reached the end of the file. Every other
// code (superseded, aborted, failed) leaves the music stopped.
constexpr int MediaNotifySuccessful = 1;
// Candidate paths: program folder, separator, name, terminator.
constexpr int MusicPathUnits = 260;
// The longest command, an open with a 259-unit path, needs 292 units.
constexpr int MediaCommandUnits = 394;

// Music worker: runs StartMusic and returns 0; the parameter is ignored.
// Started once, after the main window exists; nobody waits for it.
uint32_t MusicThread(void *);

// Opens the first candidate that exists and that one of the two opens
// accepts, sets musicOpen, starts it with notification and sets
// musicPlaying. Does nothing when the music is already open; with no
// usable candidate both flags stay clear.
void StartMusic();

// Loop handling, on the user-interface thread, for each end-of-play
// notification: after a normal end of the open, playing music, rewinds and
// plays again with notification. Any other code is ignored.
void OnMusicNotify(int code);

// For the window's destruction: closes the device when it is open. The
// flags are left as they are.
void CloseMusic();
