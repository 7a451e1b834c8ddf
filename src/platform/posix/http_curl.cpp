// HTTP backend for Linux: the http seam over libcurl, pull-style GETs for
// the patch engine.
// An http request is an easy handle inside its thread's multi handle, so
// requests on different workers never wait for each other, and each worker
// keeps its connection alive in that multi's cache from one file of a pass
// to the next; such a multi is only driven inside HttpOpenUrlWith and
// HttpRead. An https request joins the one multi of the process instead,
// driven by a thread of its own, so that requests of every worker can share
// a connection: over HTTP/2 they become streams of one connection (one
// handshake, one CA store), each request waiting for a connection that can
// carry it rather than opening another; over HTTP/1.1 each still has a
// connection of its own. One process-wide share handle adds common name
// lookups and TLS sessions, and SSL_CERT_FILE, when set, names the CA
// bundle to trust instead of the system's. Reads are pulled: body bytes
// wait in a fixed staging buffer, and a transfer that outruns the reader is
// paused until the buffer is drained. Ranges, If-Range and the final response's validators,
// Content-Range and Retry-After are for resuming and retrying.
// The URL curl is given is HttpPrepareUrl's, so curl neither escapes nor
// refuses anything the WinINet backend would send differently.
// The time limits of http.h are kept here while the multi is driven: curl
// itself bounds connecting and (roughly) silence; the head's time and size
// and the body's rate floor, shared with every other body being received,
// are checked by this file.
// Leaves out: content encodings (identity is asked for, anything else is
// refused, so bodies arrive byte-exact), uploads, authentication.
// A request is used only on the thread that opened it; the share handle
// takes its own locks. The fields of an https request are guarded by the
// shared multi's lock, which its driving thread holds whenever it runs
// curl, so callbacks need no lock of their own; the opening thread hands
// curl calls (adding, resuming, detaching, freeing) to that thread.
//
// The divisions of this file, in order:
//   - state and limits: the request record, the share handle and its locks,
//     the thread multis, the shared multi, the limits in force;
//   - callbacks: the request going out, each response head line (status,
//     Location, codings, validators, Content-Range, Retry-After, the head's
//     size) and body bytes (staged, or the transfer paused);
//   - driving the multi: collecting finished transfers, failing one, the
//     shared multi's thread, and running (or waiting for) the multi until a
//     request is ready or has failed, within the head's time and the rate
//     floor;
//   - the seam: HttpOpenRoot/HttpCloseRoot, request set-up (agent, identity
//     encoding, no-cache headers, range, redirects, proxy, limits), why a
//     transfer failed, HttpOpenUrlWith/HttpOpenUrl, HttpRead,
//     HttpReadFailure, HttpCloseRequest.
#include "platform/http.h"

#include <curl/curl.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>

#include <pthread.h>

#include "platform/test_hooks.h"

int g_httpTimeoutOverrideMs = 0;

// libcurl hands over at most HttpReceiveBufferBytes per callback; reading
// the socket in large pieces keeps system calls few on big files. The
// staging buffer must hold at least one such piece.
constexpr long HttpReceiveBufferBytes = 128 * 1024;
constexpr int HttpStagingBytes = 256 * 1024;  // bytes held between reads
static_assert(HttpStagingBytes >= HttpReceiveBufferBytes);
constexpr int HttpPollSliceMs = 1000;        // longest single wait in the multi
constexpr int HttpCachedConnections = 16;    // idle connections a multi keeps
constexpr long HttpMaxStreams = 100;         // requests at once over one multiplexed connection
constexpr int HttpSharedLingerMs = 5000;     // the shared multi outlives its last request this long,
                                             // keeping the connection for the next one

struct HttpRoot {
    int unused;  // connections live in each thread's multi handle
};

