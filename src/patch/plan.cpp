// The pass's decisions: an entry's plan, an answer's meaning, and the key
// that tells when two entries name one local file. Pure; see plan.h.
#include "patch/plan.h"

#include <cstdio>
#include <cstring>

static const char FragmentRefusedText[] = "the URL's fragment is not #sha256= and 64 lowercase hex digits";

// An entry listed with -1 whose path is usable.
static EntryPlan PlanAbsence(const EntryFacts *facts, bool patch) {
    if (facts->kind == PathAbsent) return EntryPlan{PlanInPlace, false, nullptr};
    if (!patch) return EntryPlan{PlanDiffers, true, nullptr};
    const char *refusal = facts->isLauncherIni              ? "launcher.ini is never removed"
                          : facts->isRunningProgram         ? "the running program is never removed"
                          : facts->kind == PathFolder       ? "a folder is never removed"
                          : facts->kind == PathLink         ? "a link is never removed"
                          : facts->kind != PathRegularFile  ? "only a regular file is removed"
                                                            : nullptr;
    return refusal != nullptr ? EntryPlan{PlanRefused, true, refusal} : EntryPlan{PlanRemove, true, nullptr};
}

static const char NegativeSizeText[] = "the manifest gives a negative size";

// Why an entry cannot be used at all, or nullptr when it can.
static const char *UnusableReason(const EntryFacts *facts) {
    return !facts->entry->fragmentUsable ? FragmentRefusedText : !facts->pathUsable ? "refused path" : nullptr;
}

// Whether the hash cache decides a file of the listed size (verify asks
// for every hash to be read again).
static bool KnownByCache(const EntryFacts *facts) {
    return facts->hashKnown && !facts->verify && facts->entry->hasSha256;
}

EntryPlan PlanEntry(const EntryFacts *facts) {
    const ManifestEntry *entry = facts->entry;
    bool patch = facts->mode != Check;
    const char *refusal = UnusableReason(facts);
    if (refusal != nullptr) return patch ? EntryPlan{PlanRefused, true, refusal} : EntryPlan{PlanDiffers, true, nullptr};

    if (entry->expectedSize == -1) return PlanAbsence(facts, patch);
    if (facts->sizeOnDisk == entry->expectedSize) {
        if (!entry->hasSha256 || entry->expectedSize < 0 || (KnownByCache(facts) && facts->hashMatches))
            return EntryPlan{PlanInPlace, false, nullptr};
        if (!KnownByCache(facts)) return EntryPlan{patch ? PlanVerifyThenDownload : PlanVerify, false, nullptr};
        return EntryPlan{patch ? PlanDownload : PlanDiffers, true, nullptr};
    }
    if (!patch) return EntryPlan{PlanDiffers, true, nullptr};
    if (entry->expectedSize >= 0) return EntryPlan{PlanDownload, true, nullptr};
    return EntryPlan{PlanRefused, true, NegativeSizeText};
}

void DescribeDifference(const EntryFacts *facts, char *why) {
    int64_t expected = facts->entry->expectedSize, onDisk = facts->sizeOnDisk;
    const char *reason = UnusableReason(facts);
    if (reason == nullptr && expected == -1) reason = facts->kind == PathAbsent ? "" : "must not exist";
    if (reason == nullptr && onDisk == expected) reason = KnownByCache(facts) && !facts->hashMatches ? HashDiffersWhy : "";
    if (reason == nullptr && expected < 0) reason = NegativeSizeText;
    if (reason == nullptr && onDisk < 0) reason = "missing";
    if (reason != nullptr && reason[0] == 0) why[0] = 0;  // the usual case, without formatting
    else if (reason != nullptr) snprintf(why, ReasonBytes, "%s", reason);
    else snprintf(why, ReasonBytes, "size %lld, manifest says %lld", (long long)onDisk, (long long)expected);
}

const char *HttpFailureText(HttpFailure failure) {
    switch (failure) {
    case HttpFailedUrl: return "not an http or https URL, or too many redirects";
    case HttpFailedConnect: return "could not connect to the server";
    case HttpFailedTimeout: return "timed out: no data for too long";
    case HttpFailedTooSlow: return "the server is too slow (its answer trickles)";
    case HttpFailedCut: return "the connection broke before the body's end";
    case HttpFailedEncoded: return "the server sent an encoded body";
    default: return "the transfer failed";
    }
}

static bool IsTransientStatus(int status) { return status == 408 || status == 429 || (status >= 500 && status <= 599); }

