// HttpClient against the scripted loopback server (and tinyproxy), under Wine.
// run_with_server.py passes the ports in VX_TEST_PORT_* and the logs' paths.
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/win_raii.h"
#include "net/http_client.h"

namespace {

std::wstring env(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::wstring(value, value + std::strlen(value)) : std::wstring();
}

std::wstring port(const char* listener) {
  std::string name = std::string("VX_TEST_PORT_") + listener;
  return env(name.c_str());
}

std::wstring httpUrl(const std::wstring& path) {
  return L"http://127.0.0.1:" + port("HTTP") + path;
}

std::wstring httpsUrl(const char* listener, const std::wstring& path) {
  return L"https://127.0.0.1:" + port(listener) + path;
}

std::string readFile(const char* envName) {
  std::ifstream in(env(envName).c_str(), std::ios::binary);
  std::stringstream all;
  all << in.rdbuf();
  return all.str();
}

// Lines of the server's request log that contain the given text.
int logLinesWith(const std::string& text) {
  std::istringstream log(readFile("VX_TEST_SERVER_LOG"));
  int count = 0;
  for (std::string line; std::getline(log, line);) {
    if (line.find(text) != std::string::npos) ++count;
  }
  return count;
}

int requestsFor(const std::string& path) { return logLinesWith("\"path\": \"" + path + "\""); }

// Requests for the path that asked for a range.
int rangeRequestsFor(const std::string& path) {
  std::istringstream log(readFile("VX_TEST_SERVER_LOG"));
  int count = 0;
  for (std::string line; std::getline(log, line);) {
    if (line.find("\"path\": \"" + path + "\"") != std::string::npos &&
        line.find("[\"Range\", \"bytes=") != std::string::npos) {
      ++count;
    }
  }
  return count;
}

std::vector<double> progressSeen;
bool recordProgress(double percent) {
  progressSeen.push_back(percent);
  return true;
}

std::string bodyOf(const HttpClient& c) {
  return c.body ? std::string(reinterpret_cast<const char*>(c.body.get()), c.bodyLength)
                : std::string();
}

// Wine's WinHTTP accepts WINHTTP_OPTION_PROXY on a request but ignores it (a
// stub), and refuses auto-detection combined with a configuration URL in
// WinHttpGetProxyForUrl (ERROR_INVALID_PARAMETER). The cases that need a
// per-request proxy therefore run on Windows only.
bool underWine() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

#define SKIP_UNDER_WINE() \
  if (underWine()) GTEST_SKIP() << "Wine ignores a proxy set on a request"

class HttpClientTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(port("HTTP").empty()) << "run through run_with_server.py"; }
};

TEST_F(HttpClientTest, EmptyUrlAndUnknownVerbFailBeforeAnythingIsOpenedOrSent) {
  HttpClient empty(L"", nullptr);
  EXPECT_FALSE(empty.request(L"GET"));
  EXPECT_EQ(empty.lastError, 3u);
  EXPECT_FALSE(empty.session.valid());

  HttpClient put(httpUrl(L"/verb"), nullptr);
  EXPECT_FALSE(put.request(L"PUT"));
  EXPECT_EQ(put.lastError, 87u);
  EXPECT_FALSE(put.session.valid());

  HttpClient get(httpUrl(L"/verb"), nullptr);
  ASSERT_TRUE(get.request(L"get"));
  EXPECT_EQ(get.statusCode, L"200");
  EXPECT_EQ(get.text, L"ok");
  EXPECT_EQ(get.hostName, L"127.0.0.1");
  EXPECT_EQ(logLinesWith("\"method\": \"GET\", \"target\": \"/verb\""), 1);
  EXPECT_EQ(logLinesWith("\"method\": \"PUT\""), 0);
  EXPECT_NE(logLinesWith("Mozilla/5.0 (Windows NT 10.0; Win64; x64)"), 0);

  // A second request on the same object reuses its session.
  HINTERNET session = get.session.get();
  ASSERT_TRUE(get.request(L"GET"));
  EXPECT_EQ(get.session.get(), session);
  EXPECT_EQ(requestsFor("/verb"), 2);
}

TEST_F(HttpClientTest, CutOffHtmlIsAskedForThreeTimesThenFailsWith13) {
  HttpClient cut(httpUrl(L"/html-cut"), nullptr);
  EXPECT_FALSE(cut.request(L"GET"));
  EXPECT_EQ(cut.lastError, 13u);
  EXPECT_EQ(requestsFor("/html-cut"), 3);
  EXPECT_EQ(cut.statusCode, L"200");

  HttpClient whole(httpUrl(L"/html-whole"), nullptr);
  EXPECT_TRUE(whole.request(L"GET"));
  EXPECT_EQ(requestsFor("/html-whole"), 1);
}