// Every field starts zeroed, the staging buffer excepted: it is written
// before it is read, and clearing it would cost every request 256 KiB of
// page faults.
struct HttpRequest {
    CURLM *multi{};         // the multi of the thread that opened the request (nullptr when shared)
    bool shared{};          // an https request: on the shared multi, driven by its thread
    CURL *easy{};
    curl_slist *headers{};
    HttpFailure failure{};  // why the transfer failed, once it did
    HttpResponseInfo info{};  // the response whose head is arriving (the final one once complete)
    HttpLimits limits{};    // in force since the request was opened
    bool inMulti{};         // still attached to the multi handle
    bool headComplete{};    // the final response's head has been received
    bool done{};            // the transfer has ended, result says how
    bool paused{};          // the write callback asked curl to hold a chunk
    bool discarding{};      // leaving the multi: the write callback refuses every byte
    CURLcode result{};
    int headStatus{};       // status of the response whose head is arriving
    bool headRedirects{};   // that response carries a Location to follow
    bool headEncoded{};     // that response's body is in a coding not asked for
    int headBytes{};        // head bytes of the current request, interim answers included
    int64_t sentMs{};       // monotonic time the current request went out, ms
    bool rateStarted{};     // the body's rate floor is being kept (and the body counts among those received)
    HttpRateWindow rate{};  // the body's rate floor, once rateStarted
    int64_t lastProgressMs{};  // monotonic time of the last byte received, ms
    char retryAfter[HttpValidatorBytes]{};  // the arriving head's Retry-After as sent, "" when none
    char date[HttpValidatorBytes]{};        // its Date, "" when none
    int64_t headLength{};   // the arriving head's Content-Length, -1 when none
    bool headTransferCoded{};  // it has a Transfer-Encoding (chunked): its Content-Length does not count
    bool headMultiplexed{}; // the arriving head came as HTTP/2 or later
    // What the opening thread asks of the shared multi's thread (shared
    // requests only), done in this order on its next round:
    bool wantAdd{};         // join the multi
    bool wantResume{};      // the staging buffer was emptied: resume the paused transfer
    bool wantDetach{};      // failed by the reader: leave the multi
    bool wantFree{};        // closed by the reader: leave the multi and be freed
    bool asking{};          // in the list of shared requests asking something
    HttpRequest *nextAsking{};  // the next in that list
    std::condition_variable moved;  // signalled when the head, body bytes or the end arrive (shared)
    int stagingStart{};     // first unread byte in staging
    int stagingEnd{};       // one past the last staged byte
    unsigned char staging[HttpStagingBytes];
};

// Everything this backend keeps besides the requests themselves.
struct CurlHttpState {
    CURLSH *share;                            // name lookups and TLS sessions for all; made once by InitCurlOnce
    const char *caFile;                       // SSL_CERT_FILE when set, else nullptr (the system's bundle)
    std::once_flag once;
    std::mutex shareLocks[CURL_LOCK_DATA_LAST];  // one per kind of shared data
};
static CurlHttpState s_http;

// A thread's multi handle, made on its first request and cleaned up, with
// the connections it keeps, when the thread ends. A request is used only on
// the thread that opened it.
struct ThreadMulti {
    CURLM *multi = nullptr;
    ~ThreadMulti() {
        if (multi != nullptr) curl_multi_cleanup(multi);
    }
};
static thread_local ThreadMulti t_multi;

static CURLM *ThreadMultiHandle() {
    if (t_multi.multi == nullptr) {
        t_multi.multi = curl_multi_init();
        if (t_multi.multi != nullptr) curl_multi_setopt(t_multi.multi, CURLMOPT_MAXCONNECTS, long(HttpCachedConnections));
    }
    return t_multi.multi;
}

// The multi of every https request, driven by its own thread while any
// request is in it (and HttpSharedLingerMs after). Made on first use and
// never destroyed, since its thread may still linger when the process ends.
struct SharedMulti {
    std::mutex lock;           // guards all of this and every shared request's fields
    std::condition_variable asked;  // a request asks something of the lingering thread
    CURLM *multi;              // while the driving thread runs, else nullptr
    HttpRequest *asking;       // requests with something for the thread to do
    int attached;              // requests in the multi
};

static SharedMulti &Shared() {
    static SharedMulti *shared = new SharedMulti();
    return *shared;
}

static int64_t MonotonicMs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

static void LockShare(CURL *, curl_lock_data data, curl_lock_access, void *) { s_http.shareLocks[data].lock(); }
static void UnlockShare(CURL *, curl_lock_data data, void *) { s_http.shareLocks[data].unlock(); }

// curl_global_init is not thread-safe and the share handle is for all, so
// both are made exactly once, whichever worker gets here first.
static void InitCurlOnce() {
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) return;
    const char *caFile = getenv("SSL_CERT_FILE");
    s_http.caFile = caFile != nullptr && caFile[0] != 0 ? caFile : nullptr;
    CURLSH *share = curl_share_init();
    if (share == nullptr) return;
    bool ok = curl_share_setopt(share, CURLSHOPT_LOCKFUNC, LockShare) == CURLSHE_OK &&
              curl_share_setopt(share, CURLSHOPT_UNLOCKFUNC, UnlockShare) == CURLSHE_OK &&
              curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS) == CURLSHE_OK &&
              curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION) == CURLSHE_OK;
    if (!ok) {
        curl_share_cleanup(share);
        return;
    }
    s_http.share = share;
}

static bool StartsWithNoCase(const char *text, size_t length, const char *prefix) {
    size_t n = strlen(prefix);
    if (length < n) return false;
    for (size_t i = 0; i < n; i++) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') c = char(c + 32);
        if (c != prefix[i]) return false;
    }
    return true;
}

