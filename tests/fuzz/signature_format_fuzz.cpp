// Any bytes as a signature body, a key, a DER signature, a digest text or a
// serial file: never a crash or a sanitizer report, and whatever a decoder
// accepts is exactly the one encoding its encoder makes again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "update/signature_format.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  const vx::SignatureBody body = vx::decode_signature_body(text);
  if (size > vx::kMaxSignatureBody && body.status != vx::SignatureBodyStatus::kTooLong)
    std::abort();

  if (const auto bytes = vx::decode_base64(text)) {
    if (vx::encode_base64(bytes->data(), bytes->size()) != text) std::abort();
  }
  if (const auto key = vx::parse_p256_spki(data, size)) {
    if (vx::p256_spki(*key) != std::vector<uint8_t>(data, data + size)) std::abort();
  }
  if (const auto key = vx::decode_public_key(text)) {
    const std::vector<uint8_t> der = vx::p256_spki(*key);
    if (vx::encode_base64(der.data(), der.size()) != text) std::abort();
  }
  if (const auto signature = vx::parse_ecdsa_signature(data, size)) {
    if (vx::ecdsa_signature_der(*signature) != std::vector<uint8_t>(data, data + size))
      std::abort();
  }
  if (const auto digest = vx::parse_sha256_hex(text)) {
    if (vx::parse_sha256_hex(vx::sha256_hex(*digest)) != digest) std::abort();
  }
  const uint32_t serial = vx::parse_serial_text(text);
  if (serial > vx::kMaxSerial || vx::parse_serial_text(vx::format_serial(serial)) != serial) {
    std::abort();
  }
  return 0;
}
