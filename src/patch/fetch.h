// Fetching a small document whole (the manifest, its signature) under the
// limits every transfer has, with the reason when it cannot be had.
// Platform-neutral over the http seam.
#pragma once
#include <cstddef>
#include <cstdint>

#include "patch/plan.h"

enum FetchResult {
    FetchOk,        // *body holds the whole body
    FetchFailed,    // no usable answer: *why says which failure
    FetchTooLarge,  // the body is over the limit
};

// Fetches url into a heap block of its own (free it with free()), followed
// by a zero byte that *bytes does not count. Only a 2xx answer whose body
// arrived whole (its Content-Length met, no transport failure) counts; a
// body cut off in transit is never handed on. *status is the answer's HTTP
// status (0 when none came); why (ReasonBytes) says what failed. With
// multiplexed, also whether the answer came over a connection that carries
// many requests at once (HTTP/2).
FetchResult FetchWhole(const WideChar *url, int64_t limitBytes, char **body, size_t *bytes, int *status, char *why,
                       bool *multiplexed = nullptr);
