// The manifest tool's cryptography. The native tool uses OpenSSL's libcrypto
// for everything; the Windows tool hashes and verifies through the system's
// CNG (the same code as the bootstrapper) and cannot make keys or sign.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "update/signature_format.h"

namespace vx::tool {

// SHA-256 of a file's whole content; empty when it cannot be read.
std::optional<Sha256Digest> sha256_file(const std::filesystem::path& path);

// SHA-256 of bytes.
std::optional<Sha256Digest> sha256_bytes(const std::string& bytes);

// Whether the signature of the digest verifies under the key.
bool verify_signature(const EcP256PublicKey& key, const Sha256Digest& digest,
                      const EcdsaP256Signature& signature);

// Whether this build can make keys and sign.
bool can_sign();

// Writes a new P-256 private key as PKCS#8 PEM to a file that must not exist
// yet, readable and writable by its owner only, and gives its public key.
// False with `error` set when the file exists or cannot be written (nothing
// is left behind then) or when this build cannot sign.
bool generate_private_key(const std::filesystem::path& path, EcP256PublicKey& public_key,
                          std::string& error);

// The DER ECDSA P-256 signature (SHA-256) of `bytes` with the PEM private
// key in `key_file`, and, when `signer` is given, that key's public half;
// false with `error` set when the key cannot be read, is not a P-256 key, or
// this build cannot sign.
bool sign_bytes(const std::filesystem::path& key_file, const std::string& bytes,
                std::vector<uint8_t>& der_signature, std::string& error,
                EcP256PublicKey* signer = nullptr);

}  // namespace vx::tool
