// UTF-8 <-> wide text. Text is held as UTF-16 wide strings throughout; UTF-8
// is what the wire, the manifest and zip item names carry. Free of any
// platform interface.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vx {

// Strict UTF-8 to wide text in which every character is one UTF-16 unit.
// Returns false (and leaves `out` empty) for malformed or overlong
// sequences, encoded surrogates and characters beyond U+FFFF.
bool utf8_to_wide_checked(const std::string& utf8, std::wstring& out);

// Whether `length` bytes at `text` are what utf8_to_wide_checked accepts:
// strict UTF-8 of characters within the Basic Multilingual Plane.
bool is_bmp_utf8(const char* text, std::size_t length);

// UTF-8 to UTF-16 as Windows decodes zip item names (MultiByteToWideChar
// with CP_UTF8 and no flags), whatever the platform's wchar_t: characters
// beyond U+FFFF become surrogate pairs and each byte of a malformed sequence
// becomes U+FFFD. `valid`, when given, is set to whether nothing was
// malformed (no overlong forms, no encoded surrogates, nothing above
// U+10FFFF).
std::u16string utf8_to_utf16(std::string_view utf8, bool* valid = nullptr);

// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string utf16_to_utf8(std::u16string_view utf16);

}  // namespace vx

// UTF-8 to wide text, one unit per character. Anything that does not decode
// to a character of the Basic Multilingual Plane becomes U+FFFD, one per
// offending byte, so the result is always well-formed.
std::wstring utf8_to_wide(const std::string& utf8);

// Wide text to UTF-8, one to three bytes per unit. A unit is encoded by its
// value even when it is half of a surrogate pair, so text beyond U+FFFF comes
// out as bytes that the strict decoder refuses. Units above U+FFFF (possible
// where wchar_t is 32 bits) are encoded as U+FFFD.
std::string wide_to_utf8(const std::wstring& wide);
