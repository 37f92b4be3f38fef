// The byte formats of signed updates: each decoder's one accepted encoding,
// and the near misses it must refuse.
#include "update/signature_format.h"

#include <gtest/gtest.h>

#include <cctype>
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

// The committed test key A (tests/update/keys/test_a.pub) and its point.
const char kKeyA[] =
    "MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAEHua8FzYi013zYmehzxSX65r+"
    "CVaIBZ66hpkMYEk8Oko3Y1JW7vB3chSqgU9G"
    "qJyErAPcT2GK/AfTxkuRuEp7CA==";
const char kKeyAX[] = "1ee6bc173622d35df36267a1cf1497eb9afe095688059eba86990c60493c3a4a";
const char kKeyAY[] = "37635256eef0777214aa814f46a89c84ac03dc4f618afc07d3c64b91b84a7b08";

// n, the order of the P-256 group, and n - 1, as DER INTEGER contents.
const std::string kN = "00ffffffff00000000ffffffffffffffffbce6faada7179e84f3b9cac2fc632551";
const std::string kNMinus1 = "00ffffffff00000000ffffffffffffffffbce6faada7179e84f3b9cac2fc632550";

std::string der_int(const std::string& content) {
  const size_t length = content.size() / 2;
  const char digits[] = "0123456789abcdef";
  return std::string("02") + digits[length >> 4] + digits[length & 15] + content;
}

std::string der_seq(const std::string& content) {
  const size_t length = content.size() / 2;
  const char digits[] = "0123456789abcdef";
  return std::string("30") + digits[length >> 4] + digits[length & 15] + content;
}

TEST(Base64, StrictStandardPaddedOnly) {
  struct Case {
    const char* text;
    const char* decoded;  // nullptr: refused
  };
  const Case cases[] = {
      {"", ""},
      {"Zg==", "f"},
      {"Zm8=", "fo"},
      {"Zm9v", "foo"},
      {"Zm9vYmFy", "foobar"},
      {"+/+/", "\xfb\xff\xbf"},
      {"Zg", nullptr},          // unpadded
      {"Zg=", nullptr},         // short padding
      {"Zg===", nullptr},       // length
      {"Z===", nullptr},        // three pads
      {"Zm=v", nullptr},        // pad inside
      {"Zg==Zg==", nullptr},    // pad before the end
      {"Zh==", nullptr},        // unused bits set
      {"Zm9=", nullptr},        // unused bits set
      {"Zm9v\n", nullptr},      // white space is not base64
      {" Zm9v", nullptr},       //
      {"Zm-_", nullptr},        // URL-safe alphabet
      {"Zm9\xc3\xa9", nullptr}  // non-ASCII
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const std::optional<Bytes> decoded = vx::decode_base64(c.text);
    ASSERT_EQ(decoded.has_value(), c.decoded != nullptr);
    if (!decoded) continue;
    EXPECT_EQ(std::string(decoded->begin(), decoded->end()), c.decoded);
    EXPECT_EQ(vx::encode_base64(decoded->data(), decoded->size()), c.text);
  }
  Bytes all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<uint8_t>(i));
  for (size_t length = 0; length <= all.size(); length += 37) {
    const std::string text = vx::encode_base64(all.data(), length);
    EXPECT_EQ(*vx::decode_base64(text), Bytes(all.begin(), all.begin() + length));
  }
}

