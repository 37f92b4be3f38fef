// The header pattern matcher: the HTTP client's six patterns over real header
// blocks, the dialect's backtracking order, every compile error, and inputs
// that must neither crash nor run forever.
#include "net/pattern.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

using Texts = std::vector<std::wstring>;

struct SearchCase {
  const char* name;
  const wchar_t* pattern;
  const wchar_t* subject;
  Texts expected;
  bool ok = true;
};

// With a step budget, a search that would never end fails quickly instead.
void runTable(const std::vector<SearchCase>& cases, uint64_t stepBudget = 0) {
  for (const SearchCase& c : cases) {
    SCOPED_TRACE(c.name);
    Texts found{L"left over from an earlier call"};
    const bool ok = stepBudget == 0
                        ? findAllMatches(c.pattern, c.subject, found)
                        : findAllMatchesBounded(c.pattern, c.subject, found, stepBudget);
    EXPECT_EQ(ok, c.ok);
    EXPECT_EQ(found, c.expected);
  }
}

constexpr uint64_t kGenerousBudget = 1000000;

// The response header block that the client reads values from.
const wchar_t kHeaders[] =
    L"HTTP/1.1 200 OK\r\n"
    L"Date: Tue, 08 Dec 2026 15:00:00 GMT\r\n"
    L"Server: nginx\r\n"
    L"Content-Type: application/json; Charset=UTF-8\r\n"
    L"content-length: 1234\r\n"
    L"Set-Cookie: session=AbC123; Path=/; HttpOnly\r\n"
    L"set-cookie:\tlang=ru; Path=/\r\n"
    L"SET-COOKIE: Session=abc123; path=/; httponly\r\n"
    L"Connection: keep-alive\r\n"
    L"\r\n";

TEST(PatternSystem, HeaderValues) {
  runTable({
      {"length in lower case", L"Content-Length: {[0-9]+}", kHeaders, {L"1234"}},
      {"charset keeps the subject's case", L"charset={[A-Za-z0-9\\-_]+}", kHeaders, {L"UTF-8"}},
      {"charset with hyphen and underscore",
       L"charset={[A-Za-z0-9\\-_]+}",
       L"Content-Type: text/html; charset=x_user-defined;",
       {L"x_user-defined"}},
      {"cookies: CR LF ends, blank or tab, case duplicate dropped",
       L"Set-Cookie:\\b*{.+?}\\n",
       kHeaders,
       {L"session=AbC123; Path=/; HttpOnly", L"lang=ru; Path=/"}},
      {"cookies with LF-only line ends",
       L"Set-Cookie:\\b*{.+?}\\n",
       L"Set-Cookie: a=1\nSet-Cookie: b=2\n",
       {L"a=1", L"b=2"}},
      {"cookie without a trailing line end is not a value",
       L"Set-Cookie:\\b*{.+?}\\n",
       L"Set-Cookie: a=1\r\nSet-Cookie: b=2",
       {L"a=1"}},
      {"length at the very end without a line end",
       L"Content-Length: {[0-9]+}",
       L"Server: x\r\nContent-Length: 42",
       {L"42"}},
      {"numeric location",
       L"Location: {[0-9]+}",
       L"HTTP/1.1 302 Found\r\nLOCATION: 17\r\n",
       {L"17"}},
      {"no numeric location", L"Location: {[0-9]+}", L"Location: https://host/x\r\n", {}},
      {"missing header", L"Content-Length: {[0-9]+}", L"HTTP/1.1 204 No Content\r\n\r\n", {}},
  });
}

TEST(PatternSystem, HtmlTags) {
  const wchar_t* page = L"<HTML><head></head><body>x</body></HTML>\n<html>";
  runTable({
      {"opening tag twice, once in capitals", L"{<html>}", page, {L"<HTML>"}},
      {"closing tag", L"{</html>}", page, {L"</HTML>"}},
      {"body without html", L"{<html>}", L"{\"launcher\":{\"hash\":\"x\"}} <htm", {}},
  });
}

TEST(PatternSearch, EmptyAndNullTexts) {
  runTable({
      {"empty pattern", L"", L"abc", {}, false},
      {"null pattern", nullptr, L"abc", {}, false},
      {"empty subject", L"{a}", L"", {}, false},
      {"null subject", L"{a}", nullptr, {}, false},
      {"pattern that does not compile", L"{a", L"a", {}, false},
      {"no capture group", L"abc", L"xabcx", {}},
      {"only group 0 is reported", L"{a}{b}", L"ab", {L"a"}},
  });
}

