// The manifest tool's signing side: the keygen and verify commands, and the
// pieces that manifest mode uses for --serial and --sign.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "update/signature_format.h"

namespace vx {

// keygen --private FILE: see the tool's help. Returns the exit code.
int run_keygen(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// verify --keys LIST --manifest FILE --signature FILE: exit code 0 when the
// signature verifies under one of the keys, 1 when it does not, 2 for bad
// usage or input (a malformed key, a file that cannot be read).
int run_verify(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// The public key as VELMORANDIX_UPDATE_KEYS takes it: base64 of the DER
// SubjectPublicKeyInfo.
std::string public_key_line(const EcP256PublicKey& key);

// A key list as VELMORANDIX_UPDATE_KEYS holds it: keys separated by ';',
// white space around them and empty items ignored. False with `error` naming
// the first malformed key, or when there is no key at all.
bool parse_key_list(const std::string& list, std::vector<EcP256PublicKey>& keys,
                    std::string& error);

// The value of --serial: decimal digits only, 0..2^31-1.
std::optional<uint32_t> parse_serial_option(const std::string& text);

// The content of a signature file for `bytes`, signed with the private key
// in `key_file`: base64 of the DER signature and a line end. With `signer`,
// also the key's public half, under which the signature is checked to
// verify as the bootstrapper checks it.
bool signature_file_text(const std::filesystem::path& key_file, const std::string& bytes,
                         std::string& text, std::string& error, EcP256PublicKey* signer = nullptr);

// How a manifest's signature fares under a key list, as the bootstrapper
// judges it.
struct SignatureCheck {
  bool verified = false;
  size_t key_index = 0;  // the verifying key, from 0
  std::string problem;   // when not verified: why
};
SignatureCheck check_signature(const std::vector<EcP256PublicKey>& keys,
                               const std::string& manifest, const std::string& signature_text);

}  // namespace vx
