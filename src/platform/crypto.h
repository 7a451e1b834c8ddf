// Crypto seam: the digests and the signature check that prove a file or a
// manifest arrived as published. One maintained library does the work on
// both platforms (common/crypto_gcrypt.cpp, libgcrypt); nothing here is
// written by hand. Every function may be called from any thread.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr int Sha256Bytes = 32;
constexpr int Blake2b512Bytes = 64;
constexpr int Ed25519PublicKeyBytes = 32;
constexpr int Ed25519SignatureBytes = 64;

// A SHA-256 computation in progress, owned by the backend. Sha256Begin
// returns nullptr when the library cannot start one (out of memory, or the
// library failed its start-up self-test). Sha256End writes the digest and
// frees the computation; Sha256Abandon frees it without a digest. Both take
// nullptr and do nothing with it (Sha256End then returns false).
struct Sha256Run;
Sha256Run *Sha256Begin();
void Sha256Add(Sha256Run *run, const void *bytes, size_t count);
bool Sha256End(Sha256Run *run, uint8_t digest[Sha256Bytes]);
void Sha256Abandon(Sha256Run *run);
// Writes the digest of what was added since Sha256Begin or the last
// Sha256Take and starts over on the same run, for one digest after another
// (a file's chunks) without a computation set up for each. False for
// nullptr or when the library gives no digest.
bool Sha256Take(Sha256Run *run, uint8_t digest[Sha256Bytes]);

// One-shot digests of a buffer. False when the library is not usable.
bool Sha256Of(const void *bytes, size_t count, uint8_t digest[Sha256Bytes]);
bool Blake2b512Of(const void *bytes, size_t count, uint8_t digest[Blake2b512Bytes]);

// True only when signature is a valid Ed25519 signature (RFC 8032, pure
// form) of message by the holder of publicKey. False for a bad signature,
// a malformed key and an unusable library alike.
bool Ed25519SignatureHolds(const uint8_t publicKey[Ed25519PublicKeyBytes],
                           const uint8_t signature[Ed25519SignatureBytes], const void *message, size_t count);