TEST(PatternSearch, PatternsThatMatchNothingEnd) {
  runTable(
      {
          {"empty-matching group", L"{a*}", L"baab", {L"", L"aa"}},
          {"empty group", L"{}", L"xyz", {L""}},
          {"lookahead only", L"{!x}", L"xxa", {L""}},
          {"anchored empty match", L"^{b?}", L"aaa", {L""}},
      },
      kGenerousBudget);
}

TEST(PatternDialect, LiteralsClassesAndEscapes) {
  runTable({
      {"pattern folds", L"{ABC}", L"xAbC", {L"AbC"}},
      {"non-ASCII letters do not fold", L"{\u00e9}", L"\u00c9\u00e9", {L"\u00e9"}},
      {"dot is any character", L"{a.c}", L"a\tc", {L"a\tc"}},
      {"dot never matches the end", L"{a.}", L"a", {}},
      {"escaped specials", L"{a\\.\\{\\\\}", L"axb{ a.{\\", {L"a.{\\"}},
      {"backslash t outside a class is t", L"{\\t}", L"\tt", {L"t"}},
      {"backslash t inside a class is TAB", L"{[\\t]}", L"t\t", {L"\t"}},
      {"lone backslash at the end is itself", L"{a}\\", L"ab a\\", {L"a"}},
      {"range", L"{[b-d]+}", L"abcde", {L"bcd"}},
      {"negated class", L"{[^a-c]+}", L"abcxyzab", {L"xyz"}},
      {"negated class never matches the end", L"{a[^b]}", L"a", {}},
      {"hyphen first is plain", L"{[-a]+}", L"x-a-y", {L"-a-"}},
      {"hyphen first after caret is plain", L"{[^-]+}", L"--ab-", {L"ab"}},
      {"escaped bracket in a class", L"{[\\]x]+}", L"a]x]b", {L"]x]"}},
      {"quantifier characters where an item is expected", L"{*a}", L"b*a", {L"*a"}},
      {"second star is a character", L"{a**}", L"aa*", {L"aa*"}},
      {"caret later is a character", L"{x^}", L"x^", {L"x^"}},
      {"dollar not last is a character", L"{a$}", L"a$", {L"a$"}},
      {"stray parenthesis ends the pattern", L"{a}) and the rest", L"xa", {L"a"}},
      {"stray bracket ends the pattern", L"{b}]{", L"b", {L"b"}},
      {"stray brace ends the pattern", L"{c}}(", L"c", {L"c"}},
  });
}

TEST(PatternDialect, Abbreviations) {
  runTable({
      {"letter or digit", L"{\\a+}", L"--a1--", {L"a1"}},
      {"blank or tab, repeated", L"x\\b*{y}", L"x \t y", {L"y"}},
      {"letter", L"{\\c\\c}", L"1ab2", {L"ab"}},
      {"digit", L"{\\d\\d}", L"a1b23", {L"23"}},
      {"hex digit folds through the subject", L"{\\h+}", L"xyz0fAg", {L"0fA"}},
      {"line end: CR alone is tried first", L"{a\\n}", L"a\r\n", {L"a\r"}},
      {"line end: LF", L"{a\\n}", L"a\n", {L"a\n"}},
      {"line end: CR LF when needed", L"{a\\nb}", L"a\r\nb", {L"a\r\nb"}},
      {"run of letters", L"{\\w}", L"12abC3", {L"abC"}},
      {"run of digits", L"{\\z}", L"ab123c", {L"123"}},
      {"double-quoted string", L"{\\q}", L"say \"hi\" and 'yo'", {L"\"hi\""}},
      {"single quotes are not a quoted string", L"{\\q}", L"'yo'", {}},
      {"empty quoted string", L"{\\q}", L"\"\"", {L"\"\""}},
      {"key letters fold", L"{\\D}", L"x7", {L"7"}},
      {"other letters are literal", L"{\\x\\y}", L"xy", {L"xy"}},
  });
}

// Which match comes first is the backtracking order's choice, not the
// longest one.
TEST(PatternBacktracking, Quantifiers) {
  runTable({
      {"greedy star", L"{.*}b", L"xbyb", {L"xby"}},
      {"lazy star", L"{.*?}b", L"xbyb", {L"x", L"y"}},
      {"greedy plus", L"{a+}", L"aaa", {L"aaa"}},
      {"lazy plus", L"{a+?}", L"aaa", {L"a"}},
      {"greedy optional", L"{ab?}", L"ab", {L"ab"}},
      {"lazy optional", L"{ab??}", L"ab", {L"a"}},
      {"lazy optional grows when the rest fails", L"{ab??c}", L"abc", {L"abc"}},
      {"greedy backs off one pass", L"{a*}ab", L"aaab", {L"aa"}},
      // The rest consumes before it fails; the next lazy pass starts from
      // where the loop stood, not from where the rest gave up.
      {"lazy plus resumes at the loop's position", L"{a+?}ab", L"aaab", {L"aa"}},
      {"lazy star resumes at the loop's position", L"{a*?}ab", L"aaaab", {L"aaa"}},
      {"lazy optional resumes at the loop's position", L"{a??}ab", L"aab", {L"a"}},
      {"span of the last pass", L"({[a-c]})+x", L"abcx", {L"c"}},
  });
}

