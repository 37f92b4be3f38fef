// Portable rules of the HTTP client: the verb, the response header fields, the
// cookie collection, the charset choice and the HTML completeness check.
//
// Header values are read with findAllMatches (net/pattern.h), so every search
// ignores letter case and reports each distinct value once, in order.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vx {
namespace http {

// The User-Agent of every request the program makes: a browser's, so that
// servers and the proxies on the way treat the program as one. ASCII; the
// operator's check-site sends it too, to be answered as players are.
constexpr char kUserAgent[] =
    "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
    "Chrome/91.0.4472.77 Safari/537.36";

// Replaces `verb` by "GET" or "POST" when it equals one of them ignoring case.
// Returns false (verb untouched) for any other verb.
bool canonicalVerb(std::wstring& verb);

// Reads a run of decimal digits as a 32-bit signed number. Returns false for an
// empty text, a non-digit, or a value above INT32_MAX (no wrap-around).
bool parseDecimal(const std::wstring& digits, int32_t& value);

// Appends one response's Set-Cookie values to `received`: joined by "; ", then
// blanks trimmed from both ends, then a final ";" added when missing. Nothing
// is put between the earlier content and the first new value.
void collectCookies(const std::vector<std::wstring>& values, std::wstring& received);

// The fields that a response's raw header block sets. Each field is written
// only when its header is present (and, for contentLength, fits in 32 bits);
// otherwise it keeps its value. Cookies are appended to receivedCookies.
struct HeaderFields {
  std::wstring charset;
  int32_t contentLength = 0;
  std::wstring location;
  std::wstring receivedCookies;
};
void readHeaderFields(const std::wstring& rawHeaders, bool charsetFixed, HeaderFields& fields);

// True when the charset's first five characters are "utf-8" ignoring case;
// "utf8" and every other name select the ANSI code page.
bool charsetIsUtf8(const std::wstring& charset);

// False when the text holds "<html>" (any case) but no "</html>": the body was
// cut off. A text without "<html>" passes.
bool htmlComplete(const std::wstring& text);

}  // namespace http
}  // namespace vx
