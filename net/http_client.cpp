#include "net/http_client.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

#include "net/http_body.h"
#include "net/http_headers.h"
#include "net/winhttp_api.h"

namespace vx {
namespace http {
namespace {
const WinHttpApi* replacedApi = nullptr;
}  // namespace

const WinHttpApi& realWinHttpApi() {
  static const WinHttpApi real = {
      &::WinHttpOpen,
      &::WinHttpSetTimeouts,
      &::WinHttpCrackUrl,
      &::WinHttpConnect,
      &::WinHttpOpenRequest,
      &::WinHttpSetOption,
      &::WinHttpAddRequestHeaders,
      &::WinHttpSendRequest,
      &::WinHttpGetIEProxyConfigForCurrentUser,
      &::WinHttpGetProxyForUrl,
      &::WinHttpWriteData,
      &::WinHttpReceiveResponse,
      &::WinHttpQueryHeaders,
      &::WinHttpQueryDataAvailable,
      &::WinHttpReadData,
      &::GlobalFree,
  };
  return real;
}

const WinHttpApi& winHttpApi() { return replacedApi != nullptr ? *replacedApi : realWinHttpApi(); }

void setWinHttpApiForTesting(const WinHttpApi* api) { replacedApi = api; }

}  // namespace http
}  // namespace vx

namespace {

using vx::http::winHttpApi;

// Fixed room of the URL split, terminators included.
constexpr DWORD kHostRoom = 260;
constexpr DWORD kPathRoom = 1300;
// Longest proxy or bypass list the client applies.
constexpr size_t kMaxProxyList = 259;

constexpr DWORD kIgnoredCertificateErrors = SECURITY_FLAG_IGNORE_UNKNOWN_CA |
                                            SECURITY_FLAG_IGNORE_CERT_CN_INVALID |
                                            SECURITY_FLAG_IGNORE_CERT_DATE_INVALID;
static_assert(kIgnoredCertificateErrors == 0x3100, "certificate policy flags");

// Frees a string that WinHTTP allocated for the caller.
void freeGlobal(LPWSTR text) {
  if (text != nullptr) winHttpApi().globalFree(text);
}

// Reads one header query as text: a size probe first, then a zeroed buffer.
bool queryHeaderText(HINTERNET request, DWORD infoLevel, std::wstring& out) {
  DWORD size = 0;
  if (!winHttpApi().queryHeaders(request, infoLevel, WINHTTP_HEADER_NAME_BY_INDEX,
                                 WINHTTP_NO_OUTPUT_BUFFER, &size, WINHTTP_NO_HEADER_INDEX) &&
      ::GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
    return false;
  }
  // One spare character keeps the text terminated whatever the stack writes.
  std::vector<wchar_t> buffer(size / sizeof(wchar_t) + 1, L'\0');
  DWORD room = static_cast<DWORD>((buffer.size() - 1) * sizeof(wchar_t));
  if (!winHttpApi().queryHeaders(request, infoLevel, WINHTTP_HEADER_NAME_BY_INDEX, buffer.data(),
                                 &room, WINHTTP_NO_HEADER_INDEX)) {
    return false;
  }
  out.assign(buffer.data());
  return true;
}

// WinHTTP's body calls behind the portable body loop.
class WinHttpBodySource : public vx::http::BodySource {
 public:
  explicit WinHttpBodySource(HINTERNET request) : request_(request) {}
  bool available(uint32_t& count, uint32_t& error) override {
    DWORD announced = 0;
    if (!winHttpApi().queryDataAvailable(request_, &announced)) {
      error = ::GetLastError();
      return false;
    }
    count = announced;
    return true;
  }
  bool read(uint8_t* buffer, uint32_t size, uint32_t& count, uint32_t& error) override {
    DWORD got = 0;
    if (!winHttpApi().readData(request_, buffer, size, &got)) {
      error = ::GetLastError();
      return false;
    }
    count = got;
    return true;
  }

 private:
  HINTERNET request_;
};

}  // namespace

HttpClient::HttpClient(const std::wstring& url, ProgressCallback progress)
    : url(url), progressCallback(progress) {}

HttpClient::~HttpClient() = default;  // body, postData and session free themselves

