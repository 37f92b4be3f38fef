// SHA-256 and ECDSA P-256 verification through the system's cryptography
// (CNG, bcrypt.dll), so that no crypto library is built into the program.
// Windows only; the byte formats live in update/signature_format.h.
//
// Every result is a value: a failure of the system's crypto gives an empty
// digest or "does not verify", never an exception.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "update/signature_format.h"
#include "update/update_keys.h"

namespace vx {

// Incremental SHA-256: any number of update() calls, then one finish(). A
// hasher whose set-up or any update failed finishes with no digest.
class Sha256Hasher {
 public:
  Sha256Hasher();
  ~Sha256Hasher();
  Sha256Hasher(const Sha256Hasher&) = delete;
  Sha256Hasher& operator=(const Sha256Hasher&) = delete;

  // Adds `size` bytes; any size (larger inputs are fed in pieces). Returns
  // false, and the hasher stays failed, when the system refuses the data.
  bool update(const void* data, size_t size);

  // The digest of everything added; empty if anything failed or finish()
  // was already called.
  std::optional<Sha256Digest> finish();

 private:
  void* hash_ = nullptr;  // BCRYPT_HASH_HANDLE
  bool failed_ = false;
};

// SHA-256 of a byte range (a downloaded body held in memory, any size).
std::optional<Sha256Digest> sha256_of(const void* data, size_t size);

// SHA-256 of a file's content, read in bounded pieces; empty when the file
// cannot be opened or read to its end.
std::optional<Sha256Digest> sha256_of_file(const std::wstring& path);

// Whether `signature` is a valid ECDSA P-256 signature of the SHA-256
// `digest` under `key`. False for a wrong signature, for a key the system
// refuses (a point off the curve) and for any failure of the system.
bool verify_p256_signature(const EcP256PublicKey& key, const Sha256Digest& digest,
                           const EcdsaP256Signature& signature);

// The index in `keys` of the first key under which `signature` verifies,
// or empty when none does (always empty for an empty set).
std::optional<size_t> find_verifying_key(const UpdateKeySet& keys, const Sha256Digest& digest,
                                         const EcdsaP256Signature& signature);

}  // namespace vx
