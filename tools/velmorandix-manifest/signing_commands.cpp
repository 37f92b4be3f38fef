#include "tools/velmorandix-manifest/signing_commands.h"

#include <fstream>
#include <iterator>
#include <map>

#include "tools/velmorandix-manifest/manifest_tool.h"
#include "tools/velmorandix-manifest/tool_crypto.h"
#include "update/manifest_reader.h"

namespace fs = std::filesystem;

namespace vx {
namespace {

// Reads "--name value" pairs; every name in `names` must be given exactly
// once and nothing else is accepted.
bool parse_named(const std::vector<std::string>& args, const std::vector<std::string>& names,
                 std::map<std::string, std::string>& values, std::string& error) {
  for (size_t i = 0; i < args.size(); i += 2) {
    const std::string& name = args[i];
    bool known = false;
    for (const std::string& candidate : names) known = known || candidate == name;
    if (!known) {
      error = "unknown option '" + name + "'";
      return false;
    }
    if (i + 1 >= args.size()) {
      error = "option " + name + " needs a value";
      return false;
    }
    if (!values.emplace(name, args[i + 1]).second) {
      error = "option " + name + " given twice";
      return false;
    }
  }
  for (const std::string& name : names) {
    if (values.count(name) == 0) {
      error = "missing " + name;
      return false;
    }
  }
  return true;
}

// Reads a whole file, refusing one larger than `limit` bytes.
bool read_file(const std::string& path_text, size_t limit, std::string& content) {
  std::ifstream in(fs::u8path(path_text), std::ios::binary);
  if (!in) return false;
  content.clear();
  char chunk[65536];
  while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
    content.append(chunk, static_cast<size_t>(in.gcount()));
    if (content.size() > limit) return false;
  }
  return in.eof();
}

int usage_error(std::ostream& err, const std::string& error) {
  err << "velmorandix-manifest: " << error << "\n(try --help)\n";
  return kToolBadInput;
}

const char* refusal(SignatureBodyStatus status) {
  switch (status) {
    case SignatureBodyStatus::kTooLong:
      return "the signature file is larger than 4 KiB";
    case SignatureBodyStatus::kNotBase64:
      return "the signature file is not base64";
    case SignatureBodyStatus::kNotDer:
      return "the signature is not a DER ECDSA P-256 signature";
    case SignatureBodyStatus::kOk:
      break;
  }
  return "";
}

}  // namespace

std::string public_key_line(const EcP256PublicKey& key) {
  const std::vector<uint8_t> der = p256_spki(key);
  return encode_base64(der.data(), der.size());
}

bool parse_key_list(const std::string& list, std::vector<EcP256PublicKey>& keys,
                    std::string& error) {
  keys.clear();
  size_t start = 0;
  size_t number = 0;
  while (start <= list.size()) {
    size_t end = list.find(';', start);
    if (end == std::string::npos) end = list.size();
    size_t first = start;
    size_t last = end;
    while (first < last && is_ascii_space(list[first])) ++first;
    while (last > first && is_ascii_space(list[last - 1])) --last;
    if (last > first) {
      ++number;
      const std::string text = list.substr(first, last - first);
      const std::optional<EcP256PublicKey> key = decode_public_key(text);
      if (!key) {
        error = "key " + std::to_string(number) + " ('" + text +
                "') is not the base64 of a DER ECDSA P-256 public key";
        return false;
      }
      keys.push_back(*key);
    }
    start = end + 1;
  }
  if (keys.empty()) {
    error = "--keys holds no key";
    return false;
  }
  return true;
}

std::optional<uint32_t> parse_serial_option(const std::string& text) {
  if (text.empty() || text.size() > 10) return std::nullopt;
  uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  if (value > kMaxSerial) return std::nullopt;
  return static_cast<uint32_t>(value);
}

