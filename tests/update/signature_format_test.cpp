// The byte formats of signed updates: each decoder's one accepted encoding,
// and the near misses it must refuse.
#include "update/signature_format.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "update/update_keys.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes hex(const std::string& text) {
  Bytes bytes;
  for (size_t i = 0; i + 1 < text.size(); i += 2) {
    bytes.push_back(static_cast<uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

// A DER element in hex: tag, short-form length, content.
std::string der(const std::string& tag, const std::string& content) {
  const char digits[] = "0123456789abcdef";
  const size_t length = content.size() / 2;
  return tag + digits[length >> 4] + digits[length & 15] + content;
}

// The committed test key A (tests/update/keys/test_a.pub) and its point.
const std::string kKeyA =
    "MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAEHua8FzYi013zYmehzxSX65r+"
    "CVaIBZ66hpkMYEk8Oko3Y1JW7vB3chSqgU9G"
    "qJyErAPcT2GK/AfTxkuRuEp7CA==";
const char kKeyAX[] = "1ee6bc173622d35df36267a1cf1497eb9afe095688059eba86990c60493c3a4a";
const char kKeyAY[] = "37635256eef0777214aa814f46a89c84ac03dc4f618afc07d3c64b91b84a7b08";

// n, the order of the P-256 group, and n - 1, as DER INTEGER contents.
const std::string kN = "00ffffffff00000000ffffffffffffffffbce6faada7179e84f3b9cac2fc632551";
const std::string kNMinus1 = "00ffffffff00000000ffffffffffffffffbce6faada7179e84f3b9cac2fc632550";

TEST(Base64, StrictStandardPaddedOnly) {
  const std::pair<const char*, const char*> valid[] = {
      {"", ""}, {"Zg==", "f"}, {"Zm8=", "fo"}, {"Zm9vYmFy", "foobar"}, {"+/+/", "\xfb\xff\xbf"}};
  for (const auto& c : valid) {
    const std::optional<Bytes> decoded = vx::decode_base64(c.first);
    ASSERT_TRUE(decoded) << c.first;
    EXPECT_EQ(std::string(decoded->begin(), decoded->end()), c.second);
    EXPECT_EQ(vx::encode_base64(decoded->data(), decoded->size()), c.first);
  }
  // Unpadded, short or long padding, "=" inside, unused bits set, white
  // space, the URL-safe alphabet, non-ASCII.
  for (const char* text : {"Zg", "Zg=", "Zg===", "Z===", "Zm=v",
                           "Zg==Zg==", "Zh==", "Zm9=", "Zm9v\n", " Zm9v", "Zm-_", "Zm9\xc3\xa9"}) {
    EXPECT_FALSE(vx::decode_base64(text)) << text;
  }
}

TEST(PublicKey, OnlyTheOneDerEncodingOfAP256Key) {
  const std::optional<vx::EcP256PublicKey> key = vx::decode_public_key(kKeyA);
  ASSERT_TRUE(key);
  EXPECT_EQ(Bytes(key->x.begin(), key->x.end()), hex(kKeyAX));
  EXPECT_EQ(Bytes(key->y.begin(), key->y.end()), hex(kKeyAY));
  const Bytes spki = *vx::decode_base64(kKeyA);
  EXPECT_EQ(vx::p256_spki(*key), spki);

  // Any change to the algorithm, curve, lengths or point form is refused.
  for (size_t i = 0; i < vx::kP256SpkiSize - 64; ++i) {
    Bytes changed = spki;
    changed[i] ^= 0x01;
    EXPECT_FALSE(vx::parse_p256_spki(changed.data(), changed.size())) << "byte " << i;
  }
  Bytes longer = spki;
  longer.push_back(0);
  EXPECT_FALSE(vx::parse_p256_spki(longer.data(), longer.size()));
  EXPECT_FALSE(vx::parse_p256_spki(spki.data(), spki.size() - 1));
  const std::string noncanonical = kKeyA.substr(0, kKeyA.size() - 3) + "x==";
  for (const std::string& text : {std::string(), std::string("MFkw"), noncanonical}) {
    EXPECT_FALSE(vx::decode_public_key(text)) << text;
  }
}

TEST(Signature, StrictDerInRange) {
  const std::string one = der("02", "01");
  const std::string valid[] = {der("30", one + one), der("30", der("02", "0080") + der("02", "7f")),
                               der("30", der("02", kNMinus1) + der("02", kNMinus1))};
  for (const std::string& text : valid) {
    const Bytes bytes = hex(text);
    const auto signature = vx::parse_ecdsa_signature(bytes.data(), bytes.size());
    ASSERT_TRUE(signature) << text;
    EXPECT_EQ(vx::ecdsa_signature_der(*signature), bytes);
  }
  const Bytes padded = hex(valid[1]);
  const auto signature = *vx::parse_ecdsa_signature(padded.data(), padded.size());
  EXPECT_EQ(signature.r[30], 0x00);
  EXPECT_EQ(signature.r[31], 0x80);
  EXPECT_EQ(signature.s[31], 0x7f);

  // r or s of n or 0; needless leading zeros; negative numbers; an empty or
  // a 33-byte INTEGER; one or three INTEGERs; a trailing byte; a SEQUENCE
  // length too long, too short or in long form; a SET; a BIT STRING for r;
  // an INTEGER running past the end or with a long-form length; too short.
  // clang-format off
  const std::string refused[] = {
      der("30", der("02", kN) + one), der("30", one + der("02", kN)),
      der("30", der("02", "00") + one), der("30", one + der("02", "00")),
      der("30", der("02", "007f") + one), der("30", der("02", "0000ff") + one),
      der("30", der("02", "80") + one), der("30", der("02", "ff01") + one),
      der("30", "0200" + one), der("30", der("02", "00" + std::string(66, 'f')) + one),
      der("30", one), der("30", one + one + one), der("30", one + one) + "00",
      "3007" + one + one, "3005" + one + one, "308106" + one + one, "3106" + one + one,
      der("30", "030101" + one), der("30", "020501" + one), der("30", "02810101" + one),
      "30", ""};
  // clang-format on
  for (const std::string& text : refused) {
    const Bytes bytes = hex(text);
    EXPECT_FALSE(vx::parse_ecdsa_signature(bytes.data(), bytes.size())) << text;
  }
}

TEST(Signature, BodyAllowsWhiteSpaceAndIsBounded) {
  const Bytes der_bytes = hex(der("30", der("02", kNMinus1) + der("02", "0080")));
  const std::string text = vx::encode_base64(der_bytes.data(), der_bytes.size());
  using Status = vx::SignatureBodyStatus;
  const std::pair<std::string, Status> cases[] = {
      {text, Status::kOk},
      {" \r\n\t" + text.substr(0, 20) + "\n" + text.substr(20, 7) + " \v\f" + text.substr(27),
       Status::kOk},
      {text + std::string(vx::kMaxSignatureBody - text.size(), ' '), Status::kOk},
      {text + std::string(vx::kMaxSignatureBody - text.size() + 1, ' '), Status::kTooLong},
      {std::string(1 << 20, 'A'), Status::kTooLong},
      {"   \n", Status::kNotBase64},
      {text.substr(1), Status::kNotBase64},
      {text + '\0', Status::kNotBase64},
      {"<html>404</html>", Status::kNotBase64},
      {"Zm9vYmFy", Status::kNotDer},
      {text.substr(0, text.size() - 4) + "AAA=", Status::kNotDer},  // s with a zero lead
  };
  for (const auto& c : cases) {
    const vx::SignatureBody body = vx::decode_signature_body(c.first);
    EXPECT_EQ(body.status, c.second) << c.first.substr(0, 80);
    if (c.second == Status::kOk) {
      EXPECT_EQ(vx::ecdsa_signature_der(body.signature), der_bytes);
    }
  }
}

TEST(Sha256Hex, SixtyFourDigitsEitherCase) {
  const std::string lower = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
  const std::optional<vx::Sha256Digest> digest = vx::parse_sha256_hex(lower);
  ASSERT_TRUE(digest);
  EXPECT_EQ((*digest)[0], 0xba);
  EXPECT_EQ((*digest)[31], 0xad);
  EXPECT_EQ(vx::sha256_hex(*digest), lower);
  EXPECT_EQ(
      vx::parse_sha256_hex("BA7816BF8F01CFEA414140DE5DAE2223b00361a396177a9cb410ff61f20015ad"),
      digest);
  for (const std::string& bad :
       {lower.substr(1), lower + "0", " " + lower.substr(1), lower.substr(0, 63) + "g",
        lower.substr(0, 63) + "\n", std::string(), std::string(64, '\0')}) {
    EXPECT_FALSE(vx::parse_sha256_hex(bad)) << bad;
  }
}

TEST(SerialText, DecimalOrZero) {
  // 2147483648 is above 2^31-1; 4294967297 would wrap a 32-bit number.
  // clang-format off
  const std::pair<std::string, uint32_t> cases[] = {
      {"0", 0}, {"5", 5}, {"  12\r\n", 12}, {"007", 7}, {"2147483647", vx::kMaxSerial},
      {"2147483648", 0}, {"4294967297", 0}, {"99999999999999999999999", 0}, {"", 0}, {"\n", 0},
      {"-1", 0}, {"+1", 0}, {"1 2", 0}, {"12abc", 0}, {"0x10", 0}, {std::string("1\0", 2), 0}};
  // clang-format on
  for (const auto& c : cases) {
    EXPECT_EQ(vx::parse_serial_text(c.first), c.second) << c.first;
  }
  EXPECT_EQ(vx::format_serial(vx::kMaxSerial), "2147483647");
  EXPECT_EQ(vx::format_serial(0), "0");
}

// The key table CMake generated from the test keys holds what the decoder
// makes of the same text.
TEST(UpdateKeySet, GeneratedTableMatchesTheDecoder) {
  const vx::UpdateKeySet& set = vx::update_keys();
  ASSERT_EQ(set.count, 2u);
  EXPECT_EQ(set.keys[0].base64, kKeyA);
  for (size_t i = 0; i < set.count; ++i) {
    const std::optional<vx::EcP256PublicKey> key = vx::decode_public_key(set.keys[i].base64);
    ASSERT_TRUE(key);
    EXPECT_EQ(key->x, set.keys[i].key.x);
    EXPECT_EQ(key->y, set.keys[i].key.y);
  }
}

}  // namespace
