// The HTTP client's portable rules: verbs, header fields, cookies, charset,
// HTML completeness and the body loop, driven by a scripted body source.
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "net/http_body.h"
#include "net/http_headers.h"
#include "net/pattern.h"

using namespace vx::http;

namespace {

const wchar_t kHeaders[] =
    L"HTTP/1.1 200 OK\r\n"
    L"Content-Type: text/html; charset=UTF-8\r\n"
    L"content-length: 1234\r\n"
    L"Set-Cookie: a=1; Path=/\r\n"
    L"Set-Cookie:\t b=2\r\n"
    L"Location: 42\r\n"
    L"\r\n";

TEST(HttpVerb, GetAndPostInAnyCaseBecomeCanonicalOthersAreRefused) {
  for (const wchar_t* v : {L"get", L"Get", L"GET"}) {
    std::wstring verb = v;
    EXPECT_TRUE(canonicalVerb(verb));
    EXPECT_EQ(verb, L"GET");
  }
  std::wstring post = L"pOsT";
  EXPECT_TRUE(canonicalVerb(post));
  EXPECT_EQ(post, L"POST");
  for (const wchar_t* v : {L"PUT", L"", L"GETS", L"GE", L"POST "}) {
    std::wstring verb = v;
    EXPECT_FALSE(canonicalVerb(verb)) << std::string(verb.begin(), verb.end());
    EXPECT_EQ(verb, v);
  }
}

TEST(HttpHeaders, ReadsEveryFieldFromARealisticBlock) {
  HeaderFields f;
  readHeaderFields(kHeaders, false, f);
  EXPECT_EQ(f.charset, L"UTF-8");  // the header's own case
  EXPECT_EQ(f.contentLength, 1234);
  EXPECT_EQ(f.location, L"42");
  EXPECT_EQ(f.receivedCookies, L"a=1; Path=/; b=2;");
}

TEST(HttpHeaders, AbsentHeadersKeepEarlierValuesAndFixedCharsetIsKept) {
  HeaderFields f;
  f.charset = L"windows-1251";
  f.contentLength = 77;
  f.location = L"9";
  f.receivedCookies = L"old=1;";
  readHeaderFields(L"HTTP/1.1 200 OK\r\nServer: x\r\n\r\n", false, f);
  EXPECT_EQ(f.charset, L"windows-1251");
  EXPECT_EQ(f.contentLength, 77);
  EXPECT_EQ(f.location, L"9");
  EXPECT_EQ(f.receivedCookies, L"old=1;");

  readHeaderFields(kHeaders, true, f);
  EXPECT_EQ(f.charset, L"windows-1251");
  // Appended straight after the earlier content, with no separator.
  EXPECT_EQ(f.receivedCookies, L"old=1;a=1; Path=/; b=2;");
}

TEST(HttpHeaders, ContentLengthThatDoesNotFitIn32BitsIsIgnored) {
  HeaderFields f;
  f.contentLength = 5;
  readHeaderFields(L"HTTP/1.1 200 OK\r\nContent-Length: 4294967396\r\n\r\n", false, f);
  EXPECT_EQ(f.contentLength, 5);
  readHeaderFields(L"HTTP/1.1 200 OK\r\nContent-Length: 2147483647\r\n\r\n", false, f);
  EXPECT_EQ(f.contentLength, 2147483647);
  readHeaderFields(L"HTTP/1.1 200 OK\r\nContent-Length: 2147483648\r\n\r\n", false, f);
  EXPECT_EQ(f.contentLength, 2147483647);
  int32_t v = 3;
  EXPECT_FALSE(parseDecimal(L"", v));
  EXPECT_FALSE(parseDecimal(L"12a", v));
  EXPECT_EQ(v, 3);
}

TEST(HttpCookies, CaseVariantsCollapseAndBlanksAreTrimmed) {
  HeaderFields f;
  readHeaderFields(L"HTTP/1.1 200 OK\r\nSet-Cookie: sid=AbC\r\nset-cookie: SID=abc\r\n\r\n", false,
                   f);
  EXPECT_EQ(f.receivedCookies, L"sid=AbC;");

  std::wstring received;
  collectCookies({L"  x=1 "}, received);
  EXPECT_EQ(received, L"x=1;");
  collectCookies({L"y=2;"}, received);  // already ends with ";": nothing added
  EXPECT_EQ(received, L"x=1;y=2;");
  std::wstring blank;
  collectCookies({L"   "}, blank);
  EXPECT_EQ(blank, L"");
}

TEST(HttpCharset, OnlyTheHyphenatedUtf8NameSelectsUtf8) {
  EXPECT_TRUE(charsetIsUtf8(L"UTF-8"));
  EXPECT_TRUE(charsetIsUtf8(L"utf-8"));
  EXPECT_TRUE(charsetIsUtf8(L"uTf-8x"));  // the first five characters decide
  EXPECT_FALSE(charsetIsUtf8(L"utf8"));
  EXPECT_FALSE(charsetIsUtf8(L"utf-"));
  EXPECT_FALSE(charsetIsUtf8(L"windows-1251"));
  EXPECT_FALSE(charsetIsUtf8(L""));
}

TEST(HttpHtml, OpeningTagWithoutClosingTagMeansCutOff) {
  EXPECT_TRUE(htmlComplete(L""));
  EXPECT_TRUE(htmlComplete(L"{\"launcher\":1}"));
  EXPECT_TRUE(htmlComplete(L"<HTML><body>x</body></Html>"));
  EXPECT_FALSE(htmlComplete(L"<html><body>cut"));
  EXPECT_FALSE(htmlComplete(L"junk <HtMl> more"));
  // An opening tag with attributes is not the tag the check looks for.
  EXPECT_TRUE(htmlComplete(L"<html lang=\"ru\"><body>cut"));
}

TEST(HttpHtml, AgreesWithThePatternSearchItStandsFor) {
  auto byPattern = [](const std::wstring& text) {
    std::vector<std::wstring> open, close;
    findAllMatches(L"{<html>}", text.c_str(), open);
    findAllMatches(L"{</html>}", text.c_str(), close);
    return open.empty() || !close.empty();
  };
  for (const wchar_t* text :
       {L"", L"<", L"<html", L"<html>", L"<HTML></HTML>", L"x<hTmL>y</htm>", L"</html><html>",
        L"<<html>>", L"<html >", L"\u0130<html>", L"<html></html\u212a>", L"a</HTML>"}) {
    EXPECT_EQ(htmlComplete(text), byPattern(text)) << std::string(text, text + std::wcslen(text));
  }
}

// A body source that plays back a script of passes.
struct Pass {
  bool availableOk = true;
  uint32_t announced = 0;
  uint32_t error = 0;
  bool readOk = true;
  uint32_t reportExtra = 0;  // count reported beyond what was asked for
};

class ScriptedSource : public BodySource {
 public:
  explicit ScriptedSource(std::vector<Pass> passes) : passes_(std::move(passes)) {}
  bool available(uint32_t& count, uint32_t& error) override {
    current_ = index_ < passes_.size() ? passes_[index_++] : Pass{};
    if (!current_.availableOk) {
      error = current_.error;
      return false;
    }
    count = current_.announced;
    return true;
  }
  bool read(uint8_t* buffer, uint32_t size, uint32_t& count) override {
    reads_.push_back(size);
    if (!current_.readOk) return false;
    for (uint32_t i = 0; i < size; ++i) buffer[i] = static_cast<uint8_t>('a' + (next_++ % 26));
    count = size + current_.reportExtra;
    return true;
  }
  std::vector<uint32_t> reads_;

