// Freshness of signed manifests: once a manifest signed at some time was
// applied, an older one signed with the same key is refused, so a release
// that was replaced cannot be served again with its own valid signature; a
// manifest whose trusted comment says "expires:<n>" is refused after that
// time. The newest signing time accepted for each key id is kept in the game
// folder's launcher.state, replaced as a whole (temporary file, then a
// durable replace) and never lowered. Platform-neutral over the files and
// clock seams; the decision itself (JudgeFreshness) is pure.
// Leaves out: keeping the state when the game folder cannot be written (the
// pass goes on without it and says so).
#pragma once
#include <cstdint>

#include "base/text.h"
#include "patch/signature.h"

constexpr int FreshnessReasonBytes = 192;  // a refusal's reason, or a notice about the state file
constexpr int StateKeysMax = 16;           // key ids kept; past this the one raised longest ago goes
constexpr int StateFileLimitBytes = 1024;  // a larger launcher.state is taken as damaged

extern const WideChar StateFileName[];  // "launcher.state", at the top of the game folder

struct FreshnessVerdict {
    bool accepted;
    bool raise;  // the offered timestamp becomes the newest kept for the key
};

// Whether a manifest whose signature holds and whose trusted comment carries
// offered may be used at wall-clock time now (s since 1970), given the newest
// timestamp accepted for its key before (stored false: none yet). Refused:
// past its expires (equal still passes); older than the stored timestamp; no
// timestamp at all once one is stored. Equal timestamps pass (the same
// manifest again). reason (FreshnessReasonBytes) says why when refused.
FreshnessVerdict JudgeFreshness(const TrustedTimes *offered, bool stored, int64_t storedTimestamp, int64_t now,
                                char *reason);

// The whole step for one manifest whose signature holds, signed with keyId
// (FormatKeyId's text): reads launcher.state in gameFolder, judges, and when
// the manifest passes with a newer timestamp and keep is set (a pass that
// applies entries), raises the state before anything is applied.
// A state file that is damaged or cannot be read counts as empty, since
// refusing every manifest would leave the player with no way to patch; a
// state that cannot be written is not kept. Either way notice
// (FreshnessReasonBytes) says so, and is "" otherwise.
bool ManifestIsFresh(const WideChar *gameFolder, const char *keyId, const TrustedTimes *offered, bool keep,
                     char *reason, char *notice);