// A request (the first or a redirect's) starts its head's time and size.
static void RequestGoesOut(HttpRequest *request) {
    request->sentMs = MonotonicMs();
    request->headBytes = 0;
}

#if LIBCURL_VERSION_NUM >= 0x075000
// Called once the connection is made, just before each request is sent.
static int ConnectionReady(void *user, char *, char *, int, int) {
    RequestGoesOut(static_cast<HttpRequest *>(user));
    return CURL_PREREQFUNC_OK;
}
#endif

// Whether a header line of length bytes names the header (lower case, with
// its colon); *value and *valueLength then give what follows the colon.
static bool HeaderIs(const char *line, size_t length, const char *name, const char **value, int *valueLength) {
    if (!StartsWithNoCase(line, length, name)) return false;
    size_t n = strlen(name);
    *value = line + n;
    *valueLength = int(length - n);
    return true;
}

// Sees every head line of every response on the way, redirects and interim
// 1xx answers included. The head is complete at the blank line of the first
// response that curl will neither follow nor replace: not 1xx, and not a 3xx
// carrying a Location (curl follows every such answer while it may). A head
// over its size limit fails the transfer (curl ends it when the callback
// takes less than it was given).
static size_t HeadLineArrived(char *line, size_t size, size_t count, void *user) {
    HttpRequest *request = static_cast<HttpRequest *>(user);
    size_t length = size * count;
    request->lastProgressMs = MonotonicMs();
    if (request->headComplete) return length;  // trailers of a chunked body
    request->headBytes += int(length);
    if (request->headBytes > HttpHeadLimitBytes) {
        request->failure = HttpFailedTooSlow;
        return 0;
    }

    const char *value = nullptr;
    int valueLength = 0;
    if (StartsWithNoCase(line, length, "http/")) {
        size_t i = 5;
        while (i < length && line[i] != ' ') i++;
        while (i < length && line[i] == ' ') i++;
        int status = 0;
        for (; i < length && line[i] >= '0' && line[i] <= '9'; i++) status = status * 10 + (line[i] - '0');
        request->headStatus = status;
        request->headRedirects = false;
        request->headEncoded = false;
        request->headLength = -1;
        request->headTransferCoded = false;
        request->headMultiplexed = length > 5 && line[5] >= '2' && line[5] <= '9';
        HttpResponseInfo fresh = {status, -1, -1, -1, -1, {0}, {0}, -1, false};
        request->info = fresh;
        request->retryAfter[0] = request->date[0] = 0;
    } else if (HeaderIs(line, length, "etag:", &value, &valueLength)) {
        HttpCopyHeaderValue(value, valueLength, request->info.etag);
    } else if (HeaderIs(line, length, "last-modified:", &value, &valueLength)) {
        HttpCopyHeaderValue(value, valueLength, request->info.lastModified);
    } else if (HeaderIs(line, length, "content-range:", &value, &valueLength)) {
        HttpResponseInfo *info = &request->info;
        if (!HttpParseContentRange(value, valueLength, &info->rangeFirst, &info->rangeLast, &info->rangeTotal))
            info->rangeFirst = info->rangeLast = info->rangeTotal = -1;
    } else if (HeaderIs(line, length, "retry-after:", &value, &valueLength)) {
        HttpCopyHeaderValue(value, valueLength, request->retryAfter);
    } else if (HeaderIs(line, length, "date:", &value, &valueLength)) {
        HttpCopyHeaderValue(value, valueLength, request->date);
    } else if (HeaderIs(line, length, "content-encoding:", &value, &valueLength)) {
        if (!HttpCodingsArePlain(value, valueLength, false)) request->headEncoded = true;
    } else if (HeaderIs(line, length, "content-length:", &value, &valueLength)) {
        int64_t announced = 0;
        int i = 0, digits = 0;
        while (i < valueLength && (value[i] == ' ' || value[i] == '\t')) i++;
        for (; i < valueLength && value[i] >= '0' && value[i] <= '9' && announced < (int64_t(1) << 58); i++, digits++)
            announced = announced * 10 + (value[i] - '0');
        if (digits > 0) request->headLength = announced;
    } else if (HeaderIs(line, length, "transfer-encoding:", &value, &valueLength)) {
        // A length beside a transfer coding does not count (and chunked
        // bodies carry none).
        request->headTransferCoded = true;
        if (!HttpCodingsArePlain(value, valueLength, true)) request->headEncoded = true;
    } else if (StartsWithNoCase(line, length, "location:")) {
        size_t i = 9;
        while (i < length && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r' || line[i] == '\n')) i++;
        if (i < length && request->headStatus >= 300 && request->headStatus < 400) request->headRedirects = true;
    } else if ((length == 2 && line[0] == '\r' && line[1] == '\n') || (length == 1 && line[0] == '\n')) {
        bool interim = request->headStatus >= 100 && request->headStatus < 200;
        if (!interim && !request->headRedirects) {
            request->headComplete = true;
            request->moved.notify_one();
        }
        // Without the connection callback, a followed redirect's next request
        // is taken to go out now.
        if (request->headRedirects) RequestGoesOut(request);
    }
    return length;
}

// Stages a body chunk. A chunk that does not fit behind the unread bytes is
// refused with a pause; curl keeps it and offers it again after HttpRead has
// emptied the buffer and resumed the transfer.
static size_t BodyArrived(char *data, size_t size, size_t count, void *user) {
    HttpRequest *request = static_cast<HttpRequest *>(user);
    size_t length = size * count;
    request->lastProgressMs = MonotonicMs();
    request->headComplete = true;  // curl passes on no body of a followed redirect
    if (length == 0 || request->discarding) return 0;
    if (length > size_t(HttpStagingBytes)) return 0;  // cannot ever fit: fail the transfer

    if (size_t(HttpStagingBytes - request->stagingEnd) < length && request->stagingStart > 0) {
        int unread = request->stagingEnd - request->stagingStart;
        memmove(request->staging, request->staging + request->stagingStart, size_t(unread));
        request->stagingStart = 0;
        request->stagingEnd = unread;
    }
    if (size_t(HttpStagingBytes - request->stagingEnd) < length) {
        request->paused = true;
        return CURL_WRITEFUNC_PAUSE;
    }
    memcpy(request->staging + request->stagingEnd, data, length);
    request->stagingEnd += int(length);
    if (request->rateStarted) HttpRateReceived(&request->rate, int64_t(length));
    request->moved.notify_one();
    return length;
}

// Why curl ended a transfer, in the seam's words.
static HttpFailure FailureOf(CURLcode code) {
    switch (code) {
    case CURLE_OK: return HttpOk;
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_URL_MALFORMAT:
    case CURLE_TOO_MANY_REDIRECTS: return HttpFailedUrl;
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT: return HttpFailedConnect;
    case CURLE_OPERATION_TIMEDOUT: return HttpFailedTimeout;
    case CURLE_PARTIAL_FILE:
    case CURLE_GOT_NOTHING:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM: return HttpFailedCut;
    default: return HttpFailedOther;
    }
}

// Marks every transfer of multi that curl reports as finished.
static void CollectFinished(CURLM *multi) {
    int left = 0;
    while (CURLMsg *message = curl_multi_info_read(multi, &left)) {
        if (message->msg != CURLMSG_DONE) continue;
        char *owner = nullptr;
        curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &owner);
        HttpRequest *request = reinterpret_cast<HttpRequest *>(owner);
        if (request == nullptr) continue;
        request->done = true;
        request->result = message->data.result;
        request->moved.notify_one();
        // A connect that runs out of time is a connection failure; curl's
        // low-speed limit ending a transfer that still got bytes within the
        // silence limit is a trickle, not a silence.
        if (request->failure != HttpOk) continue;  // told already, by a callback
        bool timedOut = request->result == CURLE_OPERATION_TIMEDOUT;
        if (timedOut && !request->headComplete && request->headBytes == 0)
            request->failure = HttpFailedConnect;
        else if (timedOut && MonotonicMs() - request->lastProgressMs < request->limits.idleMs)
            request->failure = HttpFailedTooSlow;
        else
            request->failure = FailureOf(request->result);
    }
}

