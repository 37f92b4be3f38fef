#include "archive/windows_names.h"

#include <cstdint>

namespace vx {
namespace zip {

namespace {

bool is_separator(char16_t c) { return c == u'/' || c == u'\\'; }

char16_t ascii_upper(char16_t c) { return c >= u'a' && c <= u'z' ? char16_t(c - 32) : c; }

// Upper case of one unit as NTFS's table has it for the scripts that file
// names of a runtime use; everything else is kept.
char16_t upper(char16_t c) {
  if (c < 0x80) return ascii_upper(c);
  if ((c >= 0xE0 && c <= 0xFE && c != 0xF7)) return char16_t(c - 0x20);
  if (c == 0xFF) return 0x178;
  // Latin Extended-A: upper and lower case alternate; the dotted and dotless
  // i (0x130, 0x131) and the kra (0x138) stand alone.
  if ((c >= 0x100 && c <= 0x12F) || (c >= 0x132 && c <= 0x137) || (c >= 0x14A && c <= 0x177)) {
    return char16_t(c & ~1u);
  }
  if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) {
    return (c & 1u) ? c : char16_t(c - 1);
  }
  if (c == 0x3C2) return 0x3A3;  // final sigma
  if ((c >= 0x3B1 && c <= 0x3C1) || (c >= 0x3C3 && c <= 0x3CB)) return char16_t(c - 0x20);
  if (c >= 0x430 && c <= 0x44F) return char16_t(c - 0x20);
  if (c >= 0x450 && c <= 0x45F) return char16_t(c - 0x50);
  if ((c >= 0x460 && c <= 0x481) || (c >= 0x48A && c <= 0x4BF) || (c >= 0x4D0 && c <= 0x52F)) {
    return char16_t(c & ~1u);
  }
  if (c >= 0x4C1 && c <= 0x4CE) return (c & 1u) ? c : char16_t(c - 1);
  if (c >= 0x561 && c <= 0x586) return char16_t(c - 0x30);
  if (c >= 0xFF41 && c <= 0xFF5A) return char16_t(c - 0x20);
  return c;
}

bool equals_ascii_upper(std::u16string_view text, const char* ascii) {
  size_t i = 0;
  for (; ascii[i] != '\0'; ++i) {
    if (i >= text.size() || ascii_upper(text[i]) != char16_t(ascii[i])) return false;
  }
  return i == text.size();
}

bool is_device_name(std::u16string_view component) {
  // The device is named by what stands before the first dot, trailing
  // spaces dropped: "aux", "AUX.txt" and "con .tar.gz" all open a device.
  std::u16string_view base = component.substr(0, component.find(u'.'));
  while (!base.empty() && base.back() == u' ') base.remove_suffix(1);
  for (const char* name : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
    if (equals_ascii_upper(base, name)) return true;
  }
  if (base.size() != 4) return false;
  const bool com = equals_ascii_upper(base.substr(0, 3), "COM");
  const bool lpt = equals_ascii_upper(base.substr(0, 3), "LPT");
  const char16_t digit = base[3];
  // Windows also takes the superscript digits one to three as port numbers.
  const bool port =
      (digit >= u'0' && digit <= u'9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3;
  return (com || lpt) && port;
}

}  // namespace

NameFault component_fault(std::u16string_view component) {
  if (component.empty() || component == u".") return NameFault::kNone;
  for (const char16_t c : component) {
    if (c < 0x20 || c == u'<' || c == u'>' || c == u':' || c == u'"' || c == u'|' || c == u'?' ||
        c == u'*' || c == u'\\') {
      return NameFault::kBadCharacter;
    }
  }
  if (is_device_name(component)) return NameFault::kDeviceName;
  if (component.back() == u'.' || component.back() == u' ') return NameFault::kTrailingDotOrSpace;
  return NameFault::kNone;
}

const char* describe(NameFault fault) {
  switch (fault) {
    case NameFault::kTrailingDotOrSpace:
      return "ends in a dot or a space, which Windows drops";
    case NameFault::kDeviceName:
      return "is a reserved device name on Windows (CON, PRN, AUX, NUL, COM0-9, LPT0-9 in any "
             "case, also before an extension)";
    case NameFault::kBadCharacter:
      return "holds a character no Windows file name may hold (< > : \" | ? * \\ or a control "
             "character)";
    case NameFault::kNone:
      break;
  }
  return "is fine";
}

std::u16string path_key(std::u16string_view path) {
  std::u16string key;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = start;
    while (end < path.size() && !is_separator(path[end])) ++end;
    std::u16string_view component = path.substr(start, end - start);
    while (!component.empty() && (component.back() == u'.' || component.back() == u' ')) {
      component.remove_suffix(1);
    }
    if (!component.empty()) {
      if (!key.empty()) key.push_back(u'\\');
      for (const char16_t c : component) key.push_back(upper(c));
    }
    start = end + 1;
  }
  return key;
}

}  // namespace zip
}  // namespace vx