TEST(PublicKey, OnlyTheOneDerEncodingOfAP256Key) {
  const std::optional<vx::EcP256PublicKey> key = vx::decode_public_key(kKeyA);
  ASSERT_TRUE(key);
  EXPECT_EQ(Bytes(key->x.begin(), key->x.end()), hex(kKeyAX));
  EXPECT_EQ(Bytes(key->y.begin(), key->y.end()), hex(kKeyAY));
  const Bytes der = *vx::decode_base64(kKeyA);
  EXPECT_EQ(vx::p256_spki(*key), der);

  // Any change to the algorithm, curve, lengths or point form is refused.
  for (size_t i = 0; i < vx::kP256SpkiSize - 64; ++i) {
    Bytes changed = der;
    changed[i] ^= 0x01;
    EXPECT_FALSE(vx::parse_p256_spki(changed.data(), changed.size())) << "byte " << i;
  }
  Bytes longer = der;
  longer.push_back(0);
  EXPECT_FALSE(vx::parse_p256_spki(longer.data(), longer.size()));
  EXPECT_FALSE(vx::parse_p256_spki(der.data(), der.size() - 1));
  for (
      const char* text :
      {"", "MFkw",
       // P-384
       "MHYwEAYHKoZIzj0CAQYFK4EEACIDYgAE9aqnZQl80txcCxeXMOy1sQbLbgkZdzBxdf/4763dfqa9ExdPAU4rSqxGjXj"
       "B/PnBqmq0ByVjVfE4/fRBqccWcfbrDhZkWe8bfEHEyOlR1fFUN5aF3S+TPajDj+bZAux+",
       // the key with its final bits changed: not canonical base64
       "MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAEHua8FzYi013zYmehzxSX65r+CVaIBZ66hpkMYEk8Oko3Y1JW7vB3chS"
       "qgU9GqJyErAPcT2GK/AfTxkuRuEp7Cx=="}) {
    EXPECT_FALSE(vx::decode_public_key(text)) << text;
  }
}

TEST(Signature, StrictDerInRange) {
  struct Case {
    std::string der;
    bool valid;
  };
  const std::string one = der_int("01");
  const Case cases[] = {
      {der_seq(one + one), true},
      {der_seq(der_int("0080") + der_int("7f")), true},  // a needed leading zero
      {der_seq(der_int(kNMinus1) + der_int(kNMinus1)), true},
      {der_seq(der_int(kN) + one), false},                           // r = n
      {der_seq(one + der_int(kN)), false},                           // s = n
      {der_seq(der_int("00") + one), false},                         // r = 0
      {der_seq(one + der_int("00")), false},                         // s = 0
      {der_seq(der_int("007f") + one), false},                       // needless leading zero
      {der_seq(der_int("0000ff") + one), false},                     //
      {der_seq(der_int("80") + one), false},                         // negative
      {der_seq(der_int("ff01") + one), false},                       //
      {der_seq("0200" + one), false},                                // empty INTEGER
      {der_seq(der_int("00" + std::string(66, 'f')) + one), false},  // 33-byte magnitude
      {der_seq(one), false},                                         // one INTEGER
      {der_seq(one + one + one), false},                             // three
      {der_seq(one + one) + "00", false},                            // trailing byte
      {"3007" + one + one, false},                                   // SEQUENCE too long
      {"3005" + one + one, false},                                   // too short
      {"308106" + one + one, false},                                 // long length form
      {"3106" + one + one, false},                                   // SET
      {der_seq("0301010201"
               "01"),
       false},                           // BIT STRING for r
      {der_seq("020501" + one), false},  // INTEGER runs past
      {der_seq("028101"
               "01" +
               one),
       false},  // long INTEGER length
      {"30", false},
      {"", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.der);
    const Bytes der = hex(c.der);
    const std::optional<vx::EcdsaP256Signature> signature =
        vx::parse_ecdsa_signature(der.data(), der.size());
    ASSERT_EQ(signature.has_value(), c.valid);
    if (signature) {
      EXPECT_EQ(vx::ecdsa_signature_der(*signature), der);
    }
  }
  const Bytes der = hex(der_seq(der_int("0080") + der_int("7f")));
  const vx::EcdsaP256Signature signature = *vx::parse_ecdsa_signature(der.data(), der.size());
  EXPECT_EQ(signature.r[31], 0x80);
  EXPECT_EQ(signature.r[30], 0x00);
  EXPECT_EQ(signature.s[31], 0x7f);
}

