#include "update/partial_record.h"

#include <cstdint>
#include <string>
#include <utility>

namespace vx {
namespace {

const char kHeader[] = "velmorandix-partial 1";
const char* const kKeys[] = {"url", "size", "sha256", "validator"};
constexpr int64_t kMaxSize = INT32_MAX;

// A value may hold any byte but the control characters (line ends
// included), so that every line of the record is one value.
bool is_clean(const std::string& value) {
  for (const char c : value) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f) return false;
  }
  return true;
}

bool is_pin(const std::string& value) {
  if (value.empty()) return true;
  if (value.size() != 64) return false;
  for (const char c : value) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

// A plain decimal number from 0 to 2^31 - 1: digits only, no sign, no
// leading zero but in "0" itself.
bool parse_size(const std::string& text, int64_t& size) {
  if (text.empty() || text.size() > 10 || (text.size() > 1 && text[0] == '0')) return false;
  int64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  if (value > kMaxSize) return false;
  size = value;
  return true;
}

}  // namespace

bool same_item(const PartialRecord& a, const PartialRecord& b) {
  return a.url == b.url && a.size == b.size && a.sha256 == b.sha256;
}

bool format_partial_record(const PartialRecord& record, std::string& text) {
  text.clear();
  if (!is_clean(record.url) || !is_clean(record.validator) || !is_pin(record.sha256) ||
      record.size < 0 || record.size > kMaxSize) {
    return false;
  }
  std::string out = std::string(kHeader) + "\n";
  out += "url=" + record.url + "\n";
  out += "size=" + std::to_string(record.size) + "\n";
  out += "sha256=" + record.sha256 + "\n";
  out += "validator=" + record.validator + "\n";
  if (out.size() > kMaxPartialRecordLength) return false;
  text = std::move(out);
  return true;
}

bool parse_partial_record(const std::string& text, PartialRecord& record) {
  if (text.size() > kMaxPartialRecordLength) return false;
  std::string values[4];
  size_t at = 0;
  for (int line = 0; line < 5; ++line) {
    const size_t end = text.find('\n', at);
    if (end == std::string::npos) return false;
    const std::string content = text.substr(at, end - at);
    at = end + 1;
    if (line == 0) {
      if (content != kHeader) return false;
      continue;
    }
    const std::string key = std::string(kKeys[line - 1]) + "=";
    if (content.compare(0, key.size(), key) != 0) return false;
    values[line - 1] = content.substr(key.size());
    if (!is_clean(values[line - 1])) return false;
  }
  PartialRecord read;
  if (at != text.size() || !parse_size(values[1], read.size) || !is_pin(values[2])) return false;
  read.url = values[0];
  read.sha256 = values[2];
  read.validator = values[3];
  record = std::move(read);
  return true;
}

}  // namespace vx
