// Carrying out a plan of pieces (patch/delta): the new file is written into
// its temporary from the old copy's bytes and from ranges of the new file
// fetched with "Range: bytes=F-L", and hashed in file order as it grows.
// The ranges are spread over the pass's transfers: the worker building the
// file offers them to workers that have nothing queued (OfferWork in
// patch/transfers) and fetches the rest itself. Platform-neutral over the
// http, files and crypto seams.
#pragma once
#include <cstdint>

#include "patch/delta.h"
#include "patch/transfers.h"

// A fetched piece is asked for in ranges of at most this many bytes, so
// that a file whose old copy spares little still travels over several
// transfers at once, and a range that keeps failing costs little.
constexpr int64_t DeltaRangeMaxBytes = 4 << 20;

enum DeltaResult {
    DeltaBuilt,     // the temporary holds the file; the digest is of what it holds
    DeltaUnusable,  // the plan cannot be carried out (a server that ignores ranges, an old copy that
                    // changed): the file is left to a whole download
    DeltaFailed,    // a range kept failing, or the temporary could not be written: the file failed
};

// What a build writes to and reads from.
struct DeltaTarget {
    QueuedEntry *queued;  // the entry: its progress (bytesOnDisk) and failure text
    const WideChar *url;  // the file's URL, prepared (PrepareDownloadUrl)
    FileHandle part;      // the new, empty temporary, open for writing and reading back
    FileHandle old;       // the old copy, open for reading
    char *buffer;         // the building worker's (TransferBufferBytes)
};

// Builds the file of pieces (count, in file order) into target->part and
// puts the SHA-256 of what was written into digest. Every range is asked
// for again from where it broke off after a failure that may pass, with
// the whole download's attempts and back-off.
DeltaResult BuildDeltaPieces(const DeltaTarget *target, const DeltaPiece *pieces, uint32_t count,
                             uint8_t digest[Sha256Bytes]);
