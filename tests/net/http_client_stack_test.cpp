// HttpClient's proxy handling against a scripted WinHTTP: failed sends, the
// user's proxy settings and auto-configuration answers on demand. (Wine's
// WinHTTP ignores a proxy set on a request, so the loopback tests cannot show
// these paths there.) Handles are real WinHTTP handles that never connect.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/win_raii.h"
#include "net/http_client.h"
#include "net/winhttp_api.h"

// Allocations above this many bytes fail: how a test makes the client's
// texts run out of memory without taking gigabytes. Replaces the global
// operator new of this program (the nothrow and array forms go through it;
// the library's operator delete frees with free(), which matches).
std::atomic<size_t> allocationLimit{SIZE_MAX};

void* operator new(size_t size) {
  void* memory = size <= allocationLimit.load() ? std::malloc(size ? size : 1) : nullptr;
  if (memory == nullptr) throw std::bad_alloc();
  return memory;
}

namespace {

struct ProxySet {
  DWORD accessType;
  std::wstring list;
  bool hasBypass;
  std::wstring bypass;
};

// What the fake stack answers and what it saw. One instance per test.
struct Stack {
  std::vector<DWORD> sendErrors;  // per send: 0 succeeds, else fails with it
  size_t sends = 0;
  bool ieConfigOk = true;
  DWORD ieConfigError = 0;
  const wchar_t* ieAutoConfigUrl = nullptr;
  const wchar_t* ieProxy = nullptr;
  const wchar_t* ieBypass = nullptr;
  bool pacOk = true;
  DWORD pacError = 0;
  const wchar_t* pacProxy = L"pac-proxy:8080";
  DWORD rawHeaderBytes = 0;  // announced size of the header block; 0: its real size
  std::string body;          // served in one piece
  size_t bodyServed = 0;

