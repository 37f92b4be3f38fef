// The HTTP client's portable rules: verbs, header fields, cookies, charset,
// HTML completeness and the body loop, driven by a scripted body source.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "net/http_body.h"
#include "net/http_headers.h"
#include "net/http_sink.h"
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
  bool read(uint8_t* buffer, uint32_t size, uint32_t& count, uint32_t& error) override {
    reads_.push_back(size);
    if (!current_.readOk) {
      error = current_.error;
      return false;
    }
    for (uint32_t i = 0; i < size; ++i) buffer[i] = static_cast<uint8_t>('a' + (next_++ % 26));
    count = size + current_.reportExtra;
    // A pass announced beyond one read is read on in the next pass.
    if (size < current_.announced) {
      Pass rest = current_;
      rest.announced -= size;
      passes_.insert(passes_.begin() + static_cast<std::ptrdiff_t>(index_), rest);
    }
    return true;
  }
  std::vector<uint32_t> reads_;

 private:
  std::vector<Pass> passes_;
  Pass current_;
  size_t index_ = 0;
  uint32_t next_ = 0;
};

// Collects what a streamed body hands on; refuses once `room` is used up.
class RecordingSink : public BodySink {
 public:
  uint64_t held() const override { return bytes.size(); }
  std::wstring validator() const override { return L""; }
  bool restart(const std::wstring&) override { return true; }
  bool resume() override { return true; }
  bool write(const uint8_t* data, size_t size) override {
    if (bytes.size() + size > room) return false;
    bytes.append(reinterpret_cast<const char*>(data), size);
    ++writes;
    return true;
  }
  void discard() override {}
  std::string bytes;
  size_t room = SIZE_MAX;
  int writes = 0;
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
Pass failing(bool inRead, uint32_t error) {
  Pass p = chunk(50);
  (inRead ? p.readOk : p.availableOk) = false;
  p.error = error;
  return p;
}

BodyPlan plan(uint64_t total = 0, ProgressFunction progress = nullptr) {
  BodyPlan p;
  p.progress = progress;
  p.progressTotal = total;
  return p;
}

void expectLetters(const uint8_t* data, uint64_t from, uint64_t to, uint32_t firstLetter) {
  for (uint64_t i = from; i < to; ++i) {
    ASSERT_EQ(data[i], static_cast<uint8_t>('a' + ((firstLetter + i - from) % 26))) << i;
  }
}

TEST(HttpBody, ProgressStartsWithTheHeldShareRisesPerPassAndEndsTwice) {
  progressSeen.clear();
  ScriptedSource source({chunk(100), chunk(300), chunk(600)});
  BodyResult r = readBody(source, plan(1000, &recordProgress));
  EXPECT_EQ(r.end, BodyEnd::Complete);
  EXPECT_EQ(r.length, 1000u);
  EXPECT_EQ(progressSeen, (std::vector<double>{0, 10, 40, 100, 100}));
  EXPECT_EQ(source.reads_.back(), 0u);  // the last pass still asks to read 0 bytes
  expectLetters(r.data.get(), 0, 1000, 0);
  EXPECT_EQ(r.data[1000], 0);

  // A continued item counts what was held before: 600 held of 2000.
  progressSeen.clear();
  ScriptedSource rest({chunk(400), chunk(1000)});
  BodyPlan resumed = plan(2000, &recordProgress);
  resumed.progressBase = 600;
  EXPECT_EQ(readBody(rest, resumed).length, 1400u);
  EXPECT_EQ(progressSeen, (std::vector<double>{30, 50, 100, 100}));

  progressSeen.clear();
  ScriptedSource unknown({chunk(10), chunk(20)});
  EXPECT_EQ(readBody(unknown, plan(0, &recordProgress)).length, 30u);
  EXPECT_TRUE(progressSeen.empty());
}

TEST(HttpBody, BodiesAtAndBeyondTheInitialCapacityKeepATrailingZero) {
  for (uint32_t size : {10239u, 10240u, 20481u, 50000u}) {
    ScriptedSource source({chunk(size)});
    BodyResult r = readBody(source, plan());
    ASSERT_EQ(r.length, size);
    expectLetters(r.data.get(), 0, size, 0);
    EXPECT_EQ(r.data[size], 0) << size;
  }
  // Many small passes across several doublings.
  std::vector<Pass> passes(300, chunk(997));
  ScriptedSource source(passes);
  BodyResult r = readBody(source, plan());
  ASSERT_EQ(r.length, 300u * 997u);
  expectLetters(r.data.get(), 0, r.length, 0);
  EXPECT_EQ(r.data[r.length], 0);
}

// How a body ends: only a body that reaches its announced end is complete,
// in memory and streamed alike; what arrived before stays either way.
TEST(HttpBody, OnlyABodyThatReachesItsAnnouncedEndIsComplete) {
  struct Case {
    const char* what;
    std::vector<Pass> passes;
    bool hasLength;
    uint64_t length;
    uint64_t maxLength;
    BodyEnd end;
    uint32_t code;
    uint64_t kept;
  };
  const Case cases[] = {
      {"no length, ends cleanly",
       {chunk(10), chunk(5)},
       false,
       0,
       kMaxBodyLength,
       BodyEnd::Complete,
       0,
       15},
      {"reaches its length",
       {chunk(600), chunk(400)},
       true,
       1000,
       kMaxBodyLength,
       BodyEnd::Complete,
       0,
       1000},
      {"ends short of its length",
       {chunk(250)},
       true,
       1000,
       kMaxBodyLength,
       BodyEnd::Short,
       kErrorShortBody,
       250},
      {"reset during the body",
       {chunk(250), failing(false, 12030)},
       true,
       1000,
       kMaxBodyLength,
       BodyEnd::Failed,
       12030,
       250},
      {"a read fails",
       {chunk(10), failing(true, 12002), chunk(5)},
       false,
       0,
       kMaxBodyLength,
       BodyEnd::Failed,
       12002,
       10},
      {"a failure without a code",
       {chunk(7), failing(false, 0)},
       false,
       0,
       kMaxBodyLength,
       BodyEnd::Failed,
       kErrorShortBody,
       7},
      {"grows past the limit",
       {chunk(600), chunk(600)},
       false,
       0,
       1000,
       BodyEnd::TooLarge,
       kErrorBodyTooLarge,
       600},
      {"exactly the limit", {chunk(600), chunk(400)}, false, 0, 1000, BodyEnd::Complete, 0, 1000},
  };
  for (const Case& c : cases) {
    for (bool streamed : {false, true}) {
      ScriptedSource source(c.passes);
      RecordingSink sink;
      BodyPlan p = plan();
      p.hasLength = c.hasLength;
      p.length = c.length;
      p.maxLength = c.maxLength;
      if (streamed) p.sink = &sink;
      BodyResult r = readBody(source, p);
      SCOPED_TRACE(std::string(c.what) + (streamed ? ", streamed" : ", in memory"));
      EXPECT_EQ(r.end, c.end);
      EXPECT_EQ(r.errorCode, c.code);
      EXPECT_EQ(r.length, c.kept);
      if (streamed) {
        EXPECT_EQ(r.data, nullptr);
        ASSERT_EQ(sink.bytes.size(), c.kept);
        expectLetters(reinterpret_cast<const uint8_t*>(sink.bytes.data()), 0, c.kept, 0);
      } else {
        ASSERT_NE(r.data, nullptr);
        EXPECT_EQ(r.data[c.kept], 0);
      }
    }
  }
}

TEST(HttpBody, AStreamedBodyIsReadInBoundedPiecesAndASinkRefusalEndsIt) {
  RecordingSink sink;
  ScriptedSource source({chunk(200000)});
  BodyPlan p = plan();
  p.sink = &sink;
  EXPECT_EQ(readBody(source, p).end, BodyEnd::Complete);
  EXPECT_EQ(sink.bytes.size(), 200000u);
  for (uint32_t size : source.reads_) EXPECT_LE(size, kSinkChunk);

  RecordingSink full;
  full.room = 1000;
  ScriptedSource more({chunk(600), chunk(600)});
  p.sink = &full;
  BodyResult r = readBody(more, p);
  EXPECT_EQ(r.end, BodyEnd::SinkFailed);
  EXPECT_EQ(r.errorCode, kErrorSinkFailed);
  EXPECT_EQ(r.length, 600u);
}

TEST(HttpBody, ACountBeyondTheRequestedSizeIsNotTrusted) {
  Pass lying = chunk(40);
  lying.reportExtra = 1000;
  ScriptedSource source({lying});
  EXPECT_EQ(readBody(source, plan()).length, 40u);
}

// What a response says about its body, and whether it continues a held
// part, starts the item over or is refused.
TEST(HttpResume, ResponseFactsAreReadFromTheirOwnHeaderLines) {
  const BodyFacts f = readBodyFacts(L"206",
                                    L"HTTP/1.1 206 Partial Content\r\n"
                                    L"X-Note: Content-Length: 5\r\n"
                                    L"content-length:  400 \r\n"
                                    L"Content-Length: 9\r\n"
                                    L"CONTENT-RANGE: bytes 600-999/1000\r\n"
                                    L"ETag: \"abc\"\r\n"
                                    L"Last-Modified: Tue, 01 Dec 2026 10:00:00 GMT\r\n\r\n");
  EXPECT_EQ(f.status, 206u);
  EXPECT_TRUE(f.hasLength);
  EXPECT_EQ(f.length, 400u);  // the first real header, not a value that mentions it
  EXPECT_EQ(f.contentRange, L"bytes 600-999/1000");
  EXPECT_EQ(validatorOf(f), L"\"abc\"");

  const BodyFacts odd = readBodyFacts(L"2x0", L"HTTP/1.1 200 OK\r\nContent-Length: 12a\r\n\r\n");
  EXPECT_EQ(odd.status, 0u);
  EXPECT_FALSE(odd.hasLength);

  BodyFacts v;
  EXPECT_EQ(validatorOf(v), L"");
  v.lastModified = L"Tue, 01 Dec 2026 10:00:00 GMT";
  v.etag = L"W/\"weak\"";
  EXPECT_EQ(validatorOf(v), L"Tue, 01 Dec 2026 10:00:00 GMT");
  v.lastModified = L"bad\r\nX-Injected: 1";
  EXPECT_EQ(validatorOf(v), L"");
}

TEST(HttpResume, ContentRangeIsReadStrictly) {
  struct Case {
    const wchar_t* text;
    bool ok;
    uint64_t first, last, total;
    bool totalKnown;
  };
  const Case cases[] = {
      {L"bytes 0-9/10", true, 0, 9, 10, true},
      {L"BYTES  5-5/*", true, 5, 5, 0, false},
      {L"bytes 18446744073709551614-18446744073709551614/18446744073709551615", true,
       18446744073709551614u, 18446744073709551614u, 18446744073709551615u, true},
      {L"bytes 18446744073709551616-1/2", false, 0, 0, 0, false},
      {L"bytes 9-5/10", false, 0, 0, 0, false},
      {L"bytes 0-10/10", false, 0, 0, 0, false},
      {L"bytes */10", false, 0, 0, 0, false},
      {L"bytes=0-9/10", false, 0, 0, 0, false},
      {L"items 0-9/10", false, 0, 0, 0, false},
      {L"bytes 0-9/10 ", false, 0, 0, 0, false},
      {L"bytes -1-9/10", false, 0, 0, 0, false},
      {L"", false, 0, 0, 0, false},
  };
  for (const Case& c : cases) {
    ContentRange r;
    SCOPED_TRACE(std::string(c.text, c.text + std::wcslen(c.text)));
    ASSERT_EQ(parseContentRange(c.text, r), c.ok);
    if (!c.ok) continue;
    EXPECT_EQ(r.first, c.first);
    EXPECT_EQ(r.last, c.last);
    EXPECT_EQ(r.totalKnown, c.totalKnown);
    if (c.totalKnown) {
      EXPECT_EQ(r.total, c.total);
    }
  }
}

TEST(HttpResume, OnlyA206ThatRunsFromTheHeldEndToTheItemsEndIsContinued) {
  struct Case {
    const char* what;
    uint32_t status;
    const wchar_t* range;
    int64_t length;  // -1: no Content-Length
    uint64_t from, limit;
    BodyStart start;
  };
  const Case cases[] = {
      {"no range asked: any status is the item", 404, L"", 20, 0, 1000, BodyStart::Whole},
      {"no range asked, announced past the limit", 200, L"", 1001, 0, 1000, BodyStart::TooLarge},
      {"no range asked, no limit", 200, L"", 5000, 0, 0, BodyStart::Whole},
      {"continues exactly", 206, L"bytes 600-999/1000", 400, 600, 1000, BodyStart::Continue},
      {"continues, total unstated", 206, L"bytes 600-999/*", -1, 600, 1000, BodyStart::Continue},
      {"starts elsewhere", 206, L"bytes 0-999/1000", 1000, 600, 1000, BodyStart::RefuseAndDrop},
      {"ends before the item does", 206, L"bytes 600-899/1000", 300, 600, 1000,
       BodyStart::RefuseAndDrop},
      {"a total other than the item's", 206, L"bytes 600-999/2000", 400, 600, 1000,
       BodyStart::RefuseAndDrop},
      {"a length that is not the part's", 206, L"bytes 600-999/1000", 500, 600, 1000,
       BodyStart::RefuseAndDrop},
      {"no Content-Range", 206, L"", 400, 600, 1000, BodyStart::RefuseAndDrop},
      {"no limit: the stated total ends it", 206, L"bytes 600-999/1000", 400, 600, 0,
       BodyStart::Continue},
      {"no limit and no total", 206, L"bytes 600-999/*", 400, 600, 0, BodyStart::RefuseAndDrop},
      {"200 to a range starts over", 200, L"", 1000, 600, 1000, BodyStart::Whole},
      {"200 to a range, too large", 200, L"", 4000, 600, 1000, BodyStart::TooLarge},
      {"range not satisfiable", 416, L"bytes */1000", 0, 600, 1000, BodyStart::RefuseAndDrop},
      {"server error", 503, L"", 10, 600, 1000, BodyStart::Refuse},
      {"not found", 404, L"", 10, 600, 1000, BodyStart::Refuse},
  };
  for (const Case& c : cases) {
    BodyFacts f;
    f.status = c.status;
    f.contentRange = c.range;
    f.hasLength = c.length >= 0;
    f.length = c.length >= 0 ? static_cast<uint64_t>(c.length) : 0;
    EXPECT_EQ(classifyBodyStart(f, c.from, c.limit), c.start) << c.what;
  }
}

TEST(HttpBody, TextEndsAtTheFirstZeroByte) {
  const uint8_t body[] = {'a', 'b', 'c', 'd', 0, 'e', 'f', 'g', 0};
  EXPECT_EQ(lengthThroughFirstZero(body, 8), 5u);
  const uint8_t plain[] = {'x', 'y', 0};
  EXPECT_EQ(lengthThroughFirstZero(plain, 2), 3u);
}

}  // namespace
