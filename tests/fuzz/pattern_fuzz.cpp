// Fuzzes the header pattern matcher with a pattern and a subject taken from
// the input: pattern bytes, a 0 byte, subject bytes. Bytes below 0x80 are
// themselves; higher ones stand for characters beyond ASCII, surrogate
// halves and the largest code units. Any read outside the texts shows up
// under ASan; the checks below catch results that break the matcher's
// promises. Step budgets keep exponential backtracking finite.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "net/pattern.h"

namespace {

constexpr uint64_t kBudget = 200000;

void require(bool condition) {
  if (!condition) std::abort();
}

wchar_t unitOf(uint8_t byte) {
  if (byte < 0x80) return static_cast<wchar_t>(byte);
  switch (byte) {
    case 0xF0:
      return static_cast<wchar_t>(0xD800);
    case 0xF1:
      return static_cast<wchar_t>(0xDFFF);
    case 0xF2:
      return static_cast<wchar_t>(0xFFFF);
    case 0xF3:
      return static_cast<wchar_t>(0xFEFF);
    case 0xF4:
      // The largest code point where wchar_t holds it, else the largest unit.
      return static_cast<wchar_t>(sizeof(wchar_t) >= 4 ? 0x10FFFF : 0xFFFE);
    default:
      return static_cast<wchar_t>(0x80 + (byte - 0x80) * 0x1F1);
  }
}

wchar_t fold(wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c + 32) : c; }

bool equalFolded(const std::wstring& a, const std::wstring& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (fold(a[i]) != fold(b[i])) return false;
  }
  return true;
}

void checkSearch(const std::wstring& pattern, const std::wstring& subject) {
  std::vector<std::wstring> found{L"stale"};
  const bool ok = findAllMatchesBounded(pattern.c_str(), subject.c_str(), found, kBudget);
  if (!ok) {
    require(found.empty());
    return;
  }
  require(!pattern.empty() && !subject.empty());
  for (size_t i = 0; i < found.size(); ++i) {
    require(subject.find(found[i]) != std::wstring::npos);
    for (size_t j = 0; j < i; ++j) require(!equalFolded(found[i], found[j]));
  }
}

void checkSpans(const MatchContext& context, size_t from, size_t end, size_t length) {
  require(from <= context.matchStart && context.matchStart <= end && end <= length);
  require(context.matchEnd == end);
  for (const GroupSpan& span : context.groups) {
    // A group on the successful path is opened and closed; any other is as
    // it was before the match.
    require((span.start == kNoPosition) == (span.end == kNoPosition));
    if (span.start != kNoPosition) require(span.start <= span.end && span.end <= length);
  }
}

// Matches `pattern` from several positions, and compares each result with
// that of the same pattern behind an empty alternation "(()|())", which matches
// the same texts but gives the search no first character to skip ahead to.
void checkMatch(const std::wstring& pattern, const std::wstring& subject, bool caseSensitive) {
  Pattern compiled;
  if (compiled.parse(pattern.c_str(), caseSensitive) != PatternError::Ok) {
    require(compiled.instructions().empty());
    return;
  }
  // A leading "^" would stop anchoring, and a leading quantifier or bar
  // would apply to the added group.
  Pattern plain;
  const bool compare =
      (pattern.empty() || std::wstring(L"^*+?|").find(pattern[0]) == std::wstring::npos) &&
      plain.parse((L"(()|())" + pattern).c_str(), caseSensitive) == PatternError::Ok;
  MatchContext context;
  context.stepBudget = kBudget;
  MatchContext plainContext;
  plainContext.stepBudget = kBudget;
  const size_t length = subject.size();
  for (size_t from = 0; from <= length && context.stepBudget > 0; from += 1 + length / 4) {
    size_t end = 0;
    const bool found = compiled.match(subject.c_str(), from, context, end);
    if (found) {
      require(context.groups.size() == compiled.groupCount());
      checkSpans(context, from, end, length);
    }
    if (!compare || plainContext.stepBudget == 0) continue;
    size_t plainEnd = 0;
    const bool plainFound = plain.match(subject.c_str(), from, plainContext, plainEnd);
    if (context.stepBudget == 0 || plainContext.stepBudget == 0) continue;
    require(found == plainFound);
    if (!found) continue;
    require(context.matchStart == plainContext.matchStart && end == plainEnd);
    for (size_t g = 0; g < context.groups.size(); ++g) {
      require(context.groups[g].start == plainContext.groups[g].start);
      require(context.groups[g].end == plainContext.groups[g].end);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::wstring pattern;
  std::wstring subject;
  size_t i = 0;
  for (; i < size && data[i] != 0; ++i) pattern.push_back(unitOf(data[i]));
  for (++i; i < size && data[i] != 0; ++i) subject.push_back(unitOf(data[i]));
  checkSearch(pattern, subject);
  checkMatch(pattern, subject, false);
  checkMatch(pattern, subject, true);
  return 0;
}
