// The byte formats of signed updates, free of any platform API so that they
// run natively under the sanitizers and the fuzzer: base64, the DER public
// key and signature, SHA-256 digests as hex text, and the stored serial.
//
// Every decoder is strict and bounded: it accepts exactly one encoding of a
// value and refuses anything else with a result, never by throwing.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vx {

using Sha256Digest = std::array<uint8_t, 32>;

// An ECDSA P-256 public key as its two affine coordinates, big-endian.
struct EcP256PublicKey {
  std::array<uint8_t, 32> x{};
  std::array<uint8_t, 32> y{};
};

// An ECDSA P-256 signature, r and s big-endian and left-padded to 32 bytes;
// r || s is the form the system's verifier takes.
struct EcdsaP256Signature {
  std::array<uint8_t, 32> r{};
  std::array<uint8_t, 32> s{};
};

// Standard-alphabet, padded base64 with nothing else in the text: length a
// multiple of 4, "=" only as one or two final characters, unused bits of the
// last character zero. The empty text decodes to no bytes.
std::optional<std::vector<uint8_t>> decode_base64(std::string_view text);

// Standard-alphabet, padded base64 of the bytes (no line breaks).
std::string encode_base64(const uint8_t* data, size_t size);

// Whether the byte is ASCII white space: space, tab, LF, VT, FF or CR.
bool is_ascii_space(char c);

// The 91-byte DER SubjectPublicKeyInfo of a P-256 key: id-ecPublicKey with
// the named curve prime256v1 and an uncompressed point. DER has exactly one
// encoding of it, so any other byte (another curve, explicit parameters, a
// compressed point, a longer or shorter text) is refused.
constexpr size_t kP256SpkiSize = 91;
std::optional<EcP256PublicKey> parse_p256_spki(const uint8_t* der, size_t size);

// DER SubjectPublicKeyInfo of the key: the inverse of parse_p256_spki.
std::vector<uint8_t> p256_spki(const EcP256PublicKey& key);

// A public key as it is configured: strict base64 of the DER
// SubjectPublicKeyInfo.
std::optional<EcP256PublicKey> decode_public_key(std::string_view base64);

// A DER ECDSA-Sig-Value (SEQUENCE of two INTEGERs r and s), strictly: definite
// minimal lengths, minimal positive INTEGER encodings, nothing after the
// SEQUENCE, and r and s in 1..n-1 where n is the order of the P-256 group.
std::optional<EcdsaP256Signature> parse_ecdsa_signature(const uint8_t* der, size_t size);

// DER ECDSA-Sig-Value of r and s: the inverse of parse_ecdsa_signature.
std::vector<uint8_t> ecdsa_signature_der(const EcdsaP256Signature& signature);

// Why a signature body was refused.
enum class SignatureBodyStatus {
  kOk,
  kTooLong,    // more than kMaxSignatureBody bytes
  kNotBase64,  // not base64 once white space is taken out
  kNotDer,     // not a strict DER ECDSA-Sig-Value in range
};

// Bodies longer than this are refused before any decoding.
constexpr size_t kMaxSignatureBody = 4096;

struct SignatureBody {
  SignatureBodyStatus status = SignatureBodyStatus::kNotBase64;
  EcdsaP256Signature signature;  // meaningful only for kOk
};

// The body of a signature reply or file: base64 of the DER signature, with
// ASCII white space allowed around it and anywhere inside it (so wrapped
// lines are fine).
SignatureBody decode_signature_body(std::string_view body);

// Exactly 64 hexadecimal digits, either case, and nothing else.
std::optional<Sha256Digest> parse_sha256_hex(std::string_view text);

// 64 lowercase hexadecimal digits.
std::string sha256_hex(const Sha256Digest& digest);

// Highest serial a manifest may carry: 2^31 - 1.
constexpr uint32_t kMaxSerial = 0x7FFFFFFF;

// The content of the stored serial file: decimal digits, optionally with
// white space around them, at most kMaxSerial. Anything else (an empty or
// oversized file, a sign, another character, a larger number) counts as 0.
uint32_t parse_serial_text(std::string_view text);

// The stored form of a serial: its decimal digits, no line end.
std::string format_serial(uint32_t serial);

}  // namespace vx