static bool IsTransientFailure(HttpFailure failure) {
    return failure == HttpFailedConnect || failure == HttpFailedTimeout || failure == HttpFailedCut;
}

static AnswerVerdict Verdict(AnswerAction action, const char *reason) {
    AnswerVerdict verdict;
    verdict.action = action;
    verdict.waitMs = -1;
    snprintf(verdict.reason, sizeof verdict.reason, "%s", reason);
    return verdict;
}

// Whether a 206 names the version the kept part came from: the validator
// sent was a strong ETag (quoted) or a Last-Modified date, and the answer
// must carry the same one. An answer without it proves nothing.
static bool SameVersion(const char *validatorSent, const HttpResponseInfo *info) {
    const char *answered = validatorSent[0] == '"' ? info->etag : info->lastModified;
    return validatorSent[0] != 0 && strcmp(answered, validatorSent) == 0;
}

AnswerVerdict ClassifyAnswer(const AnswerFacts *facts) {
    if (!facts->answered)
        return Verdict(IsTransientFailure(facts->failure) ? AnswerRetry : AnswerFail, HttpFailureText(facts->failure));
    const HttpResponseInfo *info = facts->info;
    char status[ReasonBytes];
    snprintf(status, sizeof status, "HTTP status %d", info->status);
    if (info->status == 206 && facts->have > 0) {
        if (info->rangeFirst != facts->have || info->rangeTotal != facts->expectedSize)
            return Verdict(AnswerStartOver, "the server resumed at another place");
        if (!SameVersion(facts->validatorSent, info))
            return Verdict(AnswerStartOver, "the server resumed another version of the file");
        return Verdict(AnswerResume, "");
    }
    if (info->status >= 200 && info->status <= 299 && info->status != 206) return Verdict(AnswerWhole, "");
    if (info->status == 416) return Verdict(AnswerStartOver, status);  // the kept part does not fit the file
    if (!IsTransientStatus(info->status)) return Verdict(AnswerFail, status);
    AnswerVerdict verdict = Verdict(AnswerRetry, status);
    int64_t seconds = info->retryAfterSeconds;
    if (seconds >= 0) verdict.waitMs = seconds < RetryAfterLimitMs / 1000 ? seconds * 1000 : RetryAfterLimitMs;
    return verdict;
}

// Upper case of the letters file systems that ignore case fold: Latin,
// Greek and Cyrillic. Other characters stay as they are.
static WideChar FoldLetter(WideChar c) {
    unsigned u = c;
    if ((u >= 'a' && u <= 'z') || (u >= 0xE0 && u <= 0xFE && u != 0xF7) || (u >= 0x3B1 && u <= 0x3CB && u != 0x3C2) ||
        (u >= 0x430 && u <= 0x44F))
        return WideChar(u - 0x20);
    if (u == 0xFF) return WideChar(0x178);
    if (u == 0x3C2) return WideChar(0x3A3);
    if (u >= 0x450 && u <= 0x45F) return WideChar(u - 0x50);
    // Latin Extended-A pairs: upper case first, except in 0x139-0x148 and 0x179-0x17E.
    bool oddUpper = (u >= 0x139 && u <= 0x148) || (u >= 0x179 && u <= 0x17E);
    if (u >= 0x100 && u <= 0x17F && u != 0x130 && u != 0x131 && u != 0x138 && u != 0x149 && u != 0x178 &&
        (oddUpper ? u % 2 == 0 : u % 2 == 1))
        return WideChar(u - 1);
    return c;
}

void BuildPathKey(const WideChar *localPath, WideChar *key) {
    constexpr bool IgnoreCase = PathSeparator == '\\';  // Windows file names ignore case
    int n = 0;
    for (int i = 0; localPath[i] != 0 && n < LocalPathUnits - 1; i++) {
        WideChar c = localPath[i] == '/' || localPath[i] == '\\' ? WideChar(PathSeparator) : localPath[i];
        if (c == PathSeparator && n > 0 && key[n - 1] == PathSeparator && i > 1) continue;
        key[n++] = IgnoreCase ? FoldLetter(c) : c;
    }
    key[n] = 0;
}

bool PathKeysCollide(const WideChar *a, const WideChar *b) {
    if (a[0] == 0 || b[0] == 0) return false;  // an unusable entry names no file
    int i = 0;
    while (a[i] != 0 && a[i] == b[i]) i++;
    if (a[i] == b[i]) return true;  // the same path
    // One ends where the other goes on into a folder of that name.
    return (a[i] == 0 && b[i] == PathSeparator) || (b[i] == 0 && a[i] == PathSeparator);
}
