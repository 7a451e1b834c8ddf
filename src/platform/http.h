// HTTP seam: pull-style GET requests for the patch engine.
// Backends: win32/http_wininet.cpp (WinINet) and posix/http_curl.cpp
// (libcurl). Both send the agent "ZentharaLauncher/4.1", bypass caches,
// follow at most 10 redirects between http and https URLs only, give up
// connecting after 30 s and fail a transfer that receives nothing for 60 s.
#pragma once
#include <cstdint>

#include "base/text.h"

struct HttpRoot;     // a client session (WinINet root handle)
struct HttpRequest;  // one answered request whose body is being read

constexpr int HttpConnectTimeoutMs = 30000;
constexpr int HttpIdleTimeoutMs = 60000;
// (Tests shorten both: see g_httpTimeoutOverrideMs in test_hooks.h.)

HttpRoot *HttpOpenRoot();
void HttpCloseRoot(HttpRoot *root);

// Sends a GET for url and waits for the response head. Returns nullptr when
// no answer came (bad URL, refused, timed out). status receives the final
// HTTP status; contentLength the announced body length, or -1.
HttpRequest *HttpOpenUrl(HttpRoot *root, const WideChar *url, int *status, int64_t *contentLength);

// Blocks until body bytes arrive: true with *received > 0 for data, true with
// *received == 0 at the end of the body, false on a transport failure
// (including a body that ends before its announced length).
bool HttpRead(HttpRequest *request, void *buffer, int wanted, int *received);

void HttpCloseRequest(HttpRequest *request);