  std::vector<ProxySet> proxiesSet;
  std::vector<std::wstring> proxyUsers;
  std::vector<std::wstring> proxyPasswords;
  std::vector<DWORD> securityFlags;
  std::vector<WINHTTP_AUTOPROXY_OPTIONS> pacOptions;
  std::vector<std::wstring> pacUrls;
  std::vector<std::wstring> pacConfigUrls;
  std::vector<HGLOBAL> handedOut;
  std::vector<HGLOBAL> freed;
};

Stack* stack = nullptr;

LPWSTR globalCopy(const wchar_t* text) {
  if (text == nullptr) return nullptr;
  const size_t bytes = (std::wcslen(text) + 1) * sizeof(wchar_t);
  auto* copy = static_cast<LPWSTR>(GlobalAlloc(GMEM_FIXED, bytes));
  std::memcpy(copy, text, bytes);
  stack->handedOut.push_back(copy);
  return copy;
}

BOOL WINAPI fakeSetOption(HINTERNET, DWORD option, LPVOID buffer, DWORD length) {
  if (option == WINHTTP_OPTION_PROXY) {
    auto* info = static_cast<WINHTTP_PROXY_INFO*>(buffer);
    stack->proxiesSet.push_back({info->dwAccessType, info->lpszProxy ? info->lpszProxy : L"",
                                 info->lpszProxyBypass != nullptr,
                                 info->lpszProxyBypass ? info->lpszProxyBypass : L""});
  } else if (option == WINHTTP_OPTION_PROXY_USERNAME) {
    stack->proxyUsers.emplace_back(static_cast<wchar_t*>(buffer), length / sizeof(wchar_t));
  } else if (option == WINHTTP_OPTION_PROXY_PASSWORD) {
    stack->proxyPasswords.emplace_back(static_cast<wchar_t*>(buffer), length / sizeof(wchar_t));
  } else if (option == WINHTTP_OPTION_SECURITY_FLAGS) {
    stack->securityFlags.push_back(*static_cast<DWORD*>(buffer));
  }
  return TRUE;
}

BOOL WINAPI fakeAddHeaders(HINTERNET, LPCWSTR, DWORD, DWORD) { return TRUE; }

BOOL WINAPI fakeSend(HINTERNET, LPCWSTR, DWORD, LPVOID, DWORD, DWORD, DWORD_PTR) {
  const size_t n = stack->sends++;
  const DWORD error = n < stack->sendErrors.size() ? stack->sendErrors[n] : 0;
  if (error == 0) return TRUE;
  SetLastError(error);
  return FALSE;
}

BOOL WINAPI fakeIeConfig(WINHTTP_CURRENT_USER_IE_PROXY_CONFIG* config) {
  if (!stack->ieConfigOk) {
    SetLastError(stack->ieConfigError);
    return FALSE;
  }
  config->fAutoDetect = TRUE;  // never consulted by the client
  config->lpszAutoConfigUrl = globalCopy(stack->ieAutoConfigUrl);
  config->lpszProxy = globalCopy(stack->ieProxy);
  config->lpszProxyBypass = globalCopy(stack->ieBypass);
  return TRUE;
}

BOOL WINAPI fakeProxyForUrl(HINTERNET, LPCWSTR url, WINHTTP_AUTOPROXY_OPTIONS* options,
                            WINHTTP_PROXY_INFO* info) {
  stack->pacOptions.push_back(*options);
  stack->pacUrls.push_back(url);
  stack->pacConfigUrls.push_back(options->lpszAutoConfigUrl ? options->lpszAutoConfigUrl : L"");
  if (!stack->pacOk) {
    SetLastError(stack->pacError);
    return FALSE;
  }
  info->dwAccessType = WINHTTP_ACCESS_TYPE_NAMED_PROXY;
  info->lpszProxy = globalCopy(stack->pacProxy);
  info->lpszProxyBypass = globalCopy(L"<local>");
  return TRUE;
}

BOOL WINAPI fakeWrite(HINTERNET, LPCVOID, DWORD length, LPDWORD written) {
  *written = length;
  return TRUE;
}

BOOL WINAPI fakeReceive(HINTERNET, LPVOID) { return TRUE; }

BOOL WINAPI fakeQueryHeaders(HINTERNET, DWORD level, LPCWSTR, LPVOID buffer, LPDWORD length,
                             LPDWORD) {
  const wchar_t* text = level == WINHTTP_QUERY_STATUS_CODE ? L"200" : L"HTTP/1.1 200 OK\r\n\r\n";
  DWORD bytes = static_cast<DWORD>((std::wcslen(text) + 1) * sizeof(wchar_t));
  if (level != WINHTTP_QUERY_STATUS_CODE && stack->rawHeaderBytes != 0) {
    bytes = stack->rawHeaderBytes;
  }
  if (buffer == nullptr || *length < bytes) {
    *length = bytes;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  std::memcpy(buffer, text, bytes);
  *length = bytes - sizeof(wchar_t);
  return TRUE;
}

BOOL WINAPI fakeAvailable(HINTERNET, LPDWORD count) {
  *count = static_cast<DWORD>(stack->body.size() - stack->bodyServed);
  return TRUE;
}

BOOL WINAPI fakeRead(HINTERNET, LPVOID buffer, DWORD size, LPDWORD read) {
  const size_t n = std::min<size_t>(size, stack->body.size() - stack->bodyServed);
  std::memcpy(buffer, stack->body.data() + stack->bodyServed, n);
  stack->bodyServed += n;
  *read = static_cast<DWORD>(n);
  return TRUE;
}

HGLOBAL WINAPI fakeGlobalFree(HGLOBAL memory) {
  stack->freed.push_back(memory);
  return GlobalFree(memory);
}

class HttpClientStackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    stack = &state;
    api = vx::http::realWinHttpApi();  // sessions, URL splitting and handles stay real
    api.setOption = &fakeSetOption;
    api.addRequestHeaders = &fakeAddHeaders;
    api.sendRequest = &fakeSend;
    api.getIEProxyConfigForCurrentUser = &fakeIeConfig;
    api.getProxyForUrl = &fakeProxyForUrl;
    api.writeData = &fakeWrite;
    api.receiveResponse = &fakeReceive;
    api.queryHeaders = &fakeQueryHeaders;
    api.queryDataAvailable = &fakeAvailable;
    api.readData = &fakeRead;
    api.globalFree = &fakeGlobalFree;
    vx::http::setWinHttpApiForTesting(&api);
  }
  void TearDown() override {
    vx::http::setWinHttpApiForTesting(nullptr);
    // Every string the stack handed out was given back exactly once.
    std::vector<HGLOBAL> out = state.handedOut, in = state.freed;
    std::sort(out.begin(), out.end());
    std::sort(in.begin(), in.end());
    EXPECT_EQ(out, in);
    stack = nullptr;
  }
  Stack state;
  vx::http::WinHttpApi api{};
};