// Hands what a shared request now asks to the shared multi's thread, which
// does it on its next round. Caller holds the shared lock.
static void AskSharedThread(HttpRequest *request) {
    SharedMulti &shared = Shared();
    if (!request->asking) {
        request->asking = true;
        request->nextAsking = shared.asking;
        shared.asking = request;
    }
    shared.asked.notify_one();
    if (shared.multi != nullptr) curl_multi_wakeup(shared.multi);
}

// Counts a transfer as failed for why, its staged bytes dropped.
static void MarkFailed(HttpRequest *request, CURLcode why) {
    if (request->failure == HttpOk) request->failure = FailureOf(why);
    request->done = true;
    request->result = why;
    request->stagingStart = request->stagingEnd = 0;
    request->moved.notify_one();
}

// Takes a transfer out of its multi. One that curl holds paused is let go
// first, into a write callback that refuses it: removed as it is, curl
// would keep the bytes it holds for it (over HTTP/2, megabytes) unfreed.
static void RemoveFromMulti(CURLM *multi, HttpRequest *request) {
    if (request->paused) {
        request->discarding = true;
        request->paused = false;
        (void)curl_easy_pause(request->easy, CURLPAUSE_CONT);
    }
    curl_multi_remove_handle(multi, request->easy);
    request->inMulti = false;
}

