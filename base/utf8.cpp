#include "base/utf8.h"

#include <cstddef>
#include <cstdint>

namespace vx {
namespace {

constexpr uint32_t kReplacement = 0xFFFD;

bool is_continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// Decodes one character of the Basic Multilingual Plane at `bytes[at]`.
// Returns the number of bytes taken, or 0 if the bytes there are not such a
// character in shortest form (surrogates and 4-byte forms included).
size_t decode_bmp(const unsigned char* bytes, size_t length, size_t at, uint32_t& code) {
  const unsigned char lead = bytes[at];
  if (lead < 0x80) {
    code = lead;
    return 1;
  }
  if (lead >= 0xC2 && lead <= 0xDF) {
    if (at + 1 >= length || !is_continuation(bytes[at + 1])) return 0;
    code = (static_cast<uint32_t>(lead & 0x1F) << 6) | (bytes[at + 1] & 0x3Fu);
    return 2;
  }
  if (lead >= 0xE0 && lead <= 0xEF) {
    if (at + 2 >= length) return 0;
    const unsigned char second = bytes[at + 1];
    const unsigned char third = bytes[at + 2];
    if (!is_continuation(second) || !is_continuation(third)) return 0;
    if (lead == 0xE0 && second < 0xA0) return 0;   // overlong
    if (lead == 0xED && second >= 0xA0) return 0;  // U+D800..U+DFFF
    code = (static_cast<uint32_t>(lead & 0x0F) << 12) |
           (static_cast<uint32_t>(second & 0x3F) << 6) | (third & 0x3Fu);
    return 3;
  }
  return 0;
}

}  // namespace

std::u16string utf8_to_utf16(std::string_view utf8, bool* valid) {
  std::u16string out;
  out.reserve(utf8.size());
  bool clean = true;
  size_t i = 0;
  while (i < utf8.size()) {
    const unsigned char lead = static_cast<unsigned char>(utf8[i]);
    size_t extra = 0;
    uint32_t code = 0;
    uint32_t lowest = 0;
    if (lead < 0x80) {
      out.push_back(lead);
      ++i;
      continue;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      extra = 1, code = lead & 0x1F, lowest = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      extra = 2, code = lead & 0x0F, lowest = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      extra = 3, code = lead & 0x07, lowest = 0x10000;
    } else {
      out.push_back(kReplacement);
      clean = false;
      ++i;
      continue;
    }
    bool ok = i + extra < utf8.size();
    for (size_t k = 1; ok && k <= extra; ++k) {
      const unsigned char next = static_cast<unsigned char>(utf8[i + k]);
      if ((next & 0xC0) != 0x80) ok = false;
      code = (code << 6) | (next & 0x3F);
    }
    if (ok && (code < lowest || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))) ok = false;
    if (!ok) {
      out.push_back(kReplacement);
      clean = false;
      ++i;
      continue;
    }
    if (code >= 0x10000) {
      code -= 0x10000;
      out.push_back(char16_t(0xD800 + (code >> 10)));
      out.push_back(char16_t(0xDC00 + (code & 0x3FF)));
    } else {
      out.push_back(char16_t(code));
    }
    i += extra + 1;
  }
  if (valid) *valid = clean;
  return out;
}

std::string utf16_to_utf8(std::u16string_view utf16) {
  std::string out;
  for (size_t i = 0; i < utf16.size(); ++i) {
    uint32_t code = utf16[i];
    if (code >= 0xD800 && code <= 0xDBFF && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 &&
        utf16[i + 1] <= 0xDFFF) {
      code = 0x10000 + ((code - 0xD800) << 10) + (utf16[i + 1] - 0xDC00);
      ++i;
    } else if (code >= 0xD800 && code <= 0xDFFF) {
      code = kReplacement;
    }
    if (code < 0x80) {
      out.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (code >> 6)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (code >> 12)));
      out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (code >> 18)));
      out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
  }
  return out;
}

bool is_bmp_utf8(const char* text, size_t length) {
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
  uint32_t code = 0;
  for (size_t at = 0; at < length;) {
    const size_t taken = decode_bmp(bytes, length, at, code);
    if (taken == 0) return false;
    at += taken;
  }
  return true;
}

bool utf8_to_wide_checked(const std::string& utf8, std::wstring& out) {
  out.clear();
  std::wstring wide;
  wide.reserve(utf8.size());
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(utf8.data());
  uint32_t code = 0;
  for (size_t at = 0; at < utf8.size();) {
    const size_t taken = decode_bmp(bytes, utf8.size(), at, code);
    if (taken == 0) return false;
    wide.push_back(static_cast<wchar_t>(code));
    at += taken;
  }
  out.swap(wide);
  return true;
}

}  // namespace vx

std::wstring utf8_to_wide(const std::string& utf8) {
  std::wstring wide;
  wide.reserve(utf8.size());
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(utf8.data());
  uint32_t code = 0;
  for (size_t at = 0; at < utf8.size();) {
    const size_t taken = vx::decode_bmp(bytes, utf8.size(), at, code);
    if (taken == 0) {
      wide.push_back(static_cast<wchar_t>(vx::kReplacement));
      ++at;
    } else {
      wide.push_back(static_cast<wchar_t>(code));
      at += taken;
    }
  }
  return wide;
}

std::string wide_to_utf8(const std::wstring& wide) {
  std::string utf8;
  utf8.reserve(wide.size());
  for (const wchar_t unit : wide) {
    uint32_t code = static_cast<uint32_t>(unit);
    if (code > 0xFFFF) code = vx::kReplacement;
    if (code < 0x80) {
      utf8.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
      utf8.push_back(static_cast<char>(0xC0 | (code >> 6)));
      utf8.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
      utf8.push_back(static_cast<char>(0xE0 | (code >> 12)));
      utf8.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      utf8.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
  }
  return utf8;
}