TEST(PatternBacktracking, AlternationBindsToSingleItems) {
  runTable({
      {"middle letters alternate", L"{ab|cd}", L"abcd", {}},
      {"a b d", L"{ab|cd}", L"abd", {L"abd"}},
      {"a c d", L"{ab|cd}", L"acd", {L"acd"}},
      {"sequences alternate in parentheses", L"{(ab)|(cd)}", L"xcd", {L"cd"}},
      {"two letters and a bar are three items", L"{(a|ab)}", L"ab", {L"ab"}},
      {"left side first, not the longest", L"{((a)|(ab))}", L"ab", {L"a"}},
      {"right side when the rest needs it", L"{((a)|(ab))c}", L"abc", {L"abc"}},
      {"chains bind to the right", L"{a|b|c}", L"c", {L"c"}},
      {"bar where an item is expected", L"{a||}", L"|", {L"|"}},
      {"empty right side", L"{ab|}", L"a", {L"a"}},
      {"quantified sides", L"{a+|b}", L"bab", {L"b", L"a"}},
  });
}

TEST(PatternBacktracking, Lookahead) {
  runTable({
      {"not followed by", L"{a!b}", L"abac", {L"a"}},
      {"double negation looks ahead", L"{!!a.}", L"ba", {L"a"}},
      {"lookahead at the end", L"{a!.}", L"aba", {L"a"}},
      // A capture inside "!" belongs to a path that was given up.
      {"capture inside a failed lookahead is not reported", L"(!{a}|.)c", L"ac", {}},
      {"capture from an earlier attempt is not reported", L"!{a}|b", L"ab", {}},
  });
  Pattern pattern;
  ASSERT_EQ(pattern.parse(L"{a!b}"), PatternError::Ok);
  MatchContext context;
  size_t end = 0;
  ASSERT_TRUE(pattern.match(L"abac", 0, context, end));
  EXPECT_EQ(context.matchStart, 2u);
  EXPECT_EQ(end, 3u);
}

TEST(PatternBacktracking, BackReferences) {
  runTable({
      {"ignores case", L"{\\w}-\\0", L"Abc-aBC", {L"Abc"}},
      {"must repeat the capture", L"{[0-9]+}-\\0", L"12-13 7-7", {L"7"}},
      {"later group", L"{a}{b}\\1", L"abB", {L"a"}},
      {"group inside its own text is empty", L"{a\\0}", L"aa", {L"a"}},
  });
  Pattern pattern;
  MatchContext context;
  size_t end = 0;
  // A group that captured nothing matches the empty text.
  ASSERT_EQ(pattern.parse(L"({x}|y)\\0z"), PatternError::Ok);
  ASSERT_TRUE(pattern.match(L"yz", 0, context, end));
  EXPECT_EQ(end, 2u);
  EXPECT_EQ(context.groups[0].start, kNoPosition);
  // Reopened in a later pass the group's old end lies before its new start:
  // no capture, not a negative length.
  ASSERT_EQ(pattern.parse(L"({a\\0}x)+"), PatternError::Ok);
  ASSERT_TRUE(pattern.match(L"axax", 0, context, end));
  EXPECT_EQ(end, 4u);
  EXPECT_EQ(context.groups[0].start, 2u);
  EXPECT_EQ(context.groups[0].end, 3u);
}

TEST(PatternBacktracking, Anchors) {
  runTable({
      {"caret: no later start", L"^{a}", L"ba", {}},
      {"caret at the start", L"^{b}", L"ba", {L"b"}},
      {"caret chains from each match end", L"^{ab}", L"ababxab", {L"ab"}},
      {"dollar", L"{a}$", L"aba", {L"a"}},
      {"dollar fails before the end", L"{a}$", L"ab", {}},
      {"caret and dollar", L"^{abc}$", L"abc", {L"abc"}},
  });
  Pattern pattern;
  MatchContext context;
  size_t end = 0;
  ASSERT_EQ(pattern.parse(L"{a}$"), PatternError::Ok);
  ASSERT_TRUE(pattern.match(L"aba", 0, context, end));
  EXPECT_EQ(context.matchStart, 2u);
  EXPECT_EQ(end, 3u);  // the terminating NUL is not part of the match
  EXPECT_EQ(context.groups[0].end, 3u);
  ASSERT_EQ(pattern.parse(L"^b"), PatternError::Ok);
  EXPECT_FALSE(pattern.match(L"ab", 0, context, end));
  ASSERT_TRUE(pattern.match(L"ab", 1, context, end));
  EXPECT_EQ(context.matchStart, 1u);
}

