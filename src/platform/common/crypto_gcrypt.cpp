// Crypto seam over libgcrypt, for both platforms (linked statically into
// the Windows programs): SHA-256 and BLAKE2b-512 digests and Ed25519
// signature checks. The library is set up once, on first use, from
// whichever thread gets there first; it keeps no secret keys here, so its
// secure memory is switched off.
// Leaves out: signing and key generation (operators sign with minisign).
#include <gcrypt.h>

#include <cstring>
#include <mutex>

#include "platform/crypto.h"

// The library's one-time set-up and whether it succeeded.
struct GcryptState {
    std::once_flag started;
    bool usable;  // the version check and self-tests passed
};
static GcryptState s_gcrypt;

static bool GcryptReady() {
    std::call_once(s_gcrypt.started, [] {
        if (gcry_check_version(GCRYPT_VERSION) == nullptr) return;
        gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
        gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
        s_gcrypt.usable = gcry_control(GCRYCTL_INITIALIZATION_FINISHED_P) != 0;
    });
    return s_gcrypt.usable;
}

// The handle is the run: the seam's type is never defined, only cast.
static gcry_md_hd_t HandleOf(Sha256Run *run) { return reinterpret_cast<gcry_md_hd_t>(run); }

Sha256Run *Sha256Begin() {
    if (!GcryptReady()) return nullptr;
    gcry_md_hd_t handle = nullptr;
    if (gcry_md_open(&handle, GCRY_MD_SHA256, 0) != 0) return nullptr;
    return reinterpret_cast<Sha256Run *>(handle);
}

void Sha256Add(Sha256Run *run, const void *bytes, size_t count) {
    if (run != nullptr && count > 0) gcry_md_write(HandleOf(run), bytes, count);
}

// The digest so far; false for nullptr or when the library gives none.
static bool ReadDigest(Sha256Run *run, uint8_t digest[Sha256Bytes]) {
    if (run == nullptr) return false;
    const unsigned char *result = gcry_md_read(HandleOf(run), GCRY_MD_SHA256);
    if (result != nullptr) memcpy(digest, result, Sha256Bytes);
    return result != nullptr;
}

bool Sha256End(Sha256Run *run, uint8_t digest[Sha256Bytes]) {
    bool read = ReadDigest(run, digest);
    if (run != nullptr) gcry_md_close(HandleOf(run));
    return read;
}

void Sha256Abandon(Sha256Run *run) {
    if (run != nullptr) gcry_md_close(HandleOf(run));
}

bool Sha256Take(Sha256Run *run, uint8_t digest[Sha256Bytes]) {
    bool read = ReadDigest(run, digest);
    if (run != nullptr) gcry_md_reset(HandleOf(run));
    return read;
}

bool Sha256Of(const void *bytes, size_t count, uint8_t digest[Sha256Bytes]) {
    if (!GcryptReady()) return false;
    gcry_md_hash_buffer(GCRY_MD_SHA256, digest, bytes, count);
    return true;
}

bool Blake2b512Of(const void *bytes, size_t count, uint8_t digest[Blake2b512Bytes]) {
    if (!GcryptReady()) return false;
    gcry_md_hash_buffer(GCRY_MD_BLAKE2B_512, digest, bytes, count);
    return true;
}

// The key, the signature and the message travel as S-expressions; the
// "eddsa" flag selects the pure Ed25519 of RFC 8032 (SHA-512 inside).
bool Ed25519SignatureHolds(const uint8_t publicKey[Ed25519PublicKeyBytes],
                           const uint8_t signature[Ed25519SignatureBytes], const void *message, size_t count) {
    if (!GcryptReady()) return false;
    gcry_sexp_t key = nullptr, signed_ = nullptr, data = nullptr;
    bool holds = false;
    if (gcry_sexp_build(&key, nullptr, "(public-key (ecc (curve Ed25519) (flags eddsa) (q %b)))",
                        Ed25519PublicKeyBytes, publicKey) == 0 &&
        gcry_sexp_build(&signed_, nullptr, "(sig-val (eddsa (r %b) (s %b)))", Ed25519SignatureBytes / 2,
                        signature, Ed25519SignatureBytes / 2, signature + Ed25519SignatureBytes / 2) == 0 &&
        gcry_sexp_build(&data, nullptr, "(data (flags eddsa) (hash-algo sha512) (value %b))", int(count),
                        message) == 0) {
        holds = gcry_pk_verify(signed_, data, key) == 0;
    }
    gcry_sexp_release(data);
    gcry_sexp_release(signed_);
    gcry_sexp_release(key);
    return holds;
}
