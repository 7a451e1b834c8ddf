// Local paths for manifest entries: joining them to the program folder, and
// refusing relative paths and URLs that could reach outside it.
// Platform-neutral; the same refusals hold on every platform, so a manifest
// behaves the same for every player.
// Folder links and junctions already in the game folder are the player's
// (no manifest can make one) and are followed, as every file call follows
// them; what is held inside the folder is the manifest's own path.
#pragma once
#include "base/text.h"

// Room for a program folder and a relative path at their limits (259 + 1 +
// 511 units), so a local path never binds before its parts do; Windows
// takes paths over MAX_PATH in their extended-length form.
constexpr int LocalPathUnits = 1024;

// "<programDir><separator><relativePath>" with both '/' and '\' turned into
// the platform's separator. False when it does not fit LocalPathUnits; out
// then holds nothing usable.
bool BuildLocalPath(const WideChar *programDir, const WideChar *relativePath, WideChar *out);

// A relative path that names a file strictly below the program folder on
// Windows and POSIX alike: not empty, not rooted (separator, drive letter,
// UNC or device prefix), no "..", ':', control characters or <>"|?*, no
// reserved device name (CON, PRN, AUX, NUL, CONIN$, CONOUT$, CLOCK$, COM0-9,
// LPT0-9 and COM or LPT with a superscript 1, 2 or 3, with any extension,
// any case), no component ending in a dot or a space.
bool IsSafeRelativePath(const WideChar *relativePath);

// Only http and https URLs are ever fetched.
bool IsFetchableUrl(const WideChar *url);