TEST(Signature, BodyAllowsWhiteSpaceAndIsBounded) {
  const Bytes der = hex(der_seq(der_int(kNMinus1) + der_int("0080")));
  const std::string text = vx::encode_base64(der.data(), der.size());
  using Status = vx::SignatureBodyStatus;
  struct Case {
    std::string body;
    Status status;
  };
  const Case cases[] = {
      {text, Status::kOk},
      {" \r\n\t" + text + "\n", Status::kOk},
      {text.substr(0, 20) + "\n" + text.substr(20, 7) + " \v\f" + text.substr(27), Status::kOk},
      {text + std::string(vx::kMaxSignatureBody - text.size(), ' '), Status::kOk},
      {text + std::string(vx::kMaxSignatureBody - text.size() + 1, ' '), Status::kTooLong},
      {std::string(1 << 20, 'A'), Status::kTooLong},
      {"", Status::kNotBase64},
      {"   \n", Status::kNotBase64},
      {text.substr(1), Status::kNotBase64},
      {"<html>404</html>", Status::kNotBase64},
      {"Zm9vYmFy", Status::kNotDer},
      {text.substr(0, text.size() - 4) + "AAA=", Status::kNotDer},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body.substr(0, 80));
    const vx::SignatureBody body = vx::decode_signature_body(c.body);
    EXPECT_EQ(body.status, c.status);
    if (c.status == Status::kOk) {
      EXPECT_EQ(vx::ecdsa_signature_der(body.signature), der);
    }
  }
  EXPECT_EQ(vx::decode_signature_body(text + '\0').status, Status::kNotBase64);
}

TEST(Sha256Hex, SixtyFourDigitsEitherCase) {
  const std::string lower = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
  std::string upper = lower;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const std::optional<vx::Sha256Digest> digest = vx::parse_sha256_hex(lower);
  ASSERT_TRUE(digest);
  EXPECT_EQ((*digest)[0], 0xba);
  EXPECT_EQ((*digest)[31], 0xad);
  EXPECT_EQ(vx::sha256_hex(*digest), lower);
  EXPECT_EQ(vx::parse_sha256_hex(upper), digest);
  EXPECT_EQ(vx::parse_sha256_hex(upper.substr(0, 32) + lower.substr(32)), digest);
  for (const std::string& bad :
       {lower.substr(1), lower + "0", " " + lower.substr(1), lower.substr(0, 63) + "g",
        lower.substr(0, 63) + "\n", std::string(), std::string(64, '\0')}) {
    EXPECT_FALSE(vx::parse_sha256_hex(bad)) << bad;
  }
}

TEST(SerialText, DecimalOrZero) {
  const std::pair<std::string, uint32_t> cases[] = {
      {"0", 0},
      {"5", 5},
      {"  12\r\n", 12},
      {"007", 7},
      {"2147483647", 2147483647u},
      {"2147483648", 0},  // above 2^31-1
      {"4294967297", 0},  // would wrap a 32-bit number
      {"99999999999999999999999", 0},
      {"", 0},
      {"\n", 0},
      {"-1", 0},
      {"+1", 0},
      {"1 2", 0},
      {"12abc", 0},
      {"0x10", 0},
      {std::string("1\0", 2), 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(vx::parse_serial_text(c.first), c.second) << c.first;
  }
  for (const uint32_t serial : {0u, 9u, 10u, 4096u, vx::kMaxSerial}) {
    EXPECT_EQ(vx::parse_serial_text(vx::format_serial(serial)), serial);
  }
  EXPECT_EQ(vx::format_serial(42), "42");
}

#ifdef VX_TEST_KEY_SET
// The key table CMake generated from the test keys holds what the decoder
// makes of the same text.
TEST(UpdateKeySet, GeneratedTableMatchesTheDecoder) {
  const vx::UpdateKeySet& set = vx::update_keys();
  ASSERT_EQ(set.count, 2u);
  EXPECT_STREQ(set.keys[0].base64, kKeyA);
  for (size_t i = 0; i < set.count; ++i) {
    const std::optional<vx::EcP256PublicKey> key = vx::decode_public_key(set.keys[i].base64);
    ASSERT_TRUE(key);
    EXPECT_EQ(key->x, set.keys[i].key.x);
    EXPECT_EQ(key->y, set.keys[i].key.y);
  }
}
#endif

}  // namespace
