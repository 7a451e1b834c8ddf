// The URL a download is requested with: what both HTTP backends make of a
// manifest's URL (platform/http.h, HttpPrepareUrl), handed to the engine in
// its own text form, with the reason a URL is refused worded for the player.
// Platform-neutral.
#pragma once
#include "base/text.h"
#include "platform/http.h"

// Room for any prepared URL, terminator included.
constexpr int RequestUrlUnits = HttpUrlBytes;

// Prepares url as both backends send it (see HttpPrepareUrl): HttpUrlReady
// with the ASCII request URL in out (capacity units), or why the URL is
// refused, out then "". Passing the result to HttpOpenUrlWith sends exactly
// it: preparing it again changes nothing.
HttpUrlVerdict PrepareRequestUrl(const WideChar *url, WideChar *out, int capacity);

// A short reason for a refused URL ("" for HttpUrlReady). It never quotes
// the URL, so no password or control character gets out through it.
const char *RequestUrlRefusal(HttpUrlVerdict verdict);
