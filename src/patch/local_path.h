// Local paths for manifest entries: joining them to the program folder, and
// refusing relative paths and URLs that could reach outside it.
// Platform-neutral; the same refusals hold on every platform, so a manifest
// behaves the same for every player.
#pragma once
#include "base/text.h"

constexpr int LocalPathUnits = 260;
constexpr int TemporaryPathUnits = LocalPathUnits + 8;
// Suffix of the file a download is written to before it replaces its target.
extern const WideChar TemporarySuffix[];

// "<programDir><separator><relativePath>" with both '/' and '\' turned into
// the platform's separator. False when it does not fit LocalPathUnits; out
// then holds nothing usable.
bool BuildLocalPath(const WideChar *programDir, const WideChar *relativePath, WideChar *out);

// The temporary file of a local path (TemporaryPathUnits units).
bool BuildTemporaryPath(const WideChar *localPath, WideChar *out);

// A relative path that names a file strictly below the program folder on
// Windows and POSIX alike: not empty, not rooted (separator, drive letter,
// UNC or device prefix), no "..", ':', control characters or <>"|?*, no
// reserved device name (CON, PRN, AUX, NUL, COM1-9, LPT1-9, with any
// extension, any case), no component ending in a dot or a space.
bool IsSafeRelativePath(const WideChar *relativePath);

// Only http and https URLs are ever fetched.
bool IsFetchableUrl(const WideChar *url);
