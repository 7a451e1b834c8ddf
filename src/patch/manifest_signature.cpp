// Fetching a manifest's minisign signature from beside it and checking the
// manifest against the configured key. Anything short of a signature that
// holds refuses the manifest: no signature, an HTTP error, a file over
// 4 KiB, another key, a changed byte or a changed trusted comment; and so
// does a signed manifest that is not fresh (patch/freshness).
// Platform-neutral over the http and files seams.
#include "patch/manifest_signature.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "patch/fetch.h"
#include "patch/freshness.h"
#include "patch/signature.h"
#include "platform/http.h"

static const WideChar SignatureSuffix[] = WTEXT(".minisig");

bool UrlWithPathSuffix(const WideChar *url, const WideChar *suffix, WideChar *out, int capacity) {
    int end = 0;  // the fragment, if any, is left out
    while (url[end] != 0 && url[end] != '#') end++;
    int query = 0;
    while (query < end && url[query] != '?') query++;
    // The path begins at the first '/' after "scheme://" (what has no
    // "scheme://" at all is taken as a path).
    int scheme = 0;
    while (scheme + 2 < query && !(url[scheme] == ':' && url[scheme + 1] == '/' && url[scheme + 2] == '/')) scheme++;
    bool hasPath = scheme + 2 >= query;
    for (int i = scheme + 3; i < query && !hasPath; i++) hasPath = url[i] == '/';
    int suffixUnits = TextLength(suffix);
    if (end + suffixUnits + (hasPath ? 1 : 2) > capacity) return false;
    int n = 0;
    for (int i = 0; i < query; i++) out[n++] = url[i];
    if (!hasPath) out[n++] = '/';
    for (int i = 0; i < suffixUnits; i++) out[n++] = suffix[i];
    for (int i = query; i < end; i++) out[n++] = url[i];
    out[n] = 0;
    return true;
}

bool SignatureUrlOf(const WideChar *manifestUrl, WideChar *out, int capacity) {
    return UrlWithPathSuffix(manifestUrl, SignatureSuffix, out, capacity);
}

// Fetches the signature file at url into *file (free it), with the limits
// every transfer has. SignatureOk with *bytes set, SignatureTooLarge, or
// SignatureUnavailable with what went wrong in detail (ReasonBytes).
static SignatureCheck FetchSignatureFile(const WideChar *url, char **file, size_t *bytes, char *detail) {
    int status = 0;
    FetchResult result = FetchWhole(url, SignatureFileLimitBytes, file, bytes, &status, detail);
    if (result == FetchTooLarge) return SignatureTooLarge;
    if (result == FetchOk) return SignatureOk;
    if (status != 0 && (status < 200 || status > 299)) snprintf(detail, ReasonBytes, "HTTP %d", status);
    return SignatureUnavailable;
}

// The whole check of one manifest's signature against the configured key;
// the reason for a refusal goes to reason (SignatureReasonBytes). When it
// holds: the signing key's id and the times its trusted comment signs.
static SignatureCheck VerifyManifest(const WideChar *manifestUrl, const WideChar *manifestKey, const char *manifest,
                                     size_t bytes, char *reason, char keyId[KeyIdTextBytes], TrustedTimes *times) {
    char keyText[ManifestKeyUnits * 3];
    ManifestPublicKey key;
    if (!TextToUtf8(manifestKey, keyText, int(sizeof keyText)) ||
        ParsePublicKeyLine(keyText, strlen(keyText), &key) != SignatureOk) {
        snprintf(reason, SignatureReasonBytes, "%s", SignatureCheckText(SignatureKeyMalformed));
        return SignatureKeyMalformed;
    }
    WideChar url[SignatureUrlUnits];
    char urlText[SignatureUrlUnits * 3];
    if (!SignatureUrlOf(manifestUrl, url, SignatureUrlUnits) ||
        !TextToUtf8(url, urlText, int(sizeof urlText))) {
        snprintf(reason, SignatureReasonBytes, "%s (its URL is too long)", SignatureCheckText(SignatureUnavailable));
        return SignatureUnavailable;
    }
    char *file = nullptr;
    size_t fileBytes = 0;
    char detail[ReasonBytes] = "";
    SignatureCheck check = FetchSignatureFile(url, &file, &fileBytes, detail);
    ManifestSignature signature;
    if (check == SignatureOk) check = ParseSignatureFile(file, fileBytes, &signature);
    if (check == SignatureOk) check = CheckManifestSignature(&key, &signature, manifest, bytes);
    if (check == SignatureOk)
        check = ParseTrustedTimes(reinterpret_cast<const char *>(signature.signatureAndComment) + Ed25519SignatureBytes,
                                  signature.trustedCommentBytes, times);
    free(file);
    FormatKeyId(key.keyId, keyId);
    if (check == SignatureUnavailable) {
        snprintf(reason, SignatureReasonBytes, "%s from %s (%s)", SignatureCheckText(check), urlText, detail);
    } else if (check == SignatureKeyIdDiffers) {
        char signedBy[KeyIdTextBytes], expected[KeyIdTextBytes];
        FormatKeyId(signature.keyId, signedBy);
        FormatKeyId(key.keyId, expected);
        snprintf(reason, SignatureReasonBytes, "%s (key id %s, the configured key's is %s)",
                 SignatureCheckText(check), signedBy, expected);
    } else {
        snprintf(reason, SignatureReasonBytes, "%s", SignatureCheckText(check));
    }
    return check;
}

static_assert(FreshnessReasonBytes <= SignatureReasonBytes, "a freshness reason fits a signature reason");

bool ManifestSignatureAccepted(const PassSettings *settings, const PassReports *reports, const char *manifest,
                               size_t bytes, char *reason) {
    reason[0] = 0;
    if (settings->manifestKey[0] == 0) return true;
    char keyId[KeyIdTextBytes];
    TrustedTimes times;
    if (VerifyManifest(settings->manifestUrl, settings->manifestKey, manifest, bytes, reason, keyId, &times) !=
        SignatureOk)
        return false;
    char notice[FreshnessReasonBytes];
    bool fresh = ManifestIsFresh(settings->gameFolder, keyId, &times, settings->mode != Check, reason, notice);
    if (notice[0] != 0 && reports->fileFailed != nullptr) reports->fileFailed(reports->context, StateFileName, notice);
    return fresh;
}
