// The step of a pass that decides whether a fetched manifest may be used.
// With a manifest key configured (launcher.ini's ManifestKey, else the
// build's), the minisign signature published beside the manifest is fetched
// and the manifest is used only when it verifies; without a key nothing is
// fetched and every manifest is used. A signed manifest must also be fresh
// (patch/freshness): not older than one already applied with the key, and
// not past its expiry. Platform-neutral over the http and files seams.
#pragma once
#include <cstddef>

#include "base/state.h"  // the URL and key sizes
#include "patch/engine.h"

constexpr int SignatureUrlUnits = PatchUrlUnits + 16;  // the manifest URL with "/.minisig" added
constexpr int SignatureReasonBytes = SignatureUrlUnits * 3 + 128;  // a reason may name the URL

// The signature's URL: ".minisig" appended to the path of manifestUrl, a
// query kept after it, a fragment dropped (http://h/m.txt?v=3#x gives
// http://h/m.txt.minisig?v=3; a URL without a path gets "/.minisig").
// False when the result does not fit capacity units.
bool SignatureUrlOf(const WideChar *manifestUrl, WideChar *out, int capacity);
// The same for any suffix (a file's chunk index is at its URL with
// ".chunks" added this way).
bool UrlWithPathSuffix(const WideChar *url, const WideChar *suffix, WideChar *out, int capacity);

// Whether the manifest just fetched from settings' manifestUrl (bytes long)
// may be used with settings' manifestKey (a minisign public key line; ""
// accepts every manifest); when not, reason (SignatureReasonBytes) says why
// in a few words. A key that does not parse refuses every manifest. A pass
// that patches raises the game folder's launcher.state to the accepted
// manifest's timestamp; a state file that is damaged or cannot be written
// is told through reports' fileFailed, under its name, and the pass goes on.
bool ManifestSignatureAccepted(const PassSettings *settings, const PassReports *reports, const char *manifest,
                               size_t bytes, char *reason);