TEST(PatternMatch, Interface) {
  Pattern pattern;
  MatchContext context;
  size_t end = 0;
  EXPECT_FALSE(pattern.match(L"a", 0, context, end)) << "never parsed";
  EXPECT_EQ(pattern.parse(L"(a"), PatternError::MissingCloseParen);
  EXPECT_FALSE(pattern.match(L"a", 0, context, end)) << "failed parse";
  ASSERT_EQ(pattern.parse(L"{B+}"), PatternError::Ok);
  EXPECT_EQ(pattern.groupCount(), 1u);
  EXPECT_FALSE(pattern.match(nullptr, 0, context, end));
  EXPECT_FALSE(pattern.match(L"ab", 3, context, end)) << "start beyond the end";
  ASSERT_TRUE(pattern.match(L"bxbbb", 1, context, end));
  EXPECT_EQ(context.matchStart, 2u);
  EXPECT_EQ(end, 5u);
  EXPECT_EQ(context.groups[0].start, 2u);
  EXPECT_EQ(context.groups[0].end, 5u);

  ASSERT_EQ(pattern.parse(L"{ABC}", true), PatternError::Ok);
  EXPECT_TRUE(pattern.caseSensitive());
  ASSERT_TRUE(pattern.match(L"abcABC", 0, context, end));
  EXPECT_EQ(context.matchStart, 3u);
  ASSERT_EQ(pattern.parse(L"{abc}\\0", true), PatternError::Ok);
  EXPECT_TRUE(pattern.match(L"abcABC", 0, context, end)) << "back-references ignore case";
}

struct ErrorCase {
  const wchar_t* pattern;
  PatternError expected;
};

TEST(PatternErrors, EachError) {
  const std::vector<ErrorCase> cases = {
      {L"abc", PatternError::Ok},
      {L"(a*)?", PatternError::Ok},
      {L"(a*)??", PatternError::Ok},
      {L"{a}\\0*", PatternError::Ok},
      {L"(!a)*", PatternError::Ok},
      {L"{abc", PatternError::MissingCloseBrace},
      {L"{a)b}", PatternError::MissingCloseBrace},
      {L"{a]", PatternError::MissingCloseBrace},
      {L"(abc", PatternError::MissingCloseParen},
      {L"(a}b)", PatternError::MissingCloseParen},
      {L"({a)}", PatternError::MissingCloseBrace},
      {L"[abc", PatternError::MissingCloseBracket},
      {L"[", PatternError::MissingCloseBracket},
      {L"[^", PatternError::MissingCloseBracket},
      {L"[a-]", PatternError::MissingCloseBracket},
      {L"[a-", PatternError::MissingCloseBracket},
      {L"[a\\", PatternError::MissingCloseBracket},
      {L"[]", PatternError::EmptyClass},
      {L"[^]", PatternError::EmptyClass},
      {L"{a}\\1{b}", PatternError::UnknownGroup},
      {L"\\0", PatternError::UnknownGroup},
      {L"{a}\\99999999999999999999", PatternError::UnknownGroup},
      {L"[z-a]", PatternError::ReversedRange},
      {L"(a*)*", PatternError::EmptyRepeat},
      {L"(a?)+", PatternError::EmptyRepeat},
      {L"()*", PatternError::EmptyRepeat},
      {L"{}+?", PatternError::EmptyRepeat},
      {L"(a|)*", PatternError::EmptyRepeat},
      {L"(a*)*?", PatternError::EmptyRepeat},
      {L"(a+?)+", PatternError::EmptyRepeat},
      {nullptr, PatternError::NullPattern},
  };
  for (const ErrorCase& c : cases) {
    SCOPED_TRACE(c.pattern != nullptr ? testing::PrintToString(std::wstring(c.pattern))
                                      : std::string("null"));
    Pattern pattern;
    EXPECT_EQ(pattern.parse(c.pattern), c.expected);
    EXPECT_EQ(pattern.lastError(), c.expected);
    Texts found{L"stale"};
    if (c.expected != PatternError::Ok) {
      EXPECT_FALSE(findAllMatches(c.pattern, L"abc", found));
      EXPECT_TRUE(found.empty());
    }
  }
}

