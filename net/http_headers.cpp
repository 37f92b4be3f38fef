#include "net/http_headers.h"

#include <cstddef>
#include <cwchar>

#include "net/pattern.h"

namespace vx {
namespace http {
namespace {

wchar_t foldAscii(wchar_t c) {
  return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

bool equalsIgnoringAsciiCase(const std::wstring& text, const wchar_t* lower) {
  size_t i = 0;
  for (; lower[i] != L'\0'; ++i) {
    if (i >= text.size() || foldAscii(text[i]) != lower[i]) return false;
  }
  return i == text.size();
}

// Whether `text` holds `lower` (lower-case ASCII) with ASCII letters folded.
bool containsIgnoringAsciiCase(const std::wstring& text, const wchar_t* lower) {
  const size_t length = std::wcslen(lower);
  if (length == 0 || text.size() < length) return length == 0;
  for (size_t start = 0; start + length <= text.size(); ++start) {
    size_t i = 0;
    while (i < length && foldAscii(text[start + i]) == lower[i]) ++i;
    if (i == length) return true;
  }
  return false;
}

// First value that the pattern captures in the subject, if any.
bool firstMatch(const wchar_t* pattern, const std::wstring& subject, std::wstring& value) {
  std::vector<std::wstring> found;
  if (!findAllMatches(pattern, subject.c_str(), found) || found.empty()) return false;
  value = found.front();
  return true;
}

}  // namespace

bool canonicalVerb(std::wstring& verb) {
  if (equalsIgnoringAsciiCase(verb, L"get")) {
    verb = L"GET";
    return true;
  }
  if (equalsIgnoringAsciiCase(verb, L"post")) {
    verb = L"POST";
    return true;
  }
  return false;
}

bool parseDecimal(const std::wstring& digits, int32_t& value) {
  if (digits.empty()) return false;
  int64_t total = 0;
  for (wchar_t c : digits) {
    if (c < L'0' || c > L'9') return false;
    total = total * 10 + (c - L'0');
    if (total > INT32_MAX) return false;
  }
  value = static_cast<int32_t>(total);
  return true;
}

void collectCookies(const std::vector<std::wstring>& values, std::wstring& received) {
  for (size_t i = 0; i < values.size(); ++i) {
    received += values[i];
    if (i + 1 < values.size()) received += L"; ";
  }
  const size_t first = received.find_first_not_of(L' ');
  if (first == std::wstring::npos) {
    received.clear();
    return;
  }
  const size_t last = received.find_last_not_of(L' ');
  received = received.substr(first, last - first + 1);
  if (received.back() != L';') received += L';';
}

void readHeaderFields(const std::wstring& rawHeaders, bool charsetFixed, HeaderFields& fields) {
  std::wstring value;
  if (!charsetFixed && firstMatch(L"charset={[A-Za-z0-9\\-_]+}", rawHeaders, value)) {
    fields.charset = value;
  }
  int32_t length = 0;
  if (firstMatch(L"Content-Length: {[0-9]+}", rawHeaders, value) && parseDecimal(value, length)) {
    fields.contentLength = length;
  }
  if (firstMatch(L"Location: {[0-9]+}", rawHeaders, value)) fields.location = value;
  std::vector<std::wstring> cookies;
  if (findAllMatches(L"Set-Cookie:\\b*{.+?}\\n", rawHeaders.c_str(), cookies) && !cookies.empty()) {
    collectCookies(cookies, fields.receivedCookies);
  }
}

bool charsetIsUtf8(const std::wstring& charset) {
  return charset.size() >= 5 && equalsIgnoringAsciiCase(charset.substr(0, 5), L"utf-8");
}

bool htmlComplete(const std::wstring& text) {
  // The same answer as searching with the patterns "{<html>}" and "{</html>}"
  // (literal tags, ASCII case folding), but without the matcher's copy and
  // folded copy of the whole text: for a large download those would add
  // twice the text's size on top of the body and its decode.
  return !containsIgnoringAsciiCase(text, L"<html>") || containsIgnoringAsciiCase(text, L"</html>");
}

}  // namespace http
}  // namespace vx