// Ends a transfer on our side: it leaves the multi and counts as failed.
// Caller holds the shared lock for a shared request.
static void FailRequest(HttpRequest *request, CURLcode why) {
    if (request->shared) {
        request->wantAdd = false;
        if (request->inMulti) {
            request->wantDetach = true;
            AskSharedThread(request);
        }
    } else if (request->inMulti) {
        RemoveFromMulti(request->multi, request);
    }
    MarkFailed(request, why);
}

// ---------------------------------------------------------------------------
// The shared multi's thread. Each round it does what requests asked (in the
// order join, resume, leave, free), runs curl with the lock held, so every
// callback may touch its request, and then waits for the sockets with the
// lock released. With no request left it lingers HttpSharedLingerMs for
// another, then ends, and its connections with it.

static void DoWhatRequestsAsk(SharedMulti &shared) {
    while (HttpRequest *request = shared.asking) {
        shared.asking = request->nextAsking;
        request->nextAsking = nullptr;
        request->asking = false;
        if (request->wantAdd) {
            request->wantAdd = false;
            if (curl_multi_add_handle(shared.multi, request->easy) == CURLM_OK) {
                request->inMulti = true;
                shared.attached++;
            } else {
                MarkFailed(request, CURLE_FAILED_INIT);
            }
        }
        if (request->wantResume) {
            request->wantResume = false;
            // Resuming may hand the held chunk over right here.
            if (request->inMulti && !request->done && curl_easy_pause(request->easy, CURLPAUSE_CONT) != CURLE_OK) {
                request->wantDetach = true;
                MarkFailed(request, CURLE_RECV_ERROR);
            }
        }
        if ((request->wantDetach || request->wantFree) && request->inMulti) {
            RemoveFromMulti(shared.multi, request);
            shared.attached--;
        }
        request->wantDetach = false;
        if (request->wantFree) {
            curl_easy_cleanup(request->easy);
            curl_slist_free_all(request->headers);
            delete request;
        }
    }
}

static void *DriveSharedMulti(void *) {
    SharedMulti &shared = Shared();
    std::unique_lock<std::mutex> hold(shared.lock);
    for (;;) {
        DoWhatRequestsAsk(shared);
        int running = 0;
        if (curl_multi_perform(shared.multi, &running) == CURLM_OK) {
            CollectFinished(shared.multi);
        }  // a failing multi leaves each request to its own time limits
        if (shared.attached == 0 && shared.asking == nullptr) {
            auto askedAgain = [&shared] { return shared.asking != nullptr; };
            if (shared.asked.wait_for(hold, std::chrono::milliseconds(HttpSharedLingerMs), askedAgain)) continue;
            curl_multi_cleanup(shared.multi);
            shared.multi = nullptr;
            return nullptr;
        }
        CURLM *multi = shared.multi;
        hold.unlock();
        curl_multi_poll(multi, nullptr, 0, HttpPollSliceMs, nullptr);
        hold.lock();
    }
}

// Puts a configured shared request into the shared multi, starting its
// thread when none runs. Caller holds the shared lock. False when the
// multi or the thread could not be made.
static bool JoinSharedMulti(HttpRequest *request) {
    SharedMulti &shared = Shared();
    if (shared.multi == nullptr) {
        CURLM *multi = curl_multi_init();
        if (multi == nullptr) return false;
        curl_multi_setopt(multi, CURLMOPT_MAXCONNECTS, long(HttpCachedConnections));
        curl_multi_setopt(multi, CURLMOPT_PIPELINING, long(CURLPIPE_MULTIPLEX));
#if LIBCURL_VERSION_NUM >= 0x074300
        curl_multi_setopt(multi, CURLMOPT_MAX_CONCURRENT_STREAMS, HttpMaxStreams);
#endif
        pthread_attr_t attributes;
        pthread_t driver;
        bool started = pthread_attr_init(&attributes) == 0;
        if (started) {
            started = pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED) == 0 &&
                      pthread_create(&driver, &attributes, DriveSharedMulti, nullptr) == 0;
            pthread_attr_destroy(&attributes);
        }
        if (!started) {
            curl_multi_cleanup(multi);
            return false;
        }
        shared.multi = multi;
    }
    request->wantAdd = true;
    AskSharedThread(request);
    return true;
}

// ---------------------------------------------------------------------------
// Driving a request on.

// Puts the waiting since *tickMs on the body's rate clock (once it runs),
// shared with the bodies being received now, and moves *tickMs to now.
// False when a window of the floor closed short. While the transfer is
// paused on a full staging buffer, the reader is the one behind, so that
// time is not counted.
static bool KeepRate(HttpRequest *request, int64_t *tickMs) {
    int64_t now = MonotonicMs();
    bool counted = request->rateStarted && !request->paused;
    bool kept = !counted || HttpRateWaited(&request->rate, request->limits, now - *tickMs, HttpBodiesSharingFloor());
    *tickMs = now;
    return kept;
}

