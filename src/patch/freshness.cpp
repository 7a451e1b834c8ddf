// Signed manifests that must not go back in time: the decision, and
// launcher.state, the small file that remembers the newest signing time
// accepted per key. Its text, written only by the launcher:
//   launcher-state 1
//   FD4B3D73A544165C 1700000500
// one line per key id (at most StateKeysMax), the one raised last at the end.
// Anything else in it makes the whole file count as damaged.
#include "patch/freshness.h"

#include <cstdio>
#include <cstring>

#include "patch/local_path.h"
#include "patch/temporary.h"
#include "platform/clock.h"
#include "platform/files.h"

const WideChar StateFileName[] = WTEXT("launcher.state");
static const char StateHead[] = "launcher-state 1\n";

struct KeptTimestamp {
    char keyId[KeyIdTextBytes];
    int64_t timestamp;  // s since 1970
};

struct FreshnessState {
    int count;
    KeptTimestamp kept[StateKeysMax];
};

enum StateRead { StateNone, StateFound, StateDamaged };

FreshnessVerdict JudgeFreshness(const TrustedTimes *offered, bool stored, int64_t storedTimestamp, int64_t now,
                                char *reason) {
    reason[0] = 0;
    if (offered->hasExpires && now > offered->expires) {
        snprintf(reason, FreshnessReasonBytes, "expired at %lld (the time is now %lld)",
                 static_cast<long long>(offered->expires), static_cast<long long>(now));
        return FreshnessVerdict{false, false};
    }
    if (!stored) return FreshnessVerdict{true, offered->hasTimestamp};
    if (!offered->hasTimestamp) {
        snprintf(reason, FreshnessReasonBytes,
                 "no timestamp in its trusted comment, after a manifest with one was applied (already applied %lld)",
                 static_cast<long long>(storedTimestamp));
        return FreshnessVerdict{false, false};
    }
    if (offered->timestamp < storedTimestamp) {
        snprintf(reason, FreshnessReasonBytes,
                 "older than the manifest already applied (timestamp %lld, already applied %lld)",
                 static_cast<long long>(offered->timestamp), static_cast<long long>(storedTimestamp));
        return FreshnessVerdict{false, false};
    }
    return FreshnessVerdict{true, offered->timestamp > storedTimestamp};
}

static int FindKept(const FreshnessState *state, const char *keyId) {
    for (int i = 0; i < state->count; i++)
        if (strcmp(state->kept[i].keyId, keyId) == 0) return i;
    return -1;
}

// One "<key id> <seconds>" line (length bytes, without its LF) appended to
// state; false when it is not of that form or names a key already read.
static bool ReadKeptLine(const char *line, int length, FreshnessState *state) {
    const char *blank = static_cast<const char *>(memchr(line, ' ', size_t(length)));
    if (blank == nullptr || state->count == StateKeysMax) return false;
    int idLength = int(blank - line);
    if (idLength < 1 || idLength >= KeyIdTextBytes) return false;
    for (int i = 0; i < idLength; i++)
        if (!((line[i] >= '0' && line[i] <= '9') || (line[i] >= 'A' && line[i] <= 'F'))) return false;
    KeptTimestamp *kept = &state->kept[state->count];
    memcpy(kept->keyId, line, size_t(idLength));
    kept->keyId[idLength] = 0;
    if (!ParseSeconds(blank + 1, length - idLength - 1, &kept->timestamp) || FindKept(state, kept->keyId) >= 0)
        return false;
    state->count++;
    return true;
}

// The state file's text (bytes long); false when it is not exactly the
// form this file writes.
static bool ParseStateText(const char *text, int bytes, FreshnessState *state) {
    state->count = 0;
    int head = int(sizeof StateHead - 1);
    if (bytes < head || memcmp(text, StateHead, size_t(head)) != 0) return false;
    for (int position = head; position < bytes;) {
        const char *end = static_cast<const char *>(memchr(text + position, '\n', size_t(bytes - position)));
        if (end == nullptr) return false;
        int length = int(end - (text + position));
        if (!ReadKeptLine(text + position, length, state)) return false;
        position += length + 1;
    }
    return true;
}

static StateRead ReadState(const WideChar *path, FreshnessState *state) {
    state->count = 0;
    if (!PathEntryExists(path)) return StateNone;
    char text[StateFileLimitBytes];
    int bytes = ReadSmallFile(path, text, StateFileLimitBytes);
    if (bytes < 0 || !ParseStateText(text, bytes, state)) {
        state->count = 0;
        return StateDamaged;
    }
    return StateFound;
}

// Sets keyId's timestamp, its line moved to the end; when every line is in
// use, the first (raised longest ago) makes room.
static void RaiseKept(FreshnessState *state, const char *keyId, int64_t timestamp) {
    int index = FindKept(state, keyId);
    if (index < 0 && state->count == StateKeysMax) index = 0;
    if (index >= 0) {
        memmove(&state->kept[index], &state->kept[index + 1], size_t(state->count - index - 1) * sizeof(KeptTimestamp));
        state->count--;
    }
    KeptTimestamp *kept = &state->kept[state->count++];
    snprintf(kept->keyId, KeyIdTextBytes, "%s", keyId);
    kept->timestamp = timestamp;
}

// Writes state to path through a temporary beside it, durably; false when
// the file could not be replaced (the old one then stays as it was).
static bool WriteState(const WideChar *path, const FreshnessState *state) {
    char text[StateFileLimitBytes];
    int length = snprintf(text, sizeof text, "%s", StateHead);
    for (int i = 0; i < state->count; i++)
        length += snprintf(text + length, sizeof text - size_t(length), "%s %lld\n", state->kept[i].keyId,
                           static_cast<long long>(state->kept[i].timestamp));
    return ReplaceFileWithBytes(path, text, length);
}

bool ManifestIsFresh(const WideChar *gameFolder, const char *keyId, const TrustedTimes *offered, bool keep,
                     char *reason, char *notice) {
    notice[0] = 0;
    WideChar path[LocalPathUnits];
    bool havePath = BuildLocalPath(gameFolder, StateFileName, path);
    FreshnessState state;
    StateRead read = havePath ? ReadState(path, &state) : StateNone;
    if (!havePath) state.count = 0;
    if (read == StateDamaged)
        snprintf(notice, FreshnessReasonBytes,
                 "damaged or unreadable, read as empty: an older signed manifest is not refused this time");
    int index = FindKept(&state, keyId);
    FreshnessVerdict verdict = JudgeFreshness(offered, index >= 0, index >= 0 ? state.kept[index].timestamp : 0,
                                              WallClockSeconds(), reason);
    if (!verdict.accepted) return false;
    if (keep && verdict.raise) {
        RaiseKept(&state, keyId, offered->timestamp);
        if (!havePath || !WriteState(path, &state))
            snprintf(notice, FreshnessReasonBytes,
                     "could not be written: the timestamp of this manifest is not kept, so older ones are not refused");
    }
    return true;
}