 private:
  std::vector<Pass> passes_;
  Pass current_;
  size_t index_ = 0;
  uint32_t next_ = 0;
};

std::vector<double> progressSeen;
bool recordProgress(double percent) {
  progressSeen.push_back(percent);
  return false;  // ignored by the loop
}

Pass chunk(uint32_t n) {
  Pass p;
  p.announced = n;
  return p;
}

void expectLetters(const BodyResult& r, uint32_t from, uint32_t to, uint32_t firstLetter) {
  for (uint32_t i = from; i < to; ++i) {
    ASSERT_EQ(r.data[i], static_cast<uint8_t>('a' + ((firstLetter + i - from) % 26))) << i;
  }
}

TEST(HttpBody, KnownLengthReportsZeroFirstOnePerPassAndTheFinalFigureTwice) {
  progressSeen.clear();
  ScriptedSource source({chunk(100), chunk(300), chunk(600)});
  BodyResult r = readBody(source, &recordProgress, 1000);
  EXPECT_FALSE(r.error);
  EXPECT_EQ(r.length, 1000u);
  EXPECT_EQ(progressSeen, (std::vector<double>{0, 10, 40, 100, 100}));
  EXPECT_EQ(source.reads_.back(), 0u);  // the last pass still asks to read 0 bytes
  expectLetters(r, 0, 1000, 0);
  EXPECT_EQ(r.data[1000], 0);
}

TEST(HttpBody, WithoutContentLengthProgressIsNeverReported) {
  progressSeen.clear();
  ScriptedSource source({chunk(10), chunk(20)});
  BodyResult r = readBody(source, &recordProgress, 0);
  EXPECT_EQ(r.length, 30u);
  EXPECT_TRUE(progressSeen.empty());
  ScriptedSource again({chunk(10)});
  EXPECT_EQ(readBody(again, nullptr, 500).length, 10u);  // a null callback is fine
}

TEST(HttpBody, BodiesAtAndBeyondTheInitialCapacityKeepATrailingZero) {
  for (uint32_t size : {10239u, 10240u, 20481u, 50000u}) {
    ScriptedSource source({chunk(size)});
    BodyResult r = readBody(source, nullptr, 0);
    ASSERT_EQ(r.length, size);
    expectLetters(r, 0, size, 0);
    EXPECT_EQ(r.data[size], 0) << size;
  }
  // Many small passes across several doublings.
  std::vector<Pass> passes(300, chunk(997));
  ScriptedSource source(passes);
  BodyResult r = readBody(source, nullptr, 0);
  ASSERT_EQ(r.length, 300u * 997u);
  expectLetters(r, 0, r.length, 0);
  EXPECT_EQ(r.data[r.length], 0);
}

TEST(HttpBody, FailedReadDropsItsPassAndTheLoopGoesOn) {
  Pass bad = chunk(50);
  bad.readOk = false;
  ScriptedSource source({chunk(10), bad, chunk(5)});
  BodyResult r = readBody(source, nullptr, 0);
  EXPECT_FALSE(r.error);
  EXPECT_EQ(r.length, 15u);
  expectLetters(r, 0, 10, 0);
}

TEST(HttpBody, FailedAvailabilityKeepsWhatArrivedAndStillReportsTheEnd) {
  progressSeen.clear();
  Pass reset;
  reset.availableOk = false;
  reset.error = 10054;
  ScriptedSource source({chunk(250), reset});
  BodyResult r = readBody(source, &recordProgress, 1000);
  EXPECT_TRUE(r.error);
  EXPECT_EQ(r.errorCode, 10054u);
  EXPECT_EQ(r.length, 250u);
  EXPECT_EQ(r.data[250], 0);
  EXPECT_EQ(progressSeen, (std::vector<double>{0, 25}));
}

TEST(HttpBody, ACountBeyondTheRequestedSizeIsNotTrusted) {
  Pass lying = chunk(40);
  lying.reportExtra = 1000;
  ScriptedSource source({lying});
  BodyResult r = readBody(source, nullptr, 0);
  EXPECT_EQ(r.length, 40u);
}

TEST(HttpBody, ABodyBeyondTheLimitIsRefusedAndWhatFitsStays) {
  ScriptedSource source({chunk(600), chunk(600)});
  BodyResult r = readBody(source, nullptr, 0, 1000);
  EXPECT_TRUE(r.error);
  EXPECT_EQ(r.errorCode, kErrorArithmeticOverflow);
  EXPECT_EQ(r.length, 600u);
  EXPECT_EQ(r.data[600], 0);
}

TEST(HttpBody, TextEndsAtTheFirstZeroByte) {
  const uint8_t body[] = {'a', 'b', 'c', 'd', 0, 'e', 'f', 'g', 0};
  EXPECT_EQ(lengthThroughFirstZero(body, 8), 5u);
  const uint8_t plain[] = {'x', 'y', 0};
  EXPECT_EQ(lengthThroughFirstZero(plain, 2), 3u);
}

}  // namespace