// The steps of one request live in a few free functions over the client so the
// public interface stays the documented one.
namespace {

void addHeaderSoftly(HttpClient& client, HINTERNET request, const std::wstring& header) {
  if (!winHttpApi().addRequestHeaders(request, header.c_str(), static_cast<DWORD>(header.size()),
                                      WINHTTP_ADDREQ_FLAG_COALESCE_WITH_SEMICOLON)) {
    client.lastError = ::GetLastError();
  }
}

// Applies a named proxy; lists longer than the client's fixed limit are refused.
bool setNamedProxy(HttpClient& client, HINTERNET request, const wchar_t* list,
                   const wchar_t* bypass) {
  if (std::wcslen(list) > kMaxProxyList ||
      (bypass != nullptr && std::wcslen(bypass) > kMaxProxyList)) {
    client.lastError = ERROR_INSUFFICIENT_BUFFER;
    return false;
  }
  WINHTTP_PROXY_INFO info{};
  info.dwAccessType = WINHTTP_ACCESS_TYPE_NAMED_PROXY;
  info.lpszProxy = const_cast<LPWSTR>(list);
  info.lpszProxyBypass = const_cast<LPWSTR>(bypass);
  if (!winHttpApi().setOption(request, WINHTTP_OPTION_PROXY, &info, sizeof(info))) {
    client.lastError = ::GetLastError();
    return false;
  }
  return true;
}

void setProxyCredential(HttpClient& client, HINTERNET request, DWORD option,
                        const std::wstring& value) {
  // Length in bytes, no terminator.
  if (!winHttpApi().setOption(request, option, const_cast<wchar_t*>(value.c_str()),
                              static_cast<DWORD>(value.size() * sizeof(wchar_t)))) {
    client.lastError = ::GetLastError();
  }
}

bool send(HttpClient& client, HINTERNET request) {
  // A request body is announced with its real length so that the stack lets
  // it be written after the send.
  const DWORD total = client.postData ? client.postDataLength : 0;
  if (winHttpApi().sendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA,
                               0, total, 0)) {
    return true;
  }
  client.lastError = ::GetLastError();
  return false;
}

// After a failed send: the user's proxy settings. Returns true only when a
// second send through an auto-configured proxy succeeded. A plain proxy list
// is set for the next attempt and this attempt still fails.
bool discoverProxy(HttpClient& client, HINTERNET request) {
  WINHTTP_CURRENT_USER_IE_PROXY_CONFIG settings{};
  if (!winHttpApi().getIEProxyConfigForCurrentUser(&settings)) {
    client.lastError = ::GetLastError();
    return false;
  }
  auto freeSettings = vx::make_scope_exit([&settings] {
    freeGlobal(settings.lpszAutoConfigUrl);
    freeGlobal(settings.lpszProxy);
    freeGlobal(settings.lpszProxyBypass);
  });

  if (settings.lpszAutoConfigUrl != nullptr) {
    WINHTTP_AUTOPROXY_OPTIONS options{};
    options.dwFlags = WINHTTP_AUTOPROXY_AUTO_DETECT | WINHTTP_AUTOPROXY_CONFIG_URL;
    options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP;
    options.lpszAutoConfigUrl = settings.lpszAutoConfigUrl;
    options.fAutoLogonIfChallenged = TRUE;
    WINHTTP_PROXY_INFO found{};
    if (!winHttpApi().getProxyForUrl(client.session.get(), client.url.c_str(), &options, &found)) {
      client.lastError = ::GetLastError();
      return false;
    }
    auto freeFound = vx::make_scope_exit([&found] {
      freeGlobal(found.lpszProxy);
      freeGlobal(found.lpszProxyBypass);
    });
    if (!winHttpApi().setOption(request, WINHTTP_OPTION_PROXY, &found, sizeof(found))) {
      client.lastError = ::GetLastError();
      return false;
    }
    return send(client, request);
  }
  if (settings.lpszProxy != nullptr) {
    setNamedProxy(client, request, settings.lpszProxy, settings.lpszProxyBypass);
  }
  return false;
}