// Lets the request's transfer move on for up to waitMs: its thread's multi
// is run and waited on, or, for a shared request, the shared multi's
// thread is waited for (hold is the shared lock then, held on entry and
// return). False when the thread's multi failed.
static bool LetTransferMove(HttpRequest *request, std::unique_lock<std::mutex> &hold, int waitMs) {
    if (request->shared) {
        request->moved.wait_for(hold, std::chrono::milliseconds(waitMs));
        return true;
    }
    return curl_multi_poll(request->multi, nullptr, 0, waitMs, nullptr) == CURLM_OK;
}

// Drives the request on until ready(request) holds or the transfer ends.
// The caller began waiting at *tickMs (the lock included: while another
// thread drives the multi, this transfer's bytes arrive all the same), and
// holds the shared lock in hold for a shared request.
// Waiting gives up when nothing arrived for the idle time, counted from
// the later of that and the last byte; before the head is complete, when
// the head's time since the request went out has passed; once the body's
// rate floor is kept, when a window of it closes short. False on those
// timeouts or when the multi handle itself failed; the request is then
// failed.
static bool DriveUntil(HttpRequest *request, bool (*ready)(const HttpRequest *), int64_t *tickMs,
                       std::unique_lock<std::mutex> &hold) {
    const HttpLimits &limits = request->limits;
    int64_t waitStartMs = *tickMs;
    for (;;) {
        if (!request->shared) {
            int running = 0;
            if (curl_multi_perform(request->multi, &running) != CURLM_OK) {
                FailRequest(request, CURLE_FAILED_INIT);
                return false;
            }
            CollectFinished(request->multi);
        }
        bool rateKept = KeepRate(request, tickMs);
        int64_t now = *tickMs;
        if (request->done || (rateKept && ready(request))) return true;

        int64_t since = request->lastProgressMs > waitStartMs ? request->lastProgressMs : waitStartMs;
        int64_t remaining = since + limits.idleMs - now;
        if (!request->headComplete) {
            int64_t headLeft = request->sentMs + limits.headMs - now;
            if (headLeft < remaining) remaining = headLeft;
        }
        if (remaining <= 0 || !rateKept) {
            // Which limit ran out: the head's time and the rate floor are
            // a server that trickles, the rest silence.
            bool headLate = !request->headComplete && request->sentMs + limits.headMs <= now &&
                            since + limits.idleMs > now;
            if (!rateKept || headLate) request->failure = HttpFailedTooSlow;
            FailRequest(request, CURLE_OPERATION_TIMEDOUT);
            return false;
        }
        if (request->rateStarted && HttpRateMsLeft(&request->rate) < remaining)
            remaining = HttpRateMsLeft(&request->rate);
        int waitMs = remaining < HttpPollSliceMs ? int(remaining) : HttpPollSliceMs;
        if (!LetTransferMove(request, hold, waitMs)) {
            FailRequest(request, CURLE_FAILED_INIT);
            return false;
        }
    }
}

static bool HeadIsComplete(const HttpRequest *request) {
    return request->headComplete;
}

static bool BodyIsStaged(const HttpRequest *request) {
    return request->stagingEnd > request->stagingStart;
}

// The shared lock for a shared request (held), nothing for another.
static std::unique_lock<std::mutex> HoldRequest(const HttpRequest *request) {
    if (!request->shared) return std::unique_lock<std::mutex>();
    return std::unique_lock<std::mutex>(Shared().lock);
}

// A shared request the multi's thread still knows is freed by that thread.
static void ReleaseRequest(HttpRequest *request) {
    if (request->rateStarted) HttpBodyEnds();
    std::unique_lock<std::mutex> hold = HoldRequest(request);
    if (request->shared && (request->inMulti || request->asking)) {
        request->wantFree = true;
        AskSharedThread(request);
        return;
    }
    if (request->inMulti) RemoveFromMulti(request->multi, request);
    if (request->easy != nullptr) curl_easy_cleanup(request->easy);
    curl_slist_free_all(request->headers);
    delete request;
}

HttpRoot *HttpOpenRoot() {
    return new (std::nothrow) HttpRoot{0};
}

void HttpCloseRoot(HttpRoot *root) {
    delete root;
}