TEST(PatternErrors, Abbreviations) {
  // Every built-in expansion compiles, alone and repeated.
  for (const wchar_t* const* row = Pattern::builtinAbbreviations(); *row != nullptr; ++row) {
    const std::wstring text = std::wstring(L"\\") + (*row)[0] + L"+";
    Pattern pattern;
    EXPECT_EQ(pattern.parse(text.c_str()), PatternError::Ok) << (*row)[0];
  }
  const wchar_t* const broken[] = {L"x([a-)", L"y((a*)*)", L"z(\\1)", L"k", nullptr};
  Pattern pattern;
  EXPECT_EQ(pattern.parse(L"a\\x", false, broken), PatternError::BadAbbreviation);
  EXPECT_EQ(pattern.parse(L"\\y", false, broken), PatternError::BadAbbreviation);
  EXPECT_EQ(pattern.parse(L"{a}\\z", false, broken), PatternError::BadAbbreviation);
  EXPECT_EQ(pattern.parse(L"{\\k}", false, broken), PatternError::Ok) << "empty expansion";
  EXPECT_EQ(pattern.parse(L"\\d", false, broken), PatternError::Ok) << "d is not in this table";
}

// Inputs that a careless engine turns into deep recursion, huge code or an
// endless loop.
TEST(PatternLimits, HostileInputs) {
  const std::wstring parens = std::wstring(5000, L'(') + L"a" + std::wstring(5000, L')');
  Pattern pattern;
  EXPECT_EQ(pattern.parse(parens.c_str()), PatternError::OutOfMemory);
  const std::wstring braces = std::wstring(5000, L'{') + L"a" + std::wstring(5000, L'}');
  EXPECT_EQ(pattern.parse(braces.c_str()), PatternError::OutOfMemory);
  // "x+" holds x twice, so every level of nesting doubles the code.
  std::wstring plus = L"a";
  for (int i = 0; i < 40; ++i) plus = L"(" + plus + L")+";
  EXPECT_EQ(pattern.parse(plus.c_str()), PatternError::OutOfMemory);

  // Long flat chains are no nesting problem.
  std::wstring bars = L"{a";
  for (int i = 0; i < 5000; ++i) bars += L"|a";
  bars += L"|b}";
  Texts found;
  EXPECT_TRUE(findAllMatches(bars.c_str(), L"xb", found));
  EXPECT_EQ(found, Texts{L"b"});
  const std::wstring bangs = L"{" + std::wstring(5000, L'!') + L"a.}";
  EXPECT_TRUE(findAllMatches(bangs.c_str(), L"ab", found));
  EXPECT_EQ(found, Texts{L"a"});

  // A pass that consumes nothing ends a lazy loop instead of repeating it.
  runTable(
      {
          {"lazy star over a lookahead", L"(!a)*?{b}", L"cb", {L"b"}},
          {"lazy plus over a lookahead", L"{(!a)+?b}", L"cb", {L"b"}},
          {"lazy star over an empty back-reference", L"{x?}\\0*?y", L"zy", {L""}},
      },
      kGenerousBudget);
}

TEST(PatternLimits, LongSubjects) {
  const std::wstring run(1u << 18, L'a');
  Texts found;
  ASSERT_TRUE(findAllMatches(L"{a+}", run.c_str(), found));
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].size(), run.size());

  // A stack that may not grow further ends the match without a match.
  Pattern pattern;
  ASSERT_EQ(pattern.parse(L"{a*}"), PatternError::Ok);
  MatchContext context;
  context.stackLimit = 1000;
  size_t end = 0;
  const std::wstring fits(300, L'a');
  ASSERT_TRUE(pattern.match(fits.c_str(), 0, context, end));
  EXPECT_EQ(end, fits.size());
  EXPECT_LE(context.stack.size(), 1000u);
  const std::wstring tooLong(400, L'a');
  EXPECT_FALSE(pattern.match(tooLong.c_str(), 0, context, end));
}

TEST(PatternLimits, StepBudget) {
  // Exponential backtracking: the budget ends the search, keeping what it
  // found before.
  const std::wstring subject = L"ab " + std::wstring(40, L'a');
  Texts found;
  EXPECT_TRUE(findAllMatchesBounded(L"{((a)|(aa))+b}", subject.c_str(), found, 100000));
  EXPECT_EQ(found, Texts{L"ab"});
}

}  // namespace
