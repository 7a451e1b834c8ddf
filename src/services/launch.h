// Starting the game: remembers the user name in launcher.ini, starts the
// configured game from the program folder and ends the launcher, or says on
// the status line why the game could not be started. Platform-neutral over
// the ini, files, process and window seams.
#pragma once

constexpr int GamePathUnits = 260;
constexpr int CommandLineUnits = 426;

// User-interface thread only, and only while no check/patch run is active.
void LaunchGame();
