#include "net/http_sink.h"

#include <cstddef>
#include <limits>

namespace vx {
namespace http {
namespace {

wchar_t foldAscii(wchar_t c) {
  return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

bool startsWithIgnoringCase(const std::wstring& text, size_t at, const wchar_t* lower) {
  for (size_t i = 0; lower[i] != L'\0'; ++i) {
    if (at + i >= text.size() || foldAscii(text[at + i]) != lower[i]) return false;
  }
  return true;
}

bool isBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

std::wstring trimmed(const std::wstring& text, size_t begin, size_t end) {
  while (begin < end && isBlank(text[begin])) ++begin;
  while (end > begin && isBlank(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

// Reads decimal digits at `at`, advancing it; false for no digits or a value
// beyond 64 bits.
bool readNumber(const std::wstring& text, size_t& at, uint64_t& value) {
  const size_t start = at;
  value = 0;
  while (at < text.size() && text[at] >= L'0' && text[at] <= L'9') {
    const uint64_t digit = static_cast<uint64_t>(text[at] - L'0');
    if (value > (std::numeric_limits<uint64_t>::max() - digit) / 10) return false;
    value = value * 10 + digit;
    ++at;
  }
  return at > start;
}

// A validator travels back to the server in If-Range, so only plain
// printable ASCII is taken: a value that could break the request's header
// block is no validator.
bool printableAscii(const std::wstring& text) {
  if (text.empty()) return false;
  for (wchar_t c : text) {
    if (c < 0x20 || c > 0x7e) return false;
  }
  return true;
}

}  // namespace

BodyFacts readBodyFacts(const std::wstring& statusCode, const std::wstring& rawHeaders) {
  BodyFacts facts;
  if (statusCode.size() == 3) {
    uint32_t status = 0;
    bool digits = true;
    for (wchar_t c : statusCode) {
      if (c < L'0' || c > L'9') digits = false;
      status = status * 10 + static_cast<uint32_t>(c - L'0');
    }
    if (digits) facts.status = status;
  }
  bool seenLength = false;
  bool seenRange = false;
  bool seenEtag = false;
  bool seenModified = false;
  // The first line is the status line; every later one a header.
  size_t line = rawHeaders.find(L'\n');
  while (line != std::wstring::npos && line + 1 < rawHeaders.size()) {
    const size_t begin = line + 1;
    size_t end = rawHeaders.find(L'\n', begin);
    line = end;
    if (end == std::wstring::npos) end = rawHeaders.size();
    const size_t stop = (end > begin && rawHeaders[end - 1] == L'\r') ? end - 1 : end;
    const size_t colon = rawHeaders.find(L':', begin);
    if (colon == std::wstring::npos || colon >= stop) continue;
    const std::wstring name = trimmed(rawHeaders, begin, colon);
    const std::wstring value = trimmed(rawHeaders, colon + 1, stop);
    auto is = [&name](const wchar_t* lower) {
      return name.size() == std::char_traits<wchar_t>::length(lower) &&
             startsWithIgnoringCase(name, 0, lower);
    };
    if (is(L"content-length") && !seenLength) {
      seenLength = true;
      size_t at = 0;
      uint64_t length = 0;
      if (readNumber(value, at, length) && at == value.size()) {
        facts.hasLength = true;
        facts.length = length;
      }
    } else if (is(L"content-range") && !seenRange) {
      seenRange = true;
      facts.contentRange = value;
    } else if (is(L"etag") && !seenEtag) {
      seenEtag = true;
      facts.etag = value;
    } else if (is(L"last-modified") && !seenModified) {
      seenModified = true;
      facts.lastModified = value;
    }
  }
  return facts;
}

bool usableValidator(const std::wstring& validator) {
  // A weak ETag only says that two bodies mean the same, not that they are
  // the same bytes, so it cannot join two parts of one item.
  return printableAscii(validator) && !startsWithIgnoringCase(validator, 0, L"w/");
}

std::wstring validatorOf(const BodyFacts& facts) {
  if (usableValidator(facts.etag)) return facts.etag;
  if (printableAscii(facts.lastModified)) return facts.lastModified;
  return std::wstring();
}

bool parseContentRange(const std::wstring& text, ContentRange& range) {
  if (!startsWithIgnoringCase(text, 0, L"bytes")) return false;
  size_t at = 5;
  if (at >= text.size() || !isBlank(text[at])) return false;
  while (at < text.size() && isBlank(text[at])) ++at;
  ContentRange parsed;
  if (!readNumber(text, at, parsed.first)) return false;
  if (at >= text.size() || text[at] != L'-') return false;
  ++at;
  if (!readNumber(text, at, parsed.last)) return false;
  if (at >= text.size() || text[at] != L'/') return false;
  ++at;
  if (at < text.size() && text[at] == L'*') {
    ++at;
  } else {
    if (!readNumber(text, at, parsed.total)) return false;
    parsed.totalKnown = true;
  }
  if (at != text.size() || parsed.last < parsed.first) return false;
  if (parsed.totalKnown && parsed.last >= parsed.total) return false;
  range = parsed;
  return true;
}

BodyStart classifyBodyStart(const BodyFacts& facts, uint64_t rangeFrom, uint64_t limit) {
  const auto whole = [&facts, limit] {
    if (limit != 0 && facts.hasLength && facts.length > limit) return BodyStart::TooLarge;
    return BodyStart::Whole;
  };
  if (rangeFrom == 0) return whole();
  if (facts.status == 200) return whole();
  if (facts.status == 416) return BodyStart::RefuseAndDrop;
  if (facts.status != 206) return BodyStart::Refuse;

  ContentRange range;
  if (!parseContentRange(facts.contentRange, range) || range.first != rangeFrom) {
    return BodyStart::RefuseAndDrop;
  }
  // The part must end with the item: the manifest's size when it is known,
  // else the total the server states.
  if (limit != 0) {
    if (range.last + 1 != limit || (range.totalKnown && range.total != limit)) {
      return BodyStart::RefuseAndDrop;
    }
  } else if (!range.totalKnown || range.last + 1 != range.total) {
    return BodyStart::RefuseAndDrop;
  }
  if (facts.hasLength && facts.length != range.last - range.first + 1) {
    return BodyStart::RefuseAndDrop;
  }
  return BodyStart::Continue;
}

}  // namespace http
}  // namespace vx
