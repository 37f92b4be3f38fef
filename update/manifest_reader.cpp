#include "update/manifest_reader.h"

#include <rapidjson/document.h>

#include "app/bootstrap_state.h"
#include "base/utf8.h"

namespace vx {
namespace {

// Whether arrays and objects nest deeper than `limit` anywhere outside
// strings. Bracket counting follows the tokenizer closely enough that the
// parser, which stops at its first error, never recurses deeper than this
// count.
bool nests_deeper_than(const std::string& text, int limit) {
  int depth = 0;
  bool in_string = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\0') break;  // the parser stops here too
    if (in_string) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > limit) return true;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return false;
}

// Every key and string value in the tree is BMP UTF-8. Depth is bounded by
// the pre-parse check.
bool strings_valid(const rapidjson::Value& value) {
  if (value.IsString()) return is_bmp_utf8(value.GetString(), value.GetStringLength());
  if (value.IsArray()) {
    for (const rapidjson::Value& element : value.GetArray()) {
      if (!strings_valid(element)) return false;
    }
  } else if (value.IsObject()) {
    for (const auto& member : value.GetObject()) {
      if (!strings_valid(member.name) || !strings_valid(member.value)) return false;
    }
  }
  return true;
}

// First member of that name, or nullptr. `object` must be an object.
const rapidjson::Value* find_member(const rapidjson::Value& object, const char* name) {
  const auto found = object.FindMember(name);
  if (found == object.MemberEnd()) return nullptr;
  return &found->value;
}

std::optional<std::wstring> read_text(const rapidjson::Value& object, const char* name) {
  const rapidjson::Value* value = find_member(object, name);
  if (value == nullptr || !value->IsString()) return std::nullopt;
  std::wstring wide;
  if (!utf8_to_wide_checked(std::string(value->GetString(), value->GetStringLength()), wide)) {
    return std::nullopt;
  }
  return wide;
}

std::optional<int32_t> read_int32(const rapidjson::Value& object, const char* name) {
  const rapidjson::Value* value = find_member(object, name);
  if (value == nullptr || !value->IsInt()) return std::nullopt;
  return static_cast<int32_t>(value->GetInt());
}

std::optional<Sha256Digest> read_sha256(const rapidjson::Value& object) {
  const rapidjson::Value* value = find_member(object, "sha256");
  if (value == nullptr || !value->IsString()) return std::nullopt;
  return parse_sha256_hex(std::string_view(value->GetString(), value->GetStringLength()));
}

std::optional<uint32_t> read_serial(const rapidjson::Value& root) {
  const rapidjson::Value* value = find_member(root, "serial");
  if (value == nullptr) return 0u;
  if (!value->IsInt() || value->GetInt() < 0) return std::nullopt;
  return static_cast<uint32_t>(value->GetInt());
}

ManifestItem read_item(const rapidjson::Value& root, const char* name) {
  ManifestItem item;
  const rapidjson::Value* object = find_member(root, name);
  if (object == nullptr || !object->IsObject()) return item;
  item.hash = read_text(*object, "hash");
  item.size = read_int32(*object, "size");
  item.sha256 = read_sha256(*object);
  return item;
}

bool item_complete(const ManifestItem& item) { return item.hash && item.size; }

}  // namespace

ManifestReading read_manifest(const std::string& utf8_text) {
  ManifestReading reading;
  if (nests_deeper_than(utf8_text, kMaxManifestDepth)) return reading;

  rapidjson::Document document;
  document.Parse(utf8_text.c_str());
  if (document.HasParseError()) return reading;
  if (document.IsNull()) {
    reading.parse = ManifestParse::kNullRoot;
    return reading;
  }
  reading.parse = ManifestParse::kParsed;
  if (!document.IsObject()) return reading;

  reading.launcher = read_item(document, "launcher");
  reading.java = read_item(document, "java");
  reading.java_zip = read_item(document, "java_zip");
  reading.java_path = read_text(document, "java_path");
  reading.run_args = read_text(document, "run_args");
  reading.serial = read_serial(document);
  reading.complete = item_complete(reading.launcher) && item_complete(reading.java) &&
                     item_complete(reading.java_zip) && reading.java_path && reading.run_args &&
                     strings_valid(document);
  return reading;
}

bool signed_manifest_complete(const ManifestReading& reading) {
  return reading.parse == ManifestParse::kParsed && reading.complete && reading.serial &&
         reading.launcher.sha256 && reading.java_zip.sha256;
}

void apply_manifest(const ManifestReading& reading, BootstrapState& state) {
  auto store_item = [](const ManifestItem& item, std::wstring& hash, int32_t& size) {
    if (item.hash) hash = *item.hash;
    if (item.size) size = *item.size;
  };
  store_item(reading.launcher, state.launcher_hash, state.launcher_size);
  store_item(reading.java, state.java_hash, state.java_size);
  store_item(reading.java_zip, state.java_zip_hash, state.java_zip_size);
  if (reading.java_path) state.java_path = *reading.java_path;
  if (reading.run_args) state.run_args = *reading.run_args;
  state.manifest_ok = reading.parse == ManifestParse::kParsed && reading.complete;
}

void apply_signed_manifest(const ManifestReading& reading, BootstrapState& state) {
  apply_manifest(reading, state);
  state.pinned_downloads = true;
  if (reading.launcher.sha256) state.launcher_sha256 = *reading.launcher.sha256;
  if (reading.java_zip.sha256) state.java_zip_sha256 = *reading.java_zip.sha256;
  state.manifest_ok = signed_manifest_complete(reading);
}

}  // namespace vx