// Sets up the easy handle of a request; false when curl refused an option.
// Bodies are asked for and taken unencoded: curl decodes nothing (a coding
// other than identity is refused once the head is in).
static bool ConfigureRequest(HttpRequest *request, const char *url, const HttpRequestOptions *options) {
    CURL *easy = request->easy;
    static const char *const extraHeaders[] = {"Cache-Control: no-cache", "Pragma: no-cache",
                                               "Accept-Encoding: identity"};
    for (const char *header : extraHeaders) {
        curl_slist *longer = curl_slist_append(request->headers, header);
        if (longer == nullptr) return false;
        request->headers = longer;
    }
    char range[48] = "";
    if (HttpRangeValue(options, range)) {
        if (options->ifRange != nullptr && options->ifRange[0] != 0) {
            char ifRange[HttpValidatorBytes + 16];
            snprintf(ifRange, sizeof ifRange, "If-Range: %s", options->ifRange);
            curl_slist *longer = curl_slist_append(request->headers, ifRange);
            if (longer == nullptr) return false;
            request->headers = longer;
        }
    }

    long lowSpeedSeconds = (request->limits.idleMs + 999) / 1000;
    bool ok = curl_easy_setopt(easy, CURLOPT_URL, url) == CURLE_OK;
    ok = ok && (range[0] == 0 || curl_easy_setopt(easy, CURLOPT_RANGE, range) == CURLE_OK);
    ok = ok && (s_http.share == nullptr || curl_easy_setopt(easy, CURLOPT_SHARE, s_http.share) == CURLE_OK);
    ok = ok && (s_http.caFile == nullptr || curl_easy_setopt(easy, CURLOPT_CAINFO, s_http.caFile) == CURLE_OK);
    // HTTP/2 where TLS offers it; a request waits for a connection that can
    // carry it as one more stream rather than opening its own.
    ok = ok && curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_2TLS)) == CURLE_OK;
    ok = ok && (!request->shared || curl_easy_setopt(easy, CURLOPT_PIPEWAIT, 1L) == CURLE_OK);
    ok = ok && curl_easy_setopt(easy, CURLOPT_USERAGENT, "ZentharaLauncher/" LAUNCHER_VERSION_TEXT) == CURLE_OK;
    ok = ok && curl_easy_setopt(easy, CURLOPT_HTTPHEADER, request->headers) == CURLE_OK;
    ok = ok && curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L) == CURLE_OK;
    ok = ok && curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 10L) == CURLE_OK;
    ok = ok && curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, HttpReceiveBufferBytes) == CURLE_OK;
#if LIBCURL_VERSION_NUM >= 0x075500
    ok = ok && curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK;
    ok = ok && curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https") == CURLE_OK;
#else
    ok = ok && curl_easy_setopt(easy, CURLOPT_PROTOCOLS, long(CURLPROTO_HTTP | CURLPROTO_HTTPS)) == CURLE_OK;
    ok = ok && curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS, long(CURLPROTO_HTTP | CURLPROTO_HTTPS)) == CURLE_OK;
#endif
    ok = ok && curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, long(request->limits.connectMs)) == CURLE_OK;
    ok = ok && curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L) == CURLE_OK;
    ok = ok && curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, lowSpeedSeconds) == CURLE_OK;
    ok = ok && curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L) == CURLE_OK;
    // A proxy's CONNECT answer would otherwise look like the final head.
    ok = ok && curl_easy_setopt(easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L) == CURLE_OK;
    ok = ok && curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, HeadLineArrived) == CURLE_OK;
    ok = ok && curl_easy_setopt(easy, CURLOPT_HEADERDATA, request) == CURLE_OK;
    ok = ok && curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, BodyArrived) == CURLE_OK;
    ok = ok && curl_easy_setopt(easy, CURLOPT_WRITEDATA, request) == CURLE_OK;
    ok = ok && curl_easy_setopt(easy, CURLOPT_PRIVATE, reinterpret_cast<char *>(request)) == CURLE_OK;
    ok = ok && curl_easy_setopt(easy, CURLOPT_HTTP_CONTENT_DECODING, 0L) == CURLE_OK;
#if LIBCURL_VERSION_NUM >= 0x075000
    ok = ok && curl_easy_setopt(easy, CURLOPT_PREREQFUNCTION, ConnectionReady) == CURLE_OK;
    ok = ok && curl_easy_setopt(easy, CURLOPT_PREREQDATA, request) == CURLE_OK;
#endif
    return ok;
}

