#include "update/signature_format.h"

#include <algorithm>
#include <cstring>

namespace vx {
namespace {

const char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int base64_value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Everything of a P-256 SubjectPublicKeyInfo before the two coordinates:
// SEQUENCE { SEQUENCE { OID id-ecPublicKey, OID prime256v1 },
// BIT STRING (no unused bits) holding 0x04 || X || Y }.
const uint8_t kSpkiPrefix[] = {0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2A, 0x86, 0x48,
                               0xCE, 0x3D, 0x02, 0x01, 0x06, 0x08, 0x2A, 0x86, 0x48,
                               0xCE, 0x3D, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00, 0x04};
static_assert(sizeof kSpkiPrefix + 64 == kP256SpkiSize, "P-256 SPKI layout");

// The order n of the P-256 group, big-endian.
const std::array<uint8_t, 32> kP256Order = {
    0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xBC, 0xE6, 0xFA, 0xAD, 0xA7, 0x17, 0x9E, 0x84, 0xF3, 0xB9, 0xCA, 0xC2, 0xFC, 0x63, 0x25, 0x51};

constexpr uint8_t kDerInteger = 0x02;
constexpr uint8_t kDerSequence = 0x30;

// Reads one DER INTEGER at `pos` and advances past it. It must be positive,
// minimally encoded (a leading zero byte only when the next byte has its top
// bit set), fit 32 bytes and lie in 1..n-1. Lengths of 128 or more never fit,
// so only the short length form is valid here.
bool read_scalar(const uint8_t* der, size_t size, size_t& pos, std::array<uint8_t, 32>& out) {
  if (size - pos < 2 || der[pos] != kDerInteger) return false;
  const size_t length = der[pos + 1];
  pos += 2;
  if (length == 0 || length >= 0x80 || length > size - pos) return false;
  const uint8_t* value = der + pos;
  pos += length;
  if (value[0] & 0x80) return false;  // negative
  size_t magnitude = length;
  if (value[0] == 0 && length > 1) {
    if (!(value[1] & 0x80)) return false;  // a zero byte that was not needed
    ++value;
    --magnitude;
  }
  if (magnitude > out.size()) return false;
  out.fill(0);
  std::memcpy(out.data() + out.size() - magnitude, value, magnitude);
  const bool zero = std::all_of(out.begin(), out.end(), [](uint8_t b) { return b == 0; });
  return !zero && out < kP256Order;  // std::array compares bytes from the first: big-endian
}

// DER INTEGER of a positive big-endian number: leading zero bytes dropped, one
// put back when the top bit is set.
void append_integer(const std::array<uint8_t, 32>& number, std::vector<uint8_t>& der) {
  size_t first = 0;
  while (first + 1 < number.size() && number[first] == 0) ++first;
  const bool pad = (number[first] & 0x80) != 0;
  der.push_back(kDerInteger);
  der.push_back(static_cast<uint8_t>(number.size() - first + (pad ? 1 : 0)));
  if (pad) der.push_back(0);
  der.insert(der.end(), number.begin() + static_cast<std::ptrdiff_t>(first), number.end());
}

}  // namespace

bool is_ascii_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::optional<std::vector<uint8_t>> decode_base64(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  size_t padding = 0;
  if (!text.empty() && text.back() == '=') padding = text[text.size() - 2] == '=' ? 2 : 1;
  std::vector<uint8_t> bytes;
  bytes.reserve(text.size() / 4 * 3);
  for (size_t at = 0; at < text.size(); at += 4) {
    const bool last = at + 4 == text.size();
    const size_t digits = last ? 4 - padding : 4;
    uint32_t group = 0;
    for (size_t i = 0; i < 4; ++i) {
      int value = 0;
      if (i < digits) {
        value = base64_value(text[at + i]);
        if (value < 0) return std::nullopt;  // also "=" before the end
      }
      group = (group << 6) | static_cast<uint32_t>(value);
    }
    // One canonical text per byte sequence: the bits below the last full
    // byte must be zero.
    if (digits == 3 && (group & 0xFF) != 0) return std::nullopt;
    if (digits == 2 && (group & 0xFFFF) != 0) return std::nullopt;
    bytes.push_back(static_cast<uint8_t>(group >> 16));
    if (digits >= 3) bytes.push_back(static_cast<uint8_t>(group >> 8));
    if (digits == 4) bytes.push_back(static_cast<uint8_t>(group));
  }
  return bytes;
}

std::string encode_base64(const uint8_t* data, size_t size) {
  std::string text;
  text.reserve((size + 2) / 3 * 4);
  for (size_t at = 0; at < size; at += 3) {
    const size_t take = std::min<size_t>(3, size - at);
    uint32_t group = static_cast<uint32_t>(data[at]) << 16;
    if (take > 1) group |= static_cast<uint32_t>(data[at + 1]) << 8;
    if (take > 2) group |= data[at + 2];
    text.push_back(kBase64Alphabet[(group >> 18) & 63]);
    text.push_back(kBase64Alphabet[(group >> 12) & 63]);
    text.push_back(take > 1 ? kBase64Alphabet[(group >> 6) & 63] : '=');
    text.push_back(take > 2 ? kBase64Alphabet[group & 63] : '=');
  }
  return text;
}

std::optional<EcP256PublicKey> parse_p256_spki(const uint8_t* der, size_t size) {
  if (size != kP256SpkiSize || std::memcmp(der, kSpkiPrefix, sizeof kSpkiPrefix) != 0) {
    return std::nullopt;
  }
  EcP256PublicKey key;
  std::memcpy(key.x.data(), der + sizeof kSpkiPrefix, 32);
  std::memcpy(key.y.data(), der + sizeof kSpkiPrefix + 32, 32);
  return key;
}

std::vector<uint8_t> p256_spki(const EcP256PublicKey& key) {
  std::vector<uint8_t> der(kP256SpkiSize);
  std::memcpy(der.data(), kSpkiPrefix, sizeof kSpkiPrefix);
  std::memcpy(der.data() + sizeof kSpkiPrefix, key.x.data(), 32);
  std::memcpy(der.data() + sizeof kSpkiPrefix + 32, key.y.data(), 32);
  return der;
}

std::optional<EcP256PublicKey> decode_public_key(std::string_view base64) {
  const std::optional<std::vector<uint8_t>> der = decode_base64(base64);
  if (!der) return std::nullopt;
  return parse_p256_spki(der->data(), der->size());
}

std::optional<EcdsaP256Signature> parse_ecdsa_signature(const uint8_t* der, size_t size) {
  // SEQUENCE with a short-form length (the largest valid one is 70) that
  // covers exactly the rest of the input.
  if (size < 2 || der[0] != kDerSequence || der[1] >= 0x80 || der[1] != size - 2) {
    return std::nullopt;
  }
  EcdsaP256Signature signature;
  size_t pos = 2;
  if (!read_scalar(der, size, pos, signature.r) || !read_scalar(der, size, pos, signature.s)) {
    return std::nullopt;
  }
  if (pos != size) return std::nullopt;
  return signature;
}

std::vector<uint8_t> ecdsa_signature_der(const EcdsaP256Signature& signature) {
  std::vector<uint8_t> der = {kDerSequence, 0};
  append_integer(signature.r, der);
  append_integer(signature.s, der);
  der[1] = static_cast<uint8_t>(der.size() - 2);
  return der;
}

SignatureBody decode_signature_body(std::string_view body) {
  SignatureBody result;
  if (body.size() > kMaxSignatureBody) {
    result.status = SignatureBodyStatus::kTooLong;
    return result;
  }
  std::string compact;
  compact.reserve(body.size());
  for (const char c : body) {
    if (!is_ascii_space(c)) compact.push_back(c);
  }
  const std::optional<std::vector<uint8_t>> der = decode_base64(compact);
  if (!der || der->empty()) {
    result.status = SignatureBodyStatus::kNotBase64;
    return result;
  }
  const std::optional<EcdsaP256Signature> signature =
      parse_ecdsa_signature(der->data(), der->size());
  if (!signature) {
    result.status = SignatureBodyStatus::kNotDer;
    return result;
  }
  result.status = SignatureBodyStatus::kOk;
  result.signature = *signature;
  return result;
}

std::optional<Sha256Digest> parse_sha256_hex(std::string_view text) {
  Sha256Digest digest;
  if (text.size() != digest.size() * 2) return std::nullopt;
  for (size_t i = 0; i < digest.size(); ++i) {
    const int high = hex_value(text[2 * i]);
    const int low = hex_value(text[2 * i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    digest[i] = static_cast<uint8_t>(high << 4 | low);
  }
  return digest;
}

std::string sha256_hex(const Sha256Digest& digest) {
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  text.reserve(digest.size() * 2);
  for (const uint8_t byte : digest) {
    text.push_back(kHex[byte >> 4]);
    text.push_back(kHex[byte & 0xF]);
  }
  return text;
}

uint32_t parse_serial_text(std::string_view text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && is_ascii_space(text[begin])) ++begin;
  while (end > begin && is_ascii_space(text[end - 1])) --end;
  if (begin == end) return 0;
  uint64_t serial = 0;
  for (size_t i = begin; i < end; ++i) {
    const char c = text[i];
    if (c < '0' || c > '9') return 0;
    serial = serial * 10 + static_cast<uint64_t>(c - '0');
    if (serial > kMaxSerial) return 0;  // checked at each digit, so it never wraps
  }
  return static_cast<uint32_t>(serial);
}

std::string format_serial(uint32_t serial) { return std::to_string(serial); }

}  // namespace vx
