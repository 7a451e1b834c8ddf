// Fetching a manifest's minisign signature from beside it and checking the
// manifest against the configured key. Anything short of a signature that
// holds refuses the manifest: no signature, an HTTP error, a file over
// 4 KiB, another key, a changed byte or a changed trusted comment.
// Platform-neutral over the http seam.
#include "patch/manifest_signature.h"

#include <cstdio>
#include <cstring>

#include "patch/download.h"
#include "patch/signature.h"
#include "platform/http.h"

static const WideChar SignatureSuffix[] = WTEXT(".minisig");

bool SignatureUrlOf(const WideChar *manifestUrl, WideChar *out, int capacity) {
    int end = 0;  // the fragment, if any, is left out
    while (manifestUrl[end] != 0 && manifestUrl[end] != '#') end++;
    int query = 0;
    while (query < end && manifestUrl[query] != '?') query++;
    // The path begins at the first '/' after "scheme://" (what has no
    // "scheme://" at all is taken as a path).
    int scheme = 0;
    while (scheme + 2 < query &&
           !(manifestUrl[scheme] == ':' && manifestUrl[scheme + 1] == '/' && manifestUrl[scheme + 2] == '/'))
        scheme++;
    bool hasPath = scheme + 2 >= query;
    for (int i = scheme + 3; i < query && !hasPath; i++) hasPath = manifestUrl[i] == '/';
    const WideChar *suffix = hasPath ? SignatureSuffix : WTEXT("/.minisig");
    int suffixUnits = TextLength(suffix);
    if (end + suffixUnits + 1 > capacity) return false;
    int n = 0;
    for (int i = 0; i < query; i++) out[n++] = manifestUrl[i];
    for (int i = 0; i < suffixUnits; i++) out[n++] = suffix[i];
    for (int i = query; i < end; i++) out[n++] = manifestUrl[i];
    out[n] = 0;
    return true;
}

// Fetches the signature file at url into file (SignatureFileLimitBytes + 1
// bytes), with the limits every transfer has. SignatureOk with *bytes set,
// SignatureTooLarge, or SignatureUnavailable with what went wrong in
// detail (detailBytes).
static SignatureCheck FetchSignatureFile(const WideChar *url, char *file, size_t *bytes, char *detail,
                                         int detailBytes) {
    HttpRoot *root = HttpOpenRoot();
    if (root == nullptr) {
        snprintf(detail, size_t(detailBytes), "no HTTP client");
        return SignatureUnavailable;
    }
    HttpResponseInfo info;
    HttpFailure failure = HttpOk;
    HttpRequest *request = HttpOpenUrlWith(root, url, nullptr, &info, &failure);
    SignatureCheck check = SignatureOk;
    size_t used = 0;
    if (request == nullptr) {
        snprintf(detail, size_t(detailBytes), "%s", HttpFailureText(failure));
        check = SignatureUnavailable;
    } else if (info.status < 200 || info.status > 299) {
        snprintf(detail, size_t(detailBytes), "HTTP %d", info.status);
        check = SignatureUnavailable;
    } else if (info.contentLength > SignatureFileLimitBytes) {
        check = SignatureTooLarge;
    } else {
        const size_t capacity = size_t(SignatureFileLimitBytes) + 1;  // one byte more tells "too large"
        while (used < capacity) {
            int received = 0;
            if (!HttpRead(request, file + used, int(capacity - used), &received)) {
                snprintf(detail, size_t(detailBytes), "%s", HttpFailureText(HttpReadFailure(request)));
                check = SignatureUnavailable;
                break;
            }
            if (received == 0) break;
            used += size_t(received);
        }
        if (check == SignatureOk && used > size_t(SignatureFileLimitBytes)) check = SignatureTooLarge;
        if (check == SignatureOk && info.contentLength >= 0 && int64_t(used) != info.contentLength) {
            snprintf(detail, size_t(detailBytes), "cut short");
            check = SignatureUnavailable;
        }
    }
    if (request != nullptr) HttpCloseRequest(request);
    HttpCloseRoot(root);
    *bytes = used;
    return check;
}

// The whole check of one manifest against the configured key; the reason
// for a refusal goes to reason (SignatureReasonBytes).
static SignatureCheck VerifyManifest(const char *manifest, size_t bytes, char *reason) {
    char keyText[ManifestKeyUnits * 3];
    ManifestPublicKey key;
    if (!TextToUtf8(g_state.manifestKey, keyText, int(sizeof keyText)) ||
        ParsePublicKeyLine(keyText, strlen(keyText), &key) != SignatureOk) {
        snprintf(reason, SignatureReasonBytes, "%s", SignatureCheckText(SignatureKeyMalformed));
        return SignatureKeyMalformed;
    }
    WideChar url[SignatureUrlUnits];
    char urlText[SignatureUrlUnits * 3];
    if (!SignatureUrlOf(g_state.patchUrl, url, SignatureUrlUnits) ||
        !TextToUtf8(url, urlText, int(sizeof urlText))) {
        snprintf(reason, SignatureReasonBytes, "%s (its URL is too long)", SignatureCheckText(SignatureUnavailable));
        return SignatureUnavailable;
    }
    char file[SignatureFileLimitBytes + 1];
    size_t fileBytes = 0;
    char detail[64] = "";
    SignatureCheck check = FetchSignatureFile(url, file, &fileBytes, detail, int(sizeof detail));
    ManifestSignature signature;
    if (check == SignatureOk) check = ParseSignatureFile(file, fileBytes, &signature);
    if (check == SignatureOk) check = CheckManifestSignature(&key, &signature, manifest, bytes);
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

bool ManifestSignatureAccepted(const char *manifest, size_t bytes, char *reason) {
    reason[0] = 0;
    return g_state.manifestKey[0] == 0 || VerifyManifest(manifest, bytes, reason) == SignatureOk;
}