TEST_F(HttpClientTest, WithoutContentLengthNoProgressIsReportedAndTheLengthIsKept) {
  for (const wchar_t* path : {L"/no-length", L"/chunked"}) {
    progressSeen.clear();
    HttpClient c(httpUrl(path), &recordProgress);
    c.contentLength = 0;
    ASSERT_TRUE(c.request(L"GET"));
    EXPECT_EQ(c.contentLength, 0);
    EXPECT_TRUE(progressSeen.empty());
    EXPECT_GT(c.bodyLength, 10u);
  }
  HttpClient chunked(httpUrl(L"/chunked"), nullptr);
  ASSERT_TRUE(chunked.request(L"GET"));
  EXPECT_EQ(bodyOf(chunked), "chunked body, eighteen bytes at a time");
}

TEST_F(HttpClientTest, KnownLengthProgressStartsAtZeroRisesAndEndsWithHundredTwice) {
  progressSeen.clear();
  HttpClient c(httpUrl(L"/progress"), &recordProgress);
  ASSERT_TRUE(c.request(L"GET"));
  EXPECT_EQ(c.contentLength, 200000);
  ASSERT_GE(progressSeen.size(), 3u);
  EXPECT_EQ(progressSeen.front(), 0.0);
  for (size_t i = 1; i < progressSeen.size(); ++i) EXPECT_GE(progressSeen[i], progressSeen[i - 1]);
  EXPECT_EQ(progressSeen[progressSeen.size() - 1], 100.0);
  EXPECT_EQ(progressSeen[progressSeen.size() - 2], 100.0);
  EXPECT_LT(progressSeen[progressSeen.size() - 3], 100.0);
}

TEST_F(HttpClientTest, BodiesAroundTheBufferSizeArriveWholeWithATrailingZero) {
  HttpClient exact(httpUrl(L"/exact-10240"), nullptr);
  ASSERT_TRUE(exact.request(L"GET"));
  ASSERT_EQ(exact.bodyLength, 10240u);
  std::string expected;
  for (int i = 0; i < 1024; ++i) expected += "0123456789";
  EXPECT_EQ(bodyOf(exact), expected);
  EXPECT_EQ(exact.body[10240], 0);

  HttpClient big(httpUrl(L"/big-chunk"), nullptr);
  ASSERT_TRUE(big.request(L"GET"));
  ASSERT_EQ(big.bodyLength, 50000u);
  for (uint32_t i = 0; i < 50000; ++i) ASSERT_EQ(big.body[i], 'a' + i % 26) << i;
  EXPECT_EQ(big.body[50000], 0);
  EXPECT_EQ(big.text.size(), 50000u);
}

TEST_F(HttpClientTest, CharsetUtf8DecodesAsUtf8AndUtf8WithoutHyphenAsTheAnsiCodePage) {
  const std::wstring privet = L"\u043f\u0440\u0438\u0432\u0435\u0442";
  HttpClient upper(httpUrl(L"/utf8-upper"), nullptr);
  ASSERT_TRUE(upper.request(L"GET"));
  EXPECT_EQ(upper.charset, L"UTF-8");
  EXPECT_EQ(upper.text, privet);

  HttpClient bare(httpUrl(L"/utf8-no-hyphen"), nullptr);
  ASSERT_TRUE(bare.request(L"GET"));
  EXPECT_EQ(bare.charset, L"utf8");
  EXPECT_NE(bare.text, privet);
  EXPECT_EQ(bare.text.size(), 12u);  // one character per byte
  if (GetACP() == 1252) {
    EXPECT_EQ(bare.text[0], L'\u00d0');
  }

  // A preset charset wins over the header when it is fixed.
  HttpClient fixed(httpUrl(L"/utf8-no-hyphen"), nullptr);
  fixed.charset = L"utf-8";
  fixed.charsetFixed = true;
  ASSERT_TRUE(fixed.request(L"GET"));
  EXPECT_EQ(fixed.text, privet);
}

TEST_F(HttpClientTest, TextStopsAtTheFirstZeroByteWhileTheBodyKeepsEverything) {
  HttpClient c(httpUrl(L"/fifth-zero"), nullptr);
  ASSERT_TRUE(c.request(L"GET"));
  EXPECT_EQ(c.bodyLength, 8u);
  EXPECT_EQ(c.text, L"abcd");
}

