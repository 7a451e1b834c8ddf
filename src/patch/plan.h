// The decisions of a pass, as pure functions: what one manifest entry calls
// for, what one answer to a download request means, and which entries name
// the same local file. The pass and the download around them only carry
// these decisions out, so every rule is tested here with case tables.
// Platform-neutral and free of I/O.
#pragma once
#include <cstdint>

#include "patch/local_path.h"
#include "patch/manifest.h"
#include "platform/files.h"
#include "platform/http.h"

constexpr int ReasonBytes = 96;  // a failure's reason, terminator included

// What the pass does with one entry.
enum PlanAction {
    PlanInPlace,             // the file is as listed: nothing to do
    PlanDiffers,             // Check: the file differs (or the entry is unusable); only counted
    PlanRefused,             // Patch: an error with a reason; nothing is created for it
    PlanDownload,            // Patch: fetch the file
    PlanVerify,              // Check --verify: hash the file; it differs when the hash does
    PlanVerifyThenDownload,  // Patch --verify: hash the file, fetch it when the hash differs
    PlanRemove,              // Patch: remove the regular file listed with -1 (and its download leftovers)
};

struct EntryFacts {
    int mode;                     // Check or Patch (any non-zero value)
    bool verify;                  // hash present files of the right size whose entry has a SHA-256
    const ManifestEntry *entry;   // the parsed line
    bool pathUsable;              // fields fit, the path is safe, no temporary's name, the local path fits
    int64_t sizeOnDisk;           // bytes; -1 when nothing readable is there
    // Looked at for entries listed with -1 only:
    PathKind kind;                // what is at the local path itself (a link there is not followed)
    bool isLauncherIni;           // the path is launcher.ini at the top of the game folder
    bool isRunningProgram;        // the path is the running program's own file
    // The hash cache's word on a present file of the listed size whose entry
    // has a SHA-256: known when the file is as it was when last hashed.
    bool hashKnown;
    bool hashMatches;             // known, and that hash is the manifest's
};

struct EntryPlan {
    PlanAction action;
    bool differs;        // counted as differing (the closing message's count)
    const char *reason;  // PlanRefused: why, in a few words; otherwise nullptr
};

// Why a hashed file of the right size differs (from the hash cache, or
// once a worker read the file).
constexpr char HashDiffersWhy[] = "SHA-256 differs";

// Why an entry differs, in a few words, into why (ReasonBytes): "missing",
// "size 10, manifest says 12", "must not exist" (something is at a path
// listed with -1), HashDiffersWhy when the hash cache knows the content
// differs, or an unusable entry's reason, the one PlanEntry refuses it with
// in Patch. Empty when the size on disk is as listed and nothing is known
// against the content (a hash still to be read decides later).
void DescribeDifference(const EntryFacts *facts, char *why);

// Decides an entry. A file of the listed size whose entry has a SHA-256 is
// hashed unless the hash cache knows its content (always with verify): a
// known content decides at once, in place or differing. An unusable entry (bad path, fields that do not fit, a
// fragment that is not a SHA-256) differs; in Patch it is an error. Only
// sizes of 0 or more can be installed; any negative size but -1 is an
// error in Patch. -1 means "must be absent": anything at the path differs,
// and Patch removes it when it is a regular file. A folder, a link,
// anything else that is no regular file, launcher.ini and the running
// program are never removed: each is an error with its reason.
EntryPlan PlanEntry(const EntryFacts *facts);

// What a download does with the answer it got.
enum AnswerAction {
    AnswerWhole,      // a whole body: write it from the start (a kept part is dropped)
    AnswerResume,     // the rest of the kept part's version: append it
    AnswerStartOver,  // drop the kept part; the next attempt asks for the whole file
    AnswerRetry,      // a failure that may pass: try again after a wait
    AnswerFail,       // a final failure
};

struct AnswerFacts {
    bool answered;                  // a response head arrived
    HttpFailure failure;            // when not: why
    const HttpResponseInfo *info;   // when it did
    int64_t have;                   // bytes of a kept part the request asked to go on from; 0 for none
    const char *validatorSent;      // the If-Range sent with it ("" for none)
    int64_t expectedSize;           // the manifest's size
};

struct AnswerVerdict {
    AnswerAction action;
    int64_t waitMs;             // AnswerRetry: the server's Retry-After (capped), -1 for the usual back-off
    char reason[ReasonBytes];   // AnswerStartOver, AnswerRetry, AnswerFail: why
};

constexpr int64_t RetryAfterLimitMs = 30000;  // a longer Retry-After is cut to this

// Classifies an answer. A 206 is appended only when it goes on exactly
// where the kept part ends, ends at the manifest's size and names the same
// version (its ETag or Last-Modified equals the validator sent); any other
// 206 means the kept part is dropped and the file fetched whole, so two
// versions are never spliced. A failed connect, a silence, a cut, 408, 429
// and 5xx may pass; everything else is final.
AnswerVerdict ClassifyAnswer(const AnswerFacts *facts);

// Why a transfer failed, in a few words (at most 48 characters).
const char *HttpFailureText(HttpFailure failure);

// The key under which two local paths name one file: repeated separators
// collapsed into one and, where file names ignore letter case (Windows),
// letters folded to one case. key holds LocalPathUnits units.
void BuildPathKey(const WideChar *localPath, WideChar *key);

// Whether two keys name one file, or one names a folder on the other's way
// (a file "a" and a file "a/b" cannot both be installed, and which one
// wins must not depend on timing).
bool PathKeysCollide(const WideChar *a, const WideChar *b);