// curl is handed the URL HttpPrepareUrl makes (http and https only, no
// user name, no control character, the fragment dropped, ASCII); anything
// it refuses never reaches curl. Returns nullptr when no usable final
// response head arrived: bad URL, refused or timed-out connection, too many
// redirects, a redirect to another scheme, nothing received for the idle
// time, a head over its time or size, or a body in a coding other than
// identity (and chunked).
HttpRequest *HttpOpenUrlWith(HttpRoot *root, const WideChar *url, const HttpRequestOptions *options,
                             HttpResponseInfo *info, HttpFailure *failure) {
    (void)root;  // connections are kept by the multi handles instead
    *failure = HttpFailedUrl;
    char prepared[HttpUrlBytes];
    if (url == nullptr || HttpPrepareUrl(url, prepared, HttpUrlBytes) != HttpUrlReady) return nullptr;

    *failure = HttpFailedOther;
    std::call_once(s_http.once, InitCurlOnce);
    if (s_http.share == nullptr) return nullptr;
    HttpRequest *request = new (std::nothrow) HttpRequest;  // zeroed but for the staging buffer
    if (request == nullptr) return nullptr;
    request->result = CURLE_OK;
    request->limits = HttpLimitsFor(g_httpTimeoutOverrideMs);
    request->lastProgressMs = MonotonicMs();
    RequestGoesOut(request);  // until the connection callback says when
    request->shared = StartsWithNoCase(prepared, strlen(prepared), "https:");
    request->multi = request->shared ? nullptr : ThreadMultiHandle();
    request->easy = curl_easy_init();
    bool configured = (request->shared || request->multi != nullptr) && request->easy != nullptr &&
                      ConfigureRequest(request, prepared, options);
    std::unique_lock<std::mutex> hold = HoldRequest(request);
    bool joined = configured && (request->shared ? JoinSharedMulti(request)
                                                 : curl_multi_add_handle(request->multi, request->easy) == CURLM_OK);
    if (!joined) {
        if (hold.owns_lock()) hold.unlock();
        ReleaseRequest(request);
        return nullptr;
    }
    request->inMulti = !request->shared;  // a shared request is in once its thread added it

    int64_t tickMs = MonotonicMs();
    DriveUntil(request, HeadIsComplete, &tickMs, hold);
    bool answered = request->headComplete || (request->done && request->result == CURLE_OK);
    if (!answered || request->headEncoded) {
        *failure = request->headEncoded ? HttpFailedEncoded
                   : request->failure != HttpOk ? request->failure : HttpFailedOther;
        if (hold.owns_lock()) hold.unlock();
        ReleaseRequest(request);
        return nullptr;
    }
    request->rateStarted = true;
    HttpBodyStarts();
    HttpRateStart(&request->rate, request->limits, request->stagingEnd - request->stagingStart);

    // Taken from the head as it arrived, not from curl, which a shared
    // request's thread may be running right now.
    request->info.status = request->headStatus;
    request->info.contentLength = request->headTransferCoded ? -1 : request->headLength;
    request->info.multiplexed = request->headMultiplexed;
    request->info.retryAfterSeconds = HttpRetryAfterOfHead(request->retryAfter, request->date, int64_t(time(nullptr)));
    *info = request->info;
    *failure = HttpOk;
    return request;
}

// Staged bytes are served first, even when the transfer has failed since:
// the failure is then reported by the read that finds nothing left.
// The time spent here, waiting for the lock included, is on the body's
// rate clock while the transfer goes on.
bool HttpRead(HttpRequest *request, void *buffer, int wanted, int *received) {
    *received = 0;
    if (request == nullptr) return false;
    std::unique_lock<std::mutex> hold = HoldRequest(request);
    int64_t tickMs = MonotonicMs();
    for (;;) {
        int staged = request->stagingEnd - request->stagingStart;
        if (staged > 0) {
            if (!request->done && !KeepRate(request, &tickMs)) {
                request->failure = HttpFailedTooSlow;
                FailRequest(request, CURLE_OPERATION_TIMEDOUT);
                return false;
            }
            int count = wanted < staged ? wanted : staged;
            if (count <= 0) return true;
            memcpy(buffer, request->staging + request->stagingStart, size_t(count));
            request->stagingStart += count;
            if (request->stagingStart == request->stagingEnd) {
                request->stagingStart = request->stagingEnd = 0;
                if (request->paused && request->inMulti && request->shared) {
                    request->paused = false;
                    request->wantResume = true;
                    AskSharedThread(request);
                } else if (request->paused && request->inMulti) {
                    // Resuming may hand the held chunk over right here.
                    request->paused = false;
                    if (curl_easy_pause(request->easy, CURLPAUSE_CONT) != CURLE_OK)
                        FailRequest(request, CURLE_RECV_ERROR);
                }
            }
            *received = count;
            return true;
        }
        if (request->done) {
            if (request->result != CURLE_OK && request->failure == HttpOk) request->failure = FailureOf(request->result);
            return request->result == CURLE_OK;
        }
        if (!DriveUntil(request, BodyIsStaged, &tickMs, hold)) return false;
    }
}

// A paused or unfinished transfer is simply detached: curl counts its
// removal as premature and closes the connection at once instead of
// returning it to the cache (over HTTP/2 it ends the stream only), so an
// unread body is never read on.
void HttpCloseRequest(HttpRequest *request) {
    if (request == nullptr) return;
    ReleaseRequest(request);
}

HttpFailure HttpReadFailure(const HttpRequest *request) {
    return request == nullptr ? HttpFailedOther : request->failure;
}
