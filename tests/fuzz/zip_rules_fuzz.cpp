// Fuzzes the zip extraction rules: name cleaning and containment on 16-bit
// and wide units, the extended-timestamp scan, the end-record search and the
// small decoders. Any read outside the input shows up under ASan; the checks
// below catch results that break the rules' promises.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "archive/zip_rules.h"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

bool isSep(char16_t c) { return c == u'\\' || c == u'/'; }

bool hasDotDotRun(const std::u16string& s) {
  for (size_t i = 0; i + 4 <= s.size(); ++i) {
    if (isSep(s[i]) && s[i + 1] == u'.' && s[i + 2] == u'.' && isSep(s[i + 3])) return true;
  }
  return false;
}

void checkName(const uint8_t* data, size_t size) {
  std::u16string name;
  std::wstring wide;
  for (size_t i = 0; i < size && i < 300; ++i) {
    // High bytes stand for non-ASCII units, including surrogates.
    char16_t unit = data[i] < 0xF0 ? data[i] : static_cast<char16_t>(0xD800 + data[i]);
    name.push_back(unit);
    wide.push_back(static_cast<wchar_t>(unit));
  }
  const size_t before = name.size();
  name.resize(vx::zip::cleanItemName(&name[0], name.size()));
  wide.resize(vx::zip::cleanItemName(&wide[0], wide.size()));

  require(name.size() <= before);
  require(name.empty() || !isSep(name[0]));
  require(name.size() < 2 || name[1] != u':');
  require(!hasDotDotRun(name));
  // The rules see code units only, so both widths clean alike.
  require(wide.size() == name.size());
  for (size_t i = 0; i < name.size(); ++i) require(static_cast<char16_t>(wide[i]) == name[i]);

  const bool contained = vx::zip::isContainedName(name.data(), name.size());
  require(contained == vx::zip::isContainedName(wide.data(), wide.size()));
  if (contained) {
    // No component may be ".." once the name is accepted.
    size_t start = 0;
    while (start <= name.size()) {
      size_t end = start;
      while (end < name.size() && !isSep(name[end])) ++end;
      require(name.compare(start, end - start, u"..") != 0);
      start = end + 1;
    }
  }
}

// The fuzz input as an archive file for the end-record search.
struct Bytes {
  const uint8_t* data;
  size_t size;
};

bool readBytes(void* context, uint64_t offset, uint8_t* out, size_t length) {
  const Bytes* file = static_cast<const Bytes*>(context);
  if (offset > file->size || length > file->size - offset) return false;
  std::memcpy(out, file->data + offset, length);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  checkName(data, size);

  // The extra field is read straight from the input, so ASan sees any byte
  // read past it; a copy of exactly `size` bytes keeps that true.
  std::string field(reinterpret_cast<const char*>(data), size);
  const vx::zip::ExtendedTimes t =
      vx::zip::scanExtendedTimestamp(reinterpret_cast<const uint8_t*>(field.data()), field.size());
  const uint64_t lowest = vx::zip::unixTimeToFileTime(INT32_MIN);
  const uint64_t highest = vx::zip::unixTimeToFileTime(INT32_MAX);
  if (t.hasWrite) require(t.writeTime >= lowest && t.writeTime <= highest);
  if (t.hasAccess) require(t.accessTime >= lowest && t.accessTime <= highest);
  if (t.hasCreation) require(t.creationTime >= lowest && t.creationTime <= highest);
  if (size <= 4) require(!t.hasWrite && !t.hasAccess && !t.hasCreation);

  Bytes file{reinterpret_cast<const uint8_t*>(field.data()), field.size()};
  uint64_t directory = 0;
  vx::zip::centralDirectorySize(field.size(), readBytes, &file, &directory);

  if (size >= 8) {
    uint32_t a = 0, b = 0;
    for (int k = 0; k < 4; ++k) {
      a |= static_cast<uint32_t>(data[k]) << (8 * k);
      b |= static_cast<uint32_t>(data[4 + k]) << (8 * k);
    }
    const uint32_t attributes = vx::zip::decodeAttributes(static_cast<uint16_t>(a), b);
    require((attributes & ~0x37u) == 0);
    vx::zip::CalendarTime ct{};
    if (vx::zip::decodeDosDateTime(a, &ct)) {
      require(ct.month >= 1 && ct.month <= 12 && ct.day >= 1 && ct.day <= 31);
      require(ct.hour < 24 && ct.minute < 60 && ct.second < 60);
    }
    vx::zip::isEmptyArchive(reinterpret_cast<const uint8_t*>(field.data()), field.size(), b);
  }
  return 0;
}