TEST_F(HttpClientTest, SetCookieValuesAreCollected) {
  HttpClient two(httpUrl(L"/cookies"), nullptr);
  ASSERT_TRUE(two.request(L"GET"));
  EXPECT_EQ(two.receivedCookies, L"a=1; Path=/; b=2;");
  EXPECT_TRUE(two.cookies.empty());

  HttpClient cased(httpUrl(L"/cookies-case"), nullptr);
  ASSERT_TRUE(cased.request(L"GET"));
  EXPECT_EQ(cased.receivedCookies, L"sid=AbC;");
}

TEST_F(HttpClientTest, CookiesLanguageAndExtraHeadersAreSent) {
  HttpClient c(httpUrl(L"/verb?headers"), nullptr);
  c.cookies = L"k=v";
  c.acceptLanguage = L"ru-RU";
  c.extraHeaders = L"X-One: 1\r\nX-Two: 2";
  ASSERT_TRUE(c.request(L"GET"));
  EXPECT_EQ(logLinesWith("[\"Cookie\", \"k=v\"]"), 1);
  EXPECT_EQ(logLinesWith("[\"Accept-Language\", \"ru-RU\"]"), 1);
  EXPECT_EQ(logLinesWith("[\"X-One\", \"1\"], [\"X-Two\", \"2\"]"), 1);
}

TEST_F(HttpClientTest, PostDataReachesTheServer) {
  HttpClient c(httpUrl(L"/post"), nullptr);
  const char data[] = "name=value";
  c.postDataLength = sizeof(data) - 1;
  c.postData.reset(new uint8_t[c.postDataLength]);
  std::memcpy(c.postData.get(), data, c.postDataLength);
  ASSERT_TRUE(c.request(L"post"));
  EXPECT_EQ(c.text, L"posted");
  EXPECT_EQ(logLinesWith("\"method\": \"POST\", \"target\": \"/post\""), 1);
  EXPECT_EQ(logLinesWith("\"path\": \"/post\", \"version\": \"HTTP/1.1\""), 1);
  EXPECT_EQ(logLinesWith("\"body_length\": 10"), 1);
}

TEST_F(HttpClientTest, QueryStringTravelsWithThePath) {
  HttpClient c(httpUrl(L"/updater?system=win64"), nullptr);
  ASSERT_TRUE(c.request(L"GET"));
  EXPECT_EQ(c.statusCode, L"200");
  EXPECT_EQ(logLinesWith("\"target\": \"/updater?system=win64\""), 1);
}

TEST_F(HttpClientTest, UrlsThatCannotBeSplitGiveTrueWithNothingReceived) {
  HttpClient longHost(L"http://" + std::wstring(260, L'a') + L".test/x", nullptr);
  EXPECT_TRUE(longHost.request(L"GET"));
  EXPECT_TRUE(longHost.statusCode.empty());
  EXPECT_EQ(longHost.body, nullptr);
  EXPECT_EQ(longHost.bodyLength, 0u);
  EXPECT_TRUE(longHost.hostName.empty());

  HttpClient longPath(httpUrl(L"/verb?" + std::wstring(1300, L'q')), nullptr);
  EXPECT_TRUE(longPath.request(L"GET"));
  EXPECT_TRUE(longPath.statusCode.empty());
  EXPECT_EQ(longPath.body, nullptr);
}

// Each certificate case has a listener of its own: the stack pools TLS
// connections per process and does not check a reused one again.
TEST_F(HttpClientTest, CertificateErrorsAreAcceptedByDefault) {
  for (const char* listener : {"HTTPS", "HTTPS_WRONG_NAME", "HTTPS_EXPIRED"}) {
    HttpClient c(httpsUrl(listener, L"/tls"), nullptr);
    EXPECT_FALSE(c.verifyCertificates);
    EXPECT_TRUE(c.request(L"GET")) << listener << " error " << c.lastError;
    EXPECT_EQ(c.text, L"secure") << listener;
  }
}

TEST_F(HttpClientTest, CertificateErrorsAreRefusedWhenVerifying) {
  for (const char* listener : {"HTTPS_VERIFY", "HTTPS_VERIFY_EXPIRED"}) {
    HttpClient c(httpsUrl(listener, L"/tls"), nullptr);
    c.verifyCertificates = true;
    EXPECT_FALSE(c.request(L"GET")) << listener;
    EXPECT_NE(c.lastError, 0u);
    EXPECT_TRUE(c.statusCode.empty());
  }
  EXPECT_EQ(logLinesWith("\"listener\": \"https_verify\", \"method\""), 0);
  EXPECT_EQ(logLinesWith("\"listener\": \"https_verify_expired\", \"method\""), 0);
}

