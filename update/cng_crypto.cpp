#include "update/cng_crypto.h"

#include <windows.h>

#include <bcrypt.h>

#include <cstring>
#include <vector>

#include "base/win_raii.h"

namespace vx {
namespace {

bool succeeded(NTSTATUS status) { return status >= 0; }

// Algorithm providers are opened once per process and never closed: stage
// threads may still hash while the process ends, and an open provider costs
// nothing. A provider that cannot be opened stays null and every operation
// on it fails.
BCRYPT_ALG_HANDLE open_provider(const wchar_t* algorithm) {
  BCRYPT_ALG_HANDLE handle = nullptr;
  if (!succeeded(BCryptOpenAlgorithmProvider(&handle, algorithm, nullptr, 0))) return nullptr;
  return handle;
}

BCRYPT_ALG_HANDLE sha256_provider() {
  static const BCRYPT_ALG_HANDLE provider = open_provider(BCRYPT_SHA256_ALGORITHM);
  return provider;
}

BCRYPT_ALG_HANDLE ecdsa_p256_provider() {
  static const BCRYPT_ALG_HANDLE provider = open_provider(BCRYPT_ECDSA_P256_ALGORITHM);
  return provider;
}

// BCryptHashData takes a 32-bit length.
constexpr size_t kMaxHashPiece = size_t{1} << 30;

// Bytes read from a file per ReadFile call.
constexpr DWORD kFileReadPiece = 1 << 20;

struct BcryptKeyTraits {
  using handle_type = BCRYPT_KEY_HANDLE;
  static BCRYPT_KEY_HANDLE invalid() { return nullptr; }
  static void close(BCRYPT_KEY_HANDLE key) { BCryptDestroyKey(key); }
};
using UniqueBcryptKey = UniqueResource<BcryptKeyTraits>;

}  // namespace

Sha256Hasher::Sha256Hasher() {
  BCRYPT_ALG_HANDLE provider = sha256_provider();
  // No object buffer: the system allocates and frees the hash state itself.
  failed_ = provider == nullptr ||
            !succeeded(BCryptCreateHash(provider, &hash_, nullptr, 0, nullptr, 0, 0));
}

Sha256Hasher::~Sha256Hasher() {
  if (hash_ != nullptr) BCryptDestroyHash(hash_);
}

bool Sha256Hasher::update(const void* data, size_t size) {
  const UCHAR* bytes = static_cast<const UCHAR*>(data);
  while (!failed_ && size > 0) {
    const size_t piece = size < kMaxHashPiece ? size : kMaxHashPiece;
    // BCryptHashData only reads the input; its parameter is not const.
    failed_ =
        !succeeded(BCryptHashData(hash_, const_cast<UCHAR*>(bytes), static_cast<ULONG>(piece), 0));
    bytes += piece;
    size -= piece;
  }
  return !failed_;
}

std::optional<Sha256Digest> Sha256Hasher::finish() {
  if (failed_) return std::nullopt;
  Sha256Digest digest;
  const bool done = succeeded(BCryptFinishHash(hash_, digest.data(), digest.size(), 0));
  // A finished hash object cannot take more data.
  failed_ = true;
  if (!done) return std::nullopt;
  return digest;
}

std::optional<Sha256Digest> sha256_of(const void* data, size_t size) {
  Sha256Hasher hasher;
  hasher.update(data, size);
  return hasher.finish();
}

std::optional<Sha256Digest> sha256_of_file(const std::wstring& path) {
  UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file) return std::nullopt;
  std::vector<char> buffer(kFileReadPiece);
  Sha256Hasher hasher;
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(file.get(), buffer.data(), kFileReadPiece, &got, nullptr)) return std::nullopt;
    if (got == 0) break;  // end of file
    if (!hasher.update(buffer.data(), got)) return std::nullopt;
  }
  return hasher.finish();
}

bool verify_p256_signature(const EcP256PublicKey& key, const Sha256Digest& digest,
                           const EcdsaP256Signature& signature) {
  BCRYPT_ALG_HANDLE provider = ecdsa_p256_provider();
  if (provider == nullptr) return false;

  // BCRYPT_ECCPUBLIC_BLOB: the header, then X and Y, each big-endian.
  unsigned char blob[sizeof(BCRYPT_ECCKEY_BLOB) + 64];
  BCRYPT_ECCKEY_BLOB header;
  header.dwMagic = BCRYPT_ECDSA_PUBLIC_P256_MAGIC;
  header.cbKey = 32;
  std::memcpy(blob, &header, sizeof header);
  std::memcpy(blob + sizeof header, key.x.data(), 32);
  std::memcpy(blob + sizeof header + 32, key.y.data(), 32);
  UniqueBcryptKey imported;
  if (!succeeded(BCryptImportKeyPair(provider, nullptr, BCRYPT_ECCPUBLIC_BLOB, imported.put(), blob,
                                     sizeof blob, 0))) {
    return false;
  }

  unsigned char r_s[64];
  std::memcpy(r_s, signature.r.data(), 32);
  std::memcpy(r_s + 32, signature.s.data(), 32);
  Sha256Digest hash = digest;
  return BCryptVerifySignature(imported.get(), nullptr, hash.data(), hash.size(), r_s, sizeof r_s,
                               0) == 0;  // STATUS_SUCCESS; STATUS_INVALID_SIGNATURE otherwise
}

std::optional<size_t> find_verifying_key(const UpdateKeySet& keys, const Sha256Digest& digest,
                                         const EcdsaP256Signature& signature) {
  for (size_t i = 0; i < keys.count; ++i) {
    if (verify_p256_signature(keys.keys[i].key, digest, signature)) return i;
  }
  return std::nullopt;
}

}  // namespace vx
