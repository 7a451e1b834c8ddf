// The step of a pass that decides whether a fetched manifest may be used.
// With a manifest key configured (launcher.ini's ManifestKey, else the
// build's), the minisign signature published beside the manifest is fetched
// and the manifest is used only when it verifies; without a key nothing is
// fetched and every manifest is used. Platform-neutral over the http seam.
#pragma once
#include <cstddef>

#include "base/state.h"  // the URL and key sizes

constexpr int SignatureUrlUnits = PatchUrlUnits + 16;  // the manifest URL with "/.minisig" added
constexpr int SignatureReasonBytes = SignatureUrlUnits * 3 + 128;  // a reason may name the URL

// The signature's URL: ".minisig" appended to the path of manifestUrl, a
// query kept after it, a fragment dropped (http://h/m.txt?v=3#x gives
// http://h/m.txt.minisig?v=3; a URL without a path gets "/.minisig").
// False when the result does not fit capacity units.
bool SignatureUrlOf(const WideChar *manifestUrl, WideChar *out, int capacity);

// Whether the manifest just fetched from manifestUrl (bytes long) may be
// used with manifestKey (a minisign public key line; "" accepts every
// manifest); when not, reason (SignatureReasonBytes) says why in a few
// words. A key that does not parse refuses every manifest.
bool ManifestSignatureAccepted(const WideChar *manifestUrl, const WideChar *manifestKey, const char *manifest,
                               size_t bytes, char *reason);