TEST_F(HttpClientStackTest, TheFixedProxyAndItsCredentialsGoOnEveryAttempt) {
  state.sendErrors = {ERROR_WINHTTP_CANNOT_CONNECT, 0};
  state.ieConfigOk = false;  // discovery finds nothing
  state.ieConfigError = 5;
  HttpClient c(L"http://example.invalid/file", nullptr);
  c.proxy = L"corp-proxy:3128";
  c.proxyUser = L"user";
  c.proxyPassword = L"secret";
  ASSERT_TRUE(c.request(L"GET"));
  ASSERT_EQ(state.proxiesSet.size(), 2u);
  for (const ProxySet& p : state.proxiesSet) {
    EXPECT_EQ(p.accessType, static_cast<DWORD>(WINHTTP_ACCESS_TYPE_NAMED_PROXY));
    EXPECT_EQ(p.list, L"corp-proxy:3128");
    EXPECT_FALSE(p.hasBypass);
  }
  EXPECT_EQ(state.proxyUsers, (std::vector<std::wstring>{L"user", L"user"}));
  EXPECT_EQ(state.proxyPasswords, (std::vector<std::wstring>{L"secret", L"secret"}));
  EXPECT_EQ(c.lastError, 5u);  // the failed discovery of the first attempt

  // A password without a user name is never set.
  Stack fresh;
  stack = &state;
  state = fresh;
  HttpClient noUser(L"http://example.invalid/file", nullptr);
  noUser.proxy = L"corp-proxy:3128";
  noUser.proxyPassword = L"secret";
  ASSERT_TRUE(noUser.request(L"GET"));
  EXPECT_EQ(state.proxiesSet.size(), 1u);
  EXPECT_TRUE(state.proxyUsers.empty());
  EXPECT_TRUE(state.proxyPasswords.empty());
}

TEST_F(HttpClientStackTest, TheUsersProxyListCarriesTheNextAttempt) {
  state.sendErrors = {ERROR_WINHTTP_NAME_NOT_RESOLVED, 0};
  state.ieProxy = L"user-proxy:8080";
  state.ieBypass = L"*.local";
  HttpClient c(L"http://example.invalid/file", nullptr);
  ASSERT_TRUE(c.request(L"GET"));
  EXPECT_EQ(state.sends, 2u);  // the attempt that set the proxy did not send again
  ASSERT_EQ(state.proxiesSet.size(), 1u);
  EXPECT_EQ(state.proxiesSet[0].accessType, static_cast<DWORD>(WINHTTP_ACCESS_TYPE_NAMED_PROXY));
  EXPECT_EQ(state.proxiesSet[0].list, L"user-proxy:8080");
  EXPECT_EQ(state.proxiesSet[0].bypass, L"*.local");
  EXPECT_TRUE(state.pacOptions.empty());
  EXPECT_EQ(c.statusCode, L"200");
}

TEST_F(HttpClientStackTest, AnAutoConfigUrlIsAskedAndItsProxyRetriedAtOnce) {
  state.sendErrors = {ERROR_WINHTTP_CANNOT_CONNECT, 0};
  state.ieAutoConfigUrl = L"http://wpad.example/proxy.pac";
  state.ieProxy = L"ignored-when-a-script-is-set:1";
  const std::wstring url = L"https://example.invalid/updater?system=win64";
  HttpClient c(url, nullptr);
  ASSERT_TRUE(c.request(L"GET"));
  EXPECT_EQ(state.sends, 2u);  // both sends in the first attempt
  ASSERT_EQ(state.pacOptions.size(), 1u);
  const WINHTTP_AUTOPROXY_OPTIONS& o = state.pacOptions[0];
  EXPECT_EQ(o.dwFlags,
            static_cast<DWORD>(WINHTTP_AUTOPROXY_AUTO_DETECT | WINHTTP_AUTOPROXY_CONFIG_URL));
  EXPECT_EQ(o.dwAutoDetectFlags, static_cast<DWORD>(WINHTTP_AUTO_DETECT_TYPE_DHCP));
  EXPECT_TRUE(o.fAutoLogonIfChallenged);
  EXPECT_EQ(state.pacUrls[0], url);
  EXPECT_EQ(state.pacConfigUrls[0], L"http://wpad.example/proxy.pac");
  ASSERT_EQ(state.proxiesSet.size(), 1u);
  EXPECT_EQ(state.proxiesSet[0].list, L"pac-proxy:8080");
  EXPECT_EQ(state.proxiesSet[0].bypass, L"<local>");
  EXPECT_EQ(state.securityFlags, (std::vector<DWORD>{0x3100}));
}

