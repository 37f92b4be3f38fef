// The native tool's cryptography, on OpenSSL's libcrypto.
#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>

#include "tools/velmorandix-manifest/tool_crypto.h"

namespace vx::tool {
namespace {

struct FreeKey {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct FreeKeyContext {
  void operator()(EVP_PKEY_CTX* context) const { EVP_PKEY_CTX_free(context); }
};
struct FreeDigestContext {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
struct FreeBio {
  void operator()(BIO* bio) const { BIO_free(bio); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, FreeKey>;
using KeyContextPtr = std::unique_ptr<EVP_PKEY_CTX, FreeKeyContext>;
using DigestContextPtr = std::unique_ptr<EVP_MD_CTX, FreeDigestContext>;
using BioPtr = std::unique_ptr<BIO, FreeBio>;

bool is_p256_key(EVP_PKEY* key) {
  char group[64] = {};
  size_t length = 0;
  return EVP_PKEY_is_a(key, "EC") &&
         EVP_PKEY_get_group_name(key, group, sizeof group, &length) == 1 &&
         std::strcmp(group, "prime256v1") == 0;
}

// The public half of a key as coordinates, through its DER
// SubjectPublicKeyInfo and the bootstrapper's own parser.
std::optional<EcP256PublicKey> public_key_of(EVP_PKEY* key) {
  unsigned char* der = nullptr;
  const int length = i2d_PUBKEY(key, &der);
  if (length <= 0) return std::nullopt;
  std::optional<EcP256PublicKey> parsed = parse_p256_spki(der, static_cast<size_t>(length));
  OPENSSL_free(der);
  return parsed;
}

bool write_all(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t written = write(fd, data, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    data += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

}  // namespace

std::optional<Sha256Digest> sha256_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  DigestContextPtr context(EVP_MD_CTX_new());
  if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) return std::nullopt;
  std::vector<char> buffer(1 << 20);
  while (in) {
    in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    const size_t got = static_cast<size_t>(in.gcount());
    if (got > 0 && EVP_DigestUpdate(context.get(), buffer.data(), got) != 1) return std::nullopt;
  }
  if (!in.eof()) return std::nullopt;  // stopped by an error, not by the end
  Sha256Digest digest;
  if (EVP_DigestFinal_ex(context.get(), digest.data(), nullptr) != 1) return std::nullopt;
  return digest;
}

std::optional<Sha256Digest> sha256_bytes(const std::string& bytes) {
  Sha256Digest digest;
  if (EVP_Digest(bytes.data(), bytes.size(), digest.data(), nullptr, EVP_sha256(), nullptr) != 1) {
    return std::nullopt;
  }
  return digest;
}

bool verify_signature(const EcP256PublicKey& key, const Sha256Digest& digest,
                      const EcdsaP256Signature& signature) {
  const std::vector<uint8_t> spki = p256_spki(key);
  const unsigned char* cursor = spki.data();
  KeyPtr public_key(d2i_PUBKEY(nullptr, &cursor, static_cast<long>(spki.size())));
  if (!public_key) return false;
  KeyContextPtr context(EVP_PKEY_CTX_new(public_key.get(), nullptr));
  if (!context || EVP_PKEY_verify_init(context.get()) != 1 ||
      EVP_PKEY_CTX_set_signature_md(context.get(), EVP_sha256()) != 1) {
    return false;
  }
  const std::vector<uint8_t> der = ecdsa_signature_der(signature);
  return EVP_PKEY_verify(context.get(), der.data(), der.size(), digest.data(), digest.size()) == 1;
}

bool can_sign() { return true; }

bool generate_private_key(const std::filesystem::path& path, EcP256PublicKey& public_key,
                          std::string& error) {
  KeyPtr key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
  BioPtr pem(BIO_new(BIO_s_mem()));
  std::optional<EcP256PublicKey> public_part = key ? public_key_of(key.get()) : std::nullopt;
  if (!key || !pem || !public_part ||
      PEM_write_bio_PKCS8PrivateKey(pem.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) !=
          1) {
    error = "OpenSSL could not make a P-256 key";
    return false;
  }
  char* text = nullptr;
  const long length = BIO_get_mem_data(pem.get(), &text);

  // O_EXCL: never replace a key that exists (nor follow a link planted in
  // its place); 0600 from the start, so the key is never readable by others.
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    error = errno == EEXIST ? "'" + path.string() + "' exists; keygen never replaces a key"
                            : "cannot create '" + path.string() + "': " + std::strerror(errno);
    return false;
  }
  const bool written =
      fchmod(fd, 0600) == 0 && write_all(fd, text, static_cast<size_t>(length)) && fsync(fd) == 0;
  const bool closed = close(fd) == 0;
  if (!written || !closed) {
    unlink(path.c_str());
    error = "cannot write '" + path.string() + "'";
    return false;
  }
  public_key = *public_part;
  return true;
}

bool sign_bytes(const std::filesystem::path& key_file, const std::string& bytes,
                std::vector<uint8_t>& der_signature, std::string& error, EcP256PublicKey* signer) {
  BioPtr file(BIO_new_file(key_file.c_str(), "rb"));
  if (!file) {
    error = "cannot read the key file '" + key_file.string() + "'";
    return false;
  }
  // An encrypted key asks for its pass phrase on the terminal.
  KeyPtr key(PEM_read_bio_PrivateKey(file.get(), nullptr, nullptr, nullptr));
  if (!key || !is_p256_key(key.get())) {
    error = "'" + key_file.string() + "' is not a PEM ECDSA P-256 private key";
    return false;
  }
  if (signer) {
    const std::optional<EcP256PublicKey> public_part = public_key_of(key.get());
    if (!public_part) {
      error = "OpenSSL could not give the public half of '" + key_file.string() + "'";
      return false;
    }
    *signer = *public_part;
  }
  DigestContextPtr context(EVP_MD_CTX_new());
  size_t length = 0;
  if (!context ||
      EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1 ||
      EVP_DigestSign(context.get(), nullptr, &length,
                     reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()) != 1) {
    error = "OpenSSL could not sign";
    return false;
  }
  der_signature.resize(length);
  if (EVP_DigestSign(context.get(), der_signature.data(), &length,
                     reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()) != 1) {
    error = "OpenSSL could not sign";
    return false;
  }
  der_signature.resize(length);
  return true;
}

}  // namespace vx::tool