// Decodes the body into client.text. Only the bytes up to the first zero byte
// are converted: text ends there anyway, and a binary download then costs no
// wide copy of its whole body.
void decodeBody(HttpClient& client) {
  const size_t bytes = vx::http::lengthThroughFirstZero(client.body.get(), client.bodyLength);
  if (bytes > static_cast<size_t>(INT_MAX)) return;
  const char* source = reinterpret_cast<const char*>(client.body.get());
  const int sourceLength = static_cast<int>(bytes);
  UINT codePage = CP_ACP;
  DWORD flags = MB_PRECOMPOSED;
  if (vx::http::charsetIsUtf8(client.charset)) {
    codePage = CP_UTF8;
    flags = 0;
  }
  int count = ::MultiByteToWideChar(codePage, flags, source, sourceLength, nullptr, 0);
  if (count <= 0) {
    codePage = CP_ACP;
    flags = MB_PRECOMPOSED;
    count = ::MultiByteToWideChar(codePage, flags, source, sourceLength, nullptr, 0);
    if (count <= 0) return;
  }
  std::wstring converted(static_cast<size_t>(count), L'\0');
  if (::MultiByteToWideChar(codePage, flags, source, sourceLength, &converted[0], count) <= 0)
    return;
  converted.resize(std::wcslen(converted.c_str()));
  client.text = std::move(converted);
}

// How an attempt ended.
enum class Attempt {
  Accepted,     // a response was received and accepted
  Failed,       // this attempt failed before a response came; the next one may succeed
  FailedReply,  // a response came but was not accepted; the next one may succeed
  Final,        // the request fails now: no further attempt can help
};

// Range and If-Range for the next attempt, or neither. Each attempt replaces
// what the previous one set, so a retry never carries two ranges.
void setRangeHeaders(HttpClient& client, HINTERNET request, uint64_t from,
                     const std::wstring& validator, bool& rangeSet) {
  const DWORD replace = WINHTTP_ADDREQ_FLAG_ADD | WINHTTP_ADDREQ_FLAG_REPLACE;
  if (from > 0) {
    const std::wstring range = L"Range: bytes=" + std::to_wstring(from) + L"-";
    const std::wstring ifRange = L"If-Range: " + validator;
    for (const std::wstring* header : {&range, &ifRange}) {
      if (!winHttpApi().addRequestHeaders(request, header->c_str(),
                                          static_cast<DWORD>(header->size()), replace)) {
        client.lastError = ::GetLastError();
      }
    }
    rangeSet = true;
  } else if (rangeSet) {
    // An empty value with the replace flag removes the header.
    for (const wchar_t* header : {L"Range:", L"If-Range:"}) {
      winHttpApi().addRequestHeaders(request, header, static_cast<DWORD>(std::wcslen(header)),
                                     WINHTTP_ADDREQ_FLAG_REPLACE);
    }
    rangeSet = false;
  }
}

// The offset to resume from: what the sink holds, when it can be continued.
uint64_t resumeOffset(const HttpClient& client, std::wstring& validator) {
  validator.clear();
  if (client.sink == nullptr) return 0;
  const uint64_t held = client.sink->held();
  if (held == 0 || (client.maxBodyLength != 0 && held >= client.maxBodyLength)) return 0;
  validator = client.sink->validator();
  if (!vx::http::usableValidator(validator)) {
    validator.clear();
    return 0;
  }
  return held;
}

