// One bounded fetch for the manifest and its signature. The buffer holds a
// body of announced length whole; otherwise it starts at 64 KiB (or the
// limit) and doubles, keeping 4 KiB free before each read.
#include "patch/fetch.h"

#include <cstdio>
#include <cstdlib>

#include "patch/download.h"
#include "platform/files.h"
#include "platform/http.h"

constexpr int64_t FetchFirstBytes = 65536;
constexpr int64_t FetchFreeBytes = 4096;

static FetchResult Failed(char *why, const char *reason) {
    snprintf(why, ReasonBytes, "%s", reason);
    return FetchFailed;
}

// Reads the body into a growing block; *text is null unless it all came.
static FetchResult ReadBody(HttpRequest *request, int64_t contentLength, int64_t limitBytes, char **text,
                            size_t *bytes, char *why) {
    if (contentLength > limitBytes) return FetchTooLarge;
    int64_t capacity = limitBytes + 1 < FetchFirstBytes ? limitBytes + 1 + FetchFreeBytes : FetchFirstBytes;
    // A body of known length gets its whole block at once (no copy as it
    // grows); one of unknown length grows by doubling.
    if (contentLength >= 0 && contentLength + 1 + FetchFreeBytes > capacity) capacity = contentLength + 1 + FetchFreeBytes;
    int64_t used = 0;
    char *block = static_cast<char *>(AllocateBlockForFilling(size_t(capacity)));
    FetchResult result = block != nullptr ? FetchOk : Failed(why, "out of memory");
    while (result == FetchOk) {
        int received = 0;
        if (!HttpRead(request, block + used, int(capacity - 1 - used), &received))
            result = Failed(why, HttpFailureText(HttpReadFailure(request)));
        else if (received == 0) break;
        used += received;
        if (result == FetchOk && used > limitBytes) result = FetchTooLarge;
        if (result == FetchOk && used + FetchFreeBytes >= capacity) {
            char *grown = static_cast<char *>(realloc(block, size_t(capacity * 2)));
            if (grown == nullptr) result = Failed(why, "out of memory");
            else block = grown, capacity *= 2;
        }
    }
    if (result == FetchOk && contentLength >= 0 && used != contentLength)
        result = Failed(why, "the body ended before its announced length");
    if (result != FetchOk) {
        free(block);
        return result;
    }
    block[used] = 0;
    *text = block;
    *bytes = size_t(used);
    return FetchOk;
}

FetchResult FetchWhole(const WideChar *url, int64_t limitBytes, char **body, size_t *bytes, int *status, char *why,
                       bool *multiplexed) {
    *body = nullptr;
    if (multiplexed != nullptr) *multiplexed = false;
    *bytes = 0;
    *status = 0;
    why[0] = 0;
    WideChar prepared[RequestUrlUnits];
    const char *refusal = PrepareDownloadUrl(url, prepared);
    if (refusal != nullptr) return Failed(why, refusal);
    HttpRoot *root = HttpOpenRoot();
    if (root == nullptr) return Failed(why, "no HTTP session");
    HttpResponseInfo info;
    HttpFailure failure = HttpOk;
    HttpRequest *request = HttpOpenUrlWith(root, prepared, nullptr, &info, &failure);
    FetchResult result = FetchOk;
    if (request == nullptr) {
        result = Failed(why, HttpFailureText(failure));
    } else {
        *status = info.status;
        if (multiplexed != nullptr) *multiplexed = info.multiplexed;
        if (info.status < 200 || info.status > 299) {
            snprintf(why, ReasonBytes, "HTTP status %d", info.status);
            result = FetchFailed;
        } else {
            result = ReadBody(request, info.contentLength, limitBytes, body, bytes, why);
        }
        HttpCloseRequest(request);
    }
    HttpCloseRoot(root);
    if (result == FetchTooLarge)
        snprintf(why, ReasonBytes, "the body is over %lld bytes", static_cast<long long>(limitBytes));
    return result;
}