TEST_F(HttpClientStackTest, DiscoveryFailuresEndEachAttemptWithTheirCode) {
  state.sendErrors = std::vector<DWORD>(6, ERROR_WINHTTP_CANNOT_CONNECT);
  state.ieAutoConfigUrl = L"http://wpad.example/proxy.pac";
  state.pacOk = false;
  state.pacError = ERROR_WINHTTP_UNABLE_TO_DOWNLOAD_SCRIPT;
  HttpClient c(L"http://example.invalid/", nullptr);
  EXPECT_FALSE(c.request(L"GET"));
  EXPECT_EQ(state.sends, 3u);
  EXPECT_EQ(state.pacOptions.size(), 3u);
  EXPECT_EQ(c.lastError, static_cast<DWORD>(ERROR_WINHTTP_UNABLE_TO_DOWNLOAD_SCRIPT));

  // The settings cannot be read.
  Stack fresh;
  state = fresh;
  state.sendErrors = std::vector<DWORD>(6, ERROR_WINHTTP_CANNOT_CONNECT);
  state.ieConfigOk = false;
  state.ieConfigError = ERROR_FILE_NOT_FOUND;
  HttpClient d(L"http://example.invalid/", nullptr);
  EXPECT_FALSE(d.request(L"GET"));
  EXPECT_EQ(d.lastError, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(HttpClientStackTest, AFailedSendWithoutSettingsReportsTheSendsOwnCode) {
  state.sendErrors = std::vector<DWORD>(3, ERROR_WINHTTP_TIMEOUT);
  HttpClient c(L"http://example.invalid/", nullptr);
  EXPECT_FALSE(c.request(L"GET"));
  EXPECT_EQ(state.sends, 3u);
  EXPECT_EQ(c.lastError, static_cast<DWORD>(ERROR_WINHTTP_TIMEOUT));
}

TEST_F(HttpClientStackTest, ProxyListsLongerThanTheLimitAreRefused) {
  const std::wstring longList(260, L'p');
  state.sendErrors = std::vector<DWORD>(3, ERROR_WINHTTP_CANNOT_CONNECT);
  state.ieProxy = longList.c_str();
  HttpClient fromSettings(L"http://example.invalid/", nullptr);
  EXPECT_FALSE(fromSettings.request(L"GET"));
  EXPECT_TRUE(state.proxiesSet.empty());
  EXPECT_EQ(fromSettings.lastError, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));

  Stack fresh;
  state = fresh;
  HttpClient fixed(L"http://example.invalid/", nullptr);
  fixed.proxy = std::wstring(259, L'p');
  ASSERT_TRUE(fixed.request(L"GET"));
  ASSERT_EQ(state.proxiesSet.size(), 1u);  // 259 characters still fit
  fixed.proxy = longList;
  ASSERT_TRUE(fixed.request(L"GET"));  // a soft failure: the attempt goes on
  EXPECT_EQ(state.proxiesSet.size(), 1u);
  EXPECT_EQ(fixed.lastError, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
}

TEST_F(HttpClientStackTest, CertificateErrorsAreIgnoredOnlyForHttpsWithoutVerification) {
  HttpClient plain(L"http://example.invalid/", nullptr);
  ASSERT_TRUE(plain.request(L"GET"));
  HttpClient verifying(L"https://example.invalid/", nullptr);
  verifying.verifyCertificates = true;
  ASSERT_TRUE(verifying.request(L"GET"));
  EXPECT_TRUE(state.securityFlags.empty());
  HttpClient lenient(L"https://example.invalid/", nullptr);
  ASSERT_TRUE(lenient.request(L"GET"));
  EXPECT_EQ(state.securityFlags, (std::vector<DWORD>{0x3100}));  // once, not per attempt
}

// A text that grows with the response or the request cannot be allocated:
// the request fails with ERROR_NOT_ENOUGH_MEMORY, as the body loop does,
// instead of throwing out of the client.
TEST_F(HttpClientStackTest, TextsThatCannotBeAllocatedFailTheRequestWithCode8) {
  struct Case {
    const char* what;
    DWORD rawHeaderBytes;
    size_t cookieChars;
    size_t bodyBytes;
  };
  const Case cases[] = {
      {"a header block announced at 4 MiB", 4u << 20, 0, 0},
      {"a cookie line of 1.2 MB", 0, 600000, 0},
      {"a text body that decodes to 1.2 MB", 0, 0, 600000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    state = Stack{};
    state.rawHeaderBytes = c.rawHeaderBytes;
    state.body.assign(c.bodyBytes, 'a');  // the body itself still fits
    HttpClient client(L"http://example.invalid/file", nullptr);
    client.cookies.assign(c.cookieChars, L'c');
    allocationLimit = 1u << 20;
    auto unlimit = vx::make_scope_exit([] { allocationLimit = SIZE_MAX; });
    EXPECT_FALSE(client.request(L"GET"));
    EXPECT_EQ(client.lastError, 8u);
  }
}

}  // namespace