// A streamed item kept in memory, with what the client did to it.
class MemorySink : public vx::http::BodySink {
 public:
  uint64_t held() const override { return bytes.size(); }
  std::wstring validator() const override { return tag; }
  bool restart(const std::wstring& v) override {
    bytes.clear();
    tag = v;
    events += "restart,";
    return true;
  }
  bool resume() override {
    events += "resume,";
    resumedAt = bytes.size();
    return true;
  }
  bool write(const uint8_t* data, size_t size) override {
    bytes.append(reinterpret_cast<const char*>(data), size);
    return true;
  }
  void discard() override {
    bytes.clear();
    tag.clear();
    events += "discard,";
  }
  std::string bytes;
  std::wstring tag;
  std::string events;
  size_t resumedAt = 0;
};

// Every body that does not arrive whole fails its attempt; a streamed item
// continues where an earlier attempt stopped when the server allows it, and
// never takes more than its size.
TEST_F(HttpClientTest, BodiesAreWholeOrFailAndStreamedItemsResumeWithinTheirSize) {
  struct Case {
    const char* what;
    const wchar_t* path;
    bool streamed;
    uint64_t limit;
    bool ok;
    uint32_t error;  // when !ok
    int requests;
    const char* events;  // streamed only
    size_t bytes;        // streamed: the item's bytes at the end
    int rangeRequests;   // requests that carried Range
  };
  const Case cases[] = {
      {"cut before its length (FIN)", L"/cut", false, 0, false, vx::http::kErrorShortBody, 3, "", 0,
       0},
      {"reset during the body", L"/reset", false, 0, false, 0, 3, "", 0, 0},
      {"announced past the limit", L"/overrun", true, 1000, false, vx::http::kErrorBodyTooLarge, 1,
       "", 0, 0},
      {"grows past the limit", L"/overrun-unannounced", true, 1000, false,
       vx::http::kErrorBodyTooLarge, 1, "restart,", 1000, 0},
      {"reset at 60 %, continued by the next attempt", L"/resume", true, 1000000, true, 0, 2,
       "restart,resume,", 1000000, 1},
      {"206 with a wrong Content-Range", L"/wrong-range", true, 100000, true, 0, 3,
       "restart,discard,restart,", 100000, 1},
      {"200 in answer to Range", L"/range-200", true, 100000, true, 0, 2, "restart,restart,",
       100000, 1},
      {"no validator: started over", L"/no-validator", true, 100000, true, 0, 2, "restart,restart,",
       100000, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path(c.path, c.path + std::wcslen(c.path));
    const int before = requestsFor(path);
    const int rangesBefore = rangeRequestsFor(path);
    MemorySink sink;
    progressSeen.clear();
    HttpClient client(httpUrl(c.path), &recordProgress);
    if (c.streamed) client.sink = &sink;
    client.maxBodyLength = c.limit;
    EXPECT_EQ(client.request(L"GET"), c.ok);
    if (!c.ok) {
      EXPECT_NE(client.lastError, 0u);
      if (c.error != 0) {
        EXPECT_EQ(client.lastError, c.error);
      }
    }
    EXPECT_EQ(requestsFor(path) - before, c.requests);
    if (!c.streamed) continue;
    EXPECT_EQ(client.body, nullptr);
    EXPECT_EQ(sink.events, c.events);
    if (c.ok) {
      ASSERT_EQ(sink.bytes.size(), c.bytes);
      for (size_t i = 0; i < sink.bytes.size(); ++i) {
        ASSERT_EQ(sink.bytes[i], static_cast<char>('a' + i % 26)) << i;
      }
      if (sink.events == "restart,resume,") {
        EXPECT_GE(sink.resumedAt, 500000u);  // what arrived before the reset is kept
        EXPECT_LE(sink.resumedAt, 600000u);
      }
      // Progress is the whole item's, held bytes included, and ends at 100.
      ASSERT_FALSE(progressSeen.empty());
      EXPECT_EQ(progressSeen.back(), 100.0);
    }
    EXPECT_EQ(rangeRequestsFor(path) - rangesBefore, c.rangeRequests);
  }
}

TEST_F(HttpClientTest, TheFixedProxyCarriesEveryAttempt) {
  SKIP_UNDER_WINE();
  HttpClient c(httpUrl(L"/via-proxy"), nullptr);
  c.proxy = L"127.0.0.1:" + env("VX_TEST_PROXY_PORT");
  ASSERT_TRUE(c.request(L"GET")) << c.lastError;
  EXPECT_EQ(c.text, L"proxied");
  EXPECT_NE(readFile("VX_TEST_PROXY_LOG").find("/via-proxy HTTP/1.1"), std::string::npos);
  EXPECT_EQ(logLinesWith("tinyproxy"), 1);  // the server saw the proxy's Via header
}

// The user's proxy settings as the stack reads them from the registry.
class UserProxySettings {
 public:
  UserProxySettings(uint32_t flags, const std::string& proxy, const std::string& autoConfigUrl) {
    RegCreateKeyExW(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr,
                    key_.put(), nullptr);
    DWORD size = 0;
    if (RegQueryValueExW(key_.get(), kValue, nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS) {
      saved_.resize(size);
      hadValue_ = RegQueryValueExW(key_.get(), kValue, nullptr, nullptr, saved_.data(), &size) ==
                  ERROR_SUCCESS;
    }
    std::vector<BYTE> blob;
    auto put32 = [&blob](uint32_t v) {
      for (int i = 0; i < 4; ++i) blob.push_back(static_cast<BYTE>(v >> (8 * i)));
    };
    auto putText = [&](const std::string& s) {
      put32(static_cast<uint32_t>(s.size()));
      blob.insert(blob.end(), s.begin(), s.end());
    };
    put32(0x46);  // settings format
    put32(1);     // change counter
    put32(flags);
    putText(proxy);
    putText("");  // bypass list
    putText(autoConfigUrl);
    blob.resize(blob.size() + 32, 0);
    RegSetValueExW(key_.get(), kValue, 0, REG_BINARY, blob.data(), static_cast<DWORD>(blob.size()));
  }
  ~UserProxySettings() {
    if (hadValue_) {
      RegSetValueExW(key_.get(), kValue, 0, REG_BINARY, saved_.data(),
                     static_cast<DWORD>(saved_.size()));
    } else {
      RegDeleteValueW(key_.get(), kValue);
    }
  }
  static constexpr uint32_t kDirect = 1, kProxy = 2, kAutoConfigUrl = 4;

 private:
  static constexpr const wchar_t* kKey =
      L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections";
  static constexpr const wchar_t* kValue = L"DefaultConnectionSettings";
  vx::UniqueHKey key_;
  std::vector<BYTE> saved_;
  bool hadValue_ = false;
};

std::string narrow(const std::wstring& s) { return std::string(s.begin(), s.end()); }

TEST_F(HttpClientTest, AFailedSendFallsBackToTheUsersProxyList) {
  SKIP_UNDER_WINE();
  UserProxySettings settings(UserProxySettings::kDirect | UserProxySettings::kProxy,
                             "127.0.0.1:" + narrow(env("VX_TEST_PROXY_PORT")), "");
  // Only the proxy knows this host: the first send fails, the next attempt
  // goes through the proxy that discovery set.
  HttpClient c(L"http://vx-discovery.invalid/discovered", nullptr);
  ASSERT_TRUE(c.request(L"GET")) << c.lastError;
  EXPECT_EQ(c.statusCode, L"200");
  EXPECT_EQ(c.text, L"found");
  EXPECT_EQ(requestsFor("/discovered"), 1);
  EXPECT_NE(readFile("VX_TEST_PROXY_LOG").find("vx-discovery.invalid/discovered"),
            std::string::npos);
}

TEST_F(HttpClientTest, AFailedSendFallsBackToTheUsersAutoConfigScript) {
  SKIP_UNDER_WINE();
  UserProxySettings settings(UserProxySettings::kDirect | UserProxySettings::kAutoConfigUrl, "",
                             narrow(httpUrl(L"/proxy.pac")));
  HttpClient c(L"http://vx-discovery-pac.invalid/discovered-pac", nullptr);
  ASSERT_TRUE(c.request(L"GET")) << c.lastError;
  EXPECT_EQ(c.text, L"found by script");
  EXPECT_GE(requestsFor("/proxy.pac"), 1);
  EXPECT_EQ(requestsFor("/discovered-pac"), 1);
}

TEST_F(HttpClientTest, AFailedSendWithNoProxyToTryReportsTheSendError) {
  UserProxySettings settings(UserProxySettings::kDirect, "", "");
  HttpClient c(L"http://vx-nowhere.invalid/", nullptr);
  EXPECT_FALSE(c.request(L"GET"));
  EXPECT_NE(c.lastError, 0u);
  EXPECT_TRUE(c.statusCode.empty());
}

}  // namespace
