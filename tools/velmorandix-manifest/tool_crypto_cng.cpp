// The Windows tool's cryptography: hashing and verification through the
// system's CNG with the bootstrapper's own code. Making keys and signing are
// left to the native tool, so that private keys are handled in one place.
#include "tools/velmorandix-manifest/tool_crypto.h"
#include "update/cng_crypto.h"

namespace vx::tool {
namespace {

const char kNoSigning[] =
    "this Windows build cannot make keys or sign; use the native (Linux) build of "
    "velmorandix-manifest, which signs with OpenSSL";

}  // namespace

std::optional<Sha256Digest> sha256_file(const std::filesystem::path& path) {
  return sha256_of_file(path.wstring());
}

std::optional<Sha256Digest> sha256_bytes(const std::string& bytes) {
  return sha256_of(bytes.data(), bytes.size());
}

bool verify_signature(const EcP256PublicKey& key, const Sha256Digest& digest,
                      const EcdsaP256Signature& signature) {
  return verify_p256_signature(key, digest, signature);
}

bool can_sign() { return false; }

bool generate_private_key(const std::filesystem::path&, EcP256PublicKey&, std::string& error) {
  error = kNoSigning;
  return false;
}

bool sign_bytes(const std::filesystem::path&, const std::string&, std::vector<uint8_t>&,
                std::string& error, EcP256PublicKey*) {
  error = kNoSigning;
  return false;
}

}  // namespace vx::tool