// One of the three attempts.
Attempt attempt(HttpClient& client, HINTERNET request, const std::wstring& verb, bool& rangeSet) {
  if (!client.extraHeaders.empty()) addHeaderSoftly(client, request, client.extraHeaders);
  if (!client.cookies.empty()) addHeaderSoftly(client, request, L"Cookie: " + client.cookies);
  if (!client.acceptLanguage.empty()) {
    addHeaderSoftly(client, request, L"Accept-Language: " + client.acceptLanguage);
  }
  if (!client.proxy.empty()) {
    setNamedProxy(client, request, client.proxy.c_str(), nullptr);
    if (!client.proxyUser.empty()) {
      setProxyCredential(client, request, WINHTTP_OPTION_PROXY_USERNAME, client.proxyUser);
      if (!client.proxyPassword.empty()) {
        setProxyCredential(client, request, WINHTTP_OPTION_PROXY_PASSWORD, client.proxyPassword);
      }
    }
  }
  std::wstring validator;
  const uint64_t from = resumeOffset(client, validator);
  if (client.sink != nullptr) setRangeHeaders(client, request, from, validator, rangeSet);

  if (!send(client, request) && !discoverProxy(client, request)) return Attempt::Failed;

  if (client.postData) {
    DWORD written = 0;
    if (!winHttpApi().writeData(request, client.postData.get(), client.postDataLength, &written)) {
      client.lastError = ::GetLastError();
    }
  }

  if (!winHttpApi().receiveResponse(request, nullptr)) {
    client.lastError = ::GetLastError();
    return Attempt::Failed;
  }

  std::wstring headers;
  if (queryHeaderText(request, WINHTTP_QUERY_RAW_HEADERS_CRLF, headers)) {
    client.rawHeaders = headers;
    vx::http::HeaderFields fields;
    fields.charset = client.charset;
    fields.contentLength = client.contentLength;
    fields.location = client.location;
    // A copy, so that the cookies gathered so far survive a failed allocation.
    fields.receivedCookies = client.receivedCookies;
    vx::http::readHeaderFields(client.rawHeaders, client.charsetFixed, fields);
    client.charset = std::move(fields.charset);
    client.contentLength = fields.contentLength;
    client.location = std::move(fields.location);
    client.receivedCookies = std::move(fields.receivedCookies);
  }
  std::wstring status;
  if (queryHeaderText(request, WINHTTP_QUERY_STATUS_CODE, status)) client.statusCode = status;

  // What this response says about its own body; the fields above keep
  // earlier values when a header is absent, which must not decide here.
  const vx::http::BodyFacts facts = vx::http::readBodyFacts(status, headers);
  vx::http::BodyPlan plan;
  plan.hasLength = facts.hasLength;
  plan.length = facts.length;
  plan.sink = client.sink;
  plan.progress = client.progressCallback;
  uint64_t limit = vx::http::kMaxBodyLength;
  if (client.sink != nullptr) {
    limit = client.maxBodyLength != 0 ? client.maxBodyLength : UINT64_MAX;
    switch (vx::http::classifyBodyStart(facts, from, client.maxBodyLength)) {
      case vx::http::BodyStart::Whole:
        // Only the item itself is worth continuing later, not an error page.
        if (!client.sink->restart(facts.status == 200 ? vx::http::validatorOf(facts)
                                                      : std::wstring())) {
          client.lastError = vx::http::kErrorSinkFailed;
          return Attempt::Final;
        }
        break;
      case vx::http::BodyStart::Continue:
        if (!client.sink->resume()) {
          client.lastError = vx::http::kErrorSinkFailed;
          return Attempt::Final;
        }
        plan.progressBase = from;
        limit -= from;
        break;
      case vx::http::BodyStart::RefuseAndDrop:
        client.sink->discard();
        client.lastError = vx::http::kErrorRangeRefused;
        return Attempt::FailedReply;
      case vx::http::BodyStart::Refuse:
        client.lastError = vx::http::kErrorRangeRefused;
        return Attempt::FailedReply;
      case vx::http::BodyStart::TooLarge:
        client.lastError = vx::http::kErrorBodyTooLarge;
        return Attempt::Final;
    }
    // The whole item's share, Content-Length or not.
    plan.progressTotal = client.maxBodyLength;
  } else {
    if (client.maxBodyLength != 0) {
      if (facts.hasLength && facts.length > client.maxBodyLength) {
        client.lastError = vx::http::kErrorBodyTooLarge;
        return Attempt::Final;
      }
      limit = std::min(limit, client.maxBodyLength);
    }
    plan.progressTotal = static_cast<uint32_t>(client.contentLength);
  }
  plan.maxLength = limit;

  client.body.reset();  // the old body goes before the new one grows
  client.bodyLength = 0;
  WinHttpBodySource source(request);
  vx::http::BodyResult received = vx::http::readBody(source, plan);
  client.body = std::move(received.data);
  client.bodyLength = static_cast<uint32_t>(std::min<uint64_t>(received.length, UINT32_MAX));
  if (received.end != vx::http::BodyEnd::Complete) {
    client.lastError = received.errorCode;
    const bool final = received.end == vx::http::BodyEnd::TooLarge ||
                       received.end == vx::http::BodyEnd::SinkFailed ||
                       received.end == vx::http::BodyEnd::NoMemory;
    return final ? Attempt::Final : Attempt::FailedReply;
  }
  if (client.sink != nullptr) return Attempt::Accepted;

  if (client.body) decodeBody(client);

  if (verb == L"GET" && !vx::http::htmlComplete(client.text)) {
    client.lastError = 13;
    return Attempt::FailedReply;
  }
  return Attempt::Accepted;
}

}  // namespace