bool signature_file_text(const fs::path& key_file, const std::string& bytes, std::string& text,
                         std::string& error, EcP256PublicKey* signer) {
  std::vector<uint8_t> der;
  if (!tool::sign_bytes(key_file, bytes, der, error, signer)) return false;
  // What is written must be what the bootstrapper accepts.
  if (!parse_ecdsa_signature(der.data(), der.size())) {
    error = "the signature made is not a strict DER P-256 signature";
    return false;
  }
  text = encode_base64(der.data(), der.size()) + "\n";
  if (signer && !check_signature({*signer}, bytes, text).verified) {
    error = "the signature made does not verify under the key's own public half";
    return false;
  }
  return true;
}

SignatureCheck check_signature(const std::vector<EcP256PublicKey>& keys,
                               const std::string& manifest, const std::string& signature_text) {
  SignatureCheck check;
  const SignatureBody body = decode_signature_body(signature_text);
  if (body.status != SignatureBodyStatus::kOk) {
    check.problem = refusal(body.status);
    return check;
  }
  const std::optional<Sha256Digest> digest = tool::sha256_bytes(manifest);
  for (size_t i = 0; digest && i < keys.size(); ++i) {
    if (tool::verify_signature(keys[i], *digest, body.signature)) {
      check.verified = true;
      check.key_index = i;
      return check;
    }
  }
  check.problem = "the signature matches none of the " + std::to_string(keys.size()) + " key(s)";
  return check;
}

int run_keygen(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  std::map<std::string, std::string> values;
  std::string error;
  if (!parse_named(args, {"--private"}, values, error)) return usage_error(err, error);
  if (!tool::can_sign()) {
    EcP256PublicKey ignored;
    tool::generate_private_key({}, ignored, error);
    return usage_error(err, error);
  }
  const fs::path path = fs::u8path(values["--private"]);
  std::error_code ec;
  if (fs::symlink_status(path, ec).type() != fs::file_type::not_found) {
    err << "velmorandix-manifest: '" << values["--private"]
        << "' exists; keygen never replaces a key\n";
    return kToolBadInput;
  }
  EcP256PublicKey key;
  if (!tool::generate_private_key(path, key, error)) {
    err << "velmorandix-manifest: " << error << "\n";
    return kToolOutputFailed;
  }
  out << public_key_line(key) << "\n";
  out.flush();
  return out.good() ? kToolOk : kToolOutputFailed;
}

int run_verify(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  std::map<std::string, std::string> values;
  std::string error;
  if (!parse_named(args, {"--keys", "--manifest", "--signature"}, values, error)) {
    return usage_error(err, error);
  }
  std::vector<EcP256PublicKey> keys;
  if (!parse_key_list(values["--keys"], keys, error)) return usage_error(err, error);
  std::string manifest;
  std::string signature_text;
  // The bootstrapper reads a manifest of any size; the signature is read one
  // byte past its limit so that an oversized one is told as such.
  if (!read_file(values["--manifest"], std::string().max_size(), manifest)) {
    return usage_error(err, "cannot read the manifest '" + values["--manifest"] + "'");
  }
  if (!read_file(values["--signature"], kMaxSignatureBody + 1, signature_text) &&
      signature_text.size() <= kMaxSignatureBody) {
    return usage_error(err, "cannot read the signature '" + values["--signature"] + "'");
  }

  const SignatureCheck check = check_signature(keys, manifest, signature_text);
  if (!check.verified) {
    err << "velmorandix-manifest: not verified: " << check.problem << "\n";
    return kToolOutputFailed;
  }
  out << "verified with key " << (check.key_index + 1) << " of " << keys.size() << " ("
      << public_key_line(keys[check.key_index]) << ")\n";
  const ManifestReading reading = read_manifest(manifest);
  if (reading.serial) out << "serial " << *reading.serial << "\n";
  if (!signed_manifest_complete(reading)) {
    err << "velmorandix-manifest: warning: the manifest is not complete for a signed update "
           "(a missing value, \"sha256\" or a valid \"serial\"); the bootstrapper will refuse "
           "it\n";
  }
  return kToolOk;
}

}  // namespace vx
