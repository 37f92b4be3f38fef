// SHA-256 and ECDSA P-256 through the system's CNG, under Wine: published
// digests, and a signature that openssl made at build time.
#include "update/cng_crypto.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "update/update_keys.h"

namespace {

std::string read_file(const std::string& path) {
  std::ifstream in(path[0] == '/' ? "Z:" + path : path, std::ios::binary);  // host root is Z:
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string hex_of(const std::optional<vx::Sha256Digest>& digest) {
  return digest ? vx::sha256_hex(*digest) : "(none)";
}

TEST(CngSha256, PublishedDigestsInOnePieceInManyAndFromFiles) {
  const std::pair<std::string, const char*> cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {std::string(3000000, 'a'),  // as hashlib and sha256sum give it
       "2a152c894398719c0570f83fac34ac03a0f6e8e474b995c2403aa5434f7b9dd4"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first.substr(0, 20));
    EXPECT_EQ(hex_of(vx::sha256_of(c.first.data(), c.first.size())), c.second);
    for (const size_t piece : {size_t{63}, size_t{65536}}) {
      vx::Sha256Hasher hasher;
      for (size_t at = 0; at < c.first.size(); at += piece) {
        ASSERT_TRUE(hasher.update(c.first.data() + at, std::min(piece, c.first.size() - at)));
      }
      EXPECT_EQ(hex_of(hasher.finish()), c.second);
      EXPECT_FALSE(hasher.finish());  // a finished hash gives no second digest
    }
    // Files are read in 1 MiB pieces.
    std::ofstream("vx-cng-sha256-test.bin", std::ios::binary) << c.first;
    EXPECT_EQ(hex_of(vx::sha256_of_file(L"vx-cng-sha256-test.bin")), c.second);
  }
  std::remove("vx-cng-sha256-test.bin");
  EXPECT_FALSE(vx::sha256_of_file(L"vx-cng-sha256-test.bin"));
}

// `openssl dgst -sha256 -sign test_a.pem | base64 -w0` verifies under key A
// (the first of the test key set) and under nothing else.
TEST(CngSignature, OpensslSignatureVerifiesAndNothingElseDoes) {
  const std::string message = read_file(VX_SIGNED_MESSAGE);
  const vx::SignatureBody body = vx::decode_signature_body(read_file(VX_OPENSSL_SIGNATURE));
  ASSERT_EQ(body.status, vx::SignatureBodyStatus::kOk);
  ASSERT_EQ(vx::update_keys().count, 2u);
  const vx::EcP256PublicKey a = vx::update_keys().keys[0].key;
  const vx::EcP256PublicKey b = vx::update_keys().keys[1].key;
  auto digest = [](const std::string& bytes) { return *vx::sha256_of(bytes.data(), bytes.size()); };
  EXPECT_TRUE(vx::verify_p256_signature(a, digest(message), body.signature));

  std::string changed = message;
  changed[changed.size() / 2] ^= 0x01;
  EXPECT_FALSE(vx::verify_p256_signature(a, digest(changed), body.signature));
  EXPECT_FALSE(vx::verify_p256_signature(b, digest(message), body.signature));
  vx::EcdsaP256Signature other_s = body.signature;
  other_s.s[31] ^= 0x01;
  EXPECT_FALSE(vx::verify_p256_signature(a, digest(message), other_s));
  vx::EcP256PublicKey off_curve = a;
  off_curve.y[31] ^= 0x01;
  EXPECT_FALSE(vx::verify_p256_signature(off_curve, digest(message), body.signature));

  // Rotation: any key of the set may have signed.
  const vx::UpdateKey keys[] = {{"b", b}, {"a", a}};
  EXPECT_EQ(vx::find_verifying_key({keys, 2}, digest(message), body.signature), size_t{1});
  EXPECT_FALSE(vx::find_verifying_key({keys, 1}, digest(message), body.signature));
}

}  // namespace
