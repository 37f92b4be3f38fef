// SHA-256 and ECDSA P-256 through the system's CNG, under Wine: published
// digests, and signatures that openssl made at build time.
#include "update/cng_crypto.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "update/update_keys.h"

namespace {

std::string host_path(std::string path) { return path[0] == '/' ? "Z:" + path : path; }

std::string read_file(const std::string& path) {
  std::ifstream in(host_path(path), std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string hex_of(const std::optional<vx::Sha256Digest>& digest) {
  return digest ? vx::sha256_hex(*digest) : "(none)";
}

TEST(CngSha256, PublishedDigestsInOnePieceAndInMany) {
  const std::pair<std::string, const char*> cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first.substr(0, 20));
    EXPECT_EQ(hex_of(vx::sha256_of(c.first.data(), c.first.size())), c.second);
    for (const size_t piece : {size_t{1}, size_t{63}, size_t{65536}}) {
      vx::Sha256Hasher hasher;
      for (size_t at = 0; at < c.first.size(); at += piece) {
        ASSERT_TRUE(hasher.update(c.first.data() + at, std::min(piece, c.first.size() - at)));
      }
      EXPECT_EQ(hex_of(hasher.finish()), c.second);
      EXPECT_FALSE(hasher.finish());  // a finished hash gives no second digest
    }
  }
}

TEST(CngSha256, FilesAreHashedInPieces) {
  std::string content(3 * 1048576 + 17, '\0');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 131 + i / 4099);
  const std::string path = "vx-cng-sha256-test.bin";
  std::ofstream(path, std::ios::binary) << content;
  EXPECT_EQ(hex_of(vx::sha256_of_file(L"vx-cng-sha256-test.bin")),
            hex_of(vx::sha256_of(content.data(), content.size())));
  std::ofstream(path, std::ios::binary | std::ios::trunc).flush();
  EXPECT_EQ(hex_of(vx::sha256_of_file(L"vx-cng-sha256-test.bin")),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  std::remove(path.c_str());
  EXPECT_FALSE(vx::sha256_of_file(L"vx-cng-sha256-test.bin"));
}

// `openssl dgst -sha256 -sign test_a.pem | base64 -w0`, made at build time.
class CngSignature : public ::testing::Test {
 protected:
  void SetUp() override {
    message_ = read_file(VX_SIGNED_MESSAGE);
    ASSERT_FALSE(message_.empty());
    const vx::SignatureBody body = vx::decode_signature_body(read_file(VX_OPENSSL_SIGNATURE));
    ASSERT_EQ(body.status, vx::SignatureBodyStatus::kOk);
    signature_ = body.signature;
    ASSERT_EQ(vx::update_keys().count, 2u);
    key_a_ = vx::update_keys().keys[0].key;
    key_b_ = vx::update_keys().keys[1].key;
  }
  vx::Sha256Digest digest(const std::string& bytes) {
    return *vx::sha256_of(bytes.data(), bytes.size());
  }

  std::string message_;
  vx::EcdsaP256Signature signature_;
  vx::EcP256PublicKey key_a_;
  vx::EcP256PublicKey key_b_;
};

TEST_F(CngSignature, OpensslSignatureVerifiesAndNothingElseDoes) {
  EXPECT_TRUE(vx::verify_p256_signature(key_a_, digest(message_), signature_));

  std::string changed = message_;
  changed[changed.size() / 2] ^= 0x01;
  EXPECT_FALSE(vx::verify_p256_signature(key_a_, digest(changed), signature_));
  EXPECT_FALSE(vx::verify_p256_signature(key_b_, digest(message_), signature_));
  vx::EcdsaP256Signature other_s = signature_;
  other_s.s[31] ^= 0x01;
  EXPECT_FALSE(vx::verify_p256_signature(key_a_, digest(message_), other_s));
  vx::EcP256PublicKey off_curve = key_a_;
  off_curve.y[31] ^= 0x01;
  EXPECT_FALSE(vx::verify_p256_signature(off_curve, digest(message_), signature_));

  // Rotation: any key of the set may have signed.
  const vx::EcP256PublicKey keys[] = {key_b_, key_a_};
  EXPECT_EQ(vx::find_verifying_key(keys, 2, digest(message_), signature_), size_t{1});
  EXPECT_FALSE(vx::find_verifying_key(keys, 1, digest(message_), signature_));
}

}  // namespace