// The texts of a request grow with what the server sends: the header block,
// the cookie and header lines, the decoded body. When one of them cannot be
// allocated the request fails as the body loop does when its buffer cannot
// grow, with ERROR_NOT_ENOUGH_MEMORY; no exception leaves the client. The
// connection and request handles are closed on the way out.
bool HttpClient::request(const std::wstring& verbText) try {
  if (url.empty()) {
    lastError = 3;
    return false;
  }
  std::wstring verb = verbText;
  if (!vx::http::canonicalVerb(verb)) {
    lastError = 87;
    return false;
  }
  if (!session) {
    session.reset(winHttpApi().open(userAgent.c_str(), WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                    WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session) {
      lastError = ::GetLastError();
      return false;
    }
  }
  winHttpApi().setTimeouts(session.get(), resolveTimeout, connectTimeout, sendTimeout,
                           receiveTimeout);

  // The path and the query string are split into two fixed fields and joined
  // again; together they must fit the path's room.
  wchar_t host[kHostRoom] = {};
  wchar_t path[kPathRoom] = {};
  wchar_t query[kPathRoom] = {};
  URL_COMPONENTS parts{};
  parts.dwStructSize = sizeof(parts);
  parts.dwSchemeLength = static_cast<DWORD>(-1);
  parts.lpszHostName = host;
  parts.dwHostNameLength = kHostRoom;
  parts.lpszUrlPath = path;
  parts.dwUrlPathLength = kPathRoom;
  parts.lpszExtraInfo = query;
  parts.dwExtraInfoLength = kPathRoom;
  if (!winHttpApi().crackUrl(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts)) return true;
  std::wstring target = std::wstring(path) + query;
  if (target.size() > kPathRoom - 1) return true;
  hostName = host;
  const bool secure = parts.nScheme == INTERNET_SCHEME_HTTPS;

  vx::UniqueHInternet connection(winHttpApi().connect(session.get(), host, parts.nPort, 0));
  if (!connection) return true;
  const auto open_request = [&]() {
    vx::UniqueHInternet opened(winHttpApi().openRequest(
        connection.get(), verb.c_str(), target.c_str(), nullptr, WINHTTP_NO_REFERER,
        WINHTTP_DEFAULT_ACCEPT_TYPES, secure ? WINHTTP_FLAG_SECURE : 0));
    if (opened && !verifyCertificates && secure) {
      DWORD flags = kIgnoredCertificateErrors;
      winHttpApi().setOption(opened.get(), WINHTTP_OPTION_SECURITY_FLAGS, &flags, sizeof(flags));
    }
    return opened;
  };
  vx::UniqueHInternet handle = open_request();
  if (!handle) return true;

  bool rangeSet = false;
  for (int tries = 0; tries < 3; ++tries) {
    const Attempt outcome = attempt(*this, handle.get(), verb, rangeSet);
    if (outcome == Attempt::Accepted) return true;
    if (outcome == Attempt::Final) return false;
    if (outcome == Attempt::FailedReply && tries < 2) {
      // A reply that broke off, or was refused, may leave the request in a
      // state the stack cannot send again from (Wine's WinHTTP faults on a
      // request whose body was cut by a reset): the next attempt gets a
      // fresh request, with the same settings and no header of the last.
      vx::UniqueHInternet fresh = open_request();
      if (!fresh) return false;
      handle = std::move(fresh);
      rangeSet = false;
    }
  }
  return false;
} catch (const std::bad_alloc&) {
  lastError = vx::http::kErrorNotEnoughMemory;
  return false;
}
