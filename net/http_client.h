// One synchronous HTTP or HTTPS request on WinHTTP, and everything that came
// back from it.
//
// Typical use (the only one in this program):
//
//   HttpClient client(L"https://host/updater?system=win64", nullptr);
//   client.verifyCertificates = VX_VERIFY_CERTIFICATES != 0;
//   if (client.request(L"GET") && client.statusCode == L"200") use(client.text);
//
// The object is used on one thread. It owns `body` and `postData` and the
// WinHTTP session; the session is opened by the first request() and reused by
// later ones, and closed when the object is destroyed.
//
// Windows only: this header pulls in <windows.h> and <winhttp.h>.
#pragma once

#include <cstdint>
#include <iterator>
#include <memory>
#include <string>

#include "base/win_raii.h"
#include "net/http_body.h"
#include "net/http_headers.h"
#include "net/http_sink.h"

// Receives download progress as a percentage (received * 100 / Content-Length).
// The client ignores the result.
using ProgressCallback = bool (*)(double percent);

class HttpClient {
 public:
  // Copies the URL and stores the callback (may be null). Opens nothing.
  HttpClient(const std::wstring& url, ProgressCallback progress);
  // Frees body and postData and closes the session.
  ~HttpClient();

  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  // Performs one request with up to three attempts. `verb` is matched against
  // "GET" and "POST" ignoring case; anything else fails with lastError 87, and
  // an empty url fails with lastError 3.
  //
  // true: a response was received and accepted. Also true, with statusCode,
  // rawHeaders and body left untouched, when the URL cannot be split (host over
  // 259 or path with query over 1299 characters) or no connection/request
  // handle can be opened: callers see that as a reply without status or body.
  //
  // false: every attempt failed; lastError holds the last error code (a system
  // code, or 13 when a GET body holds "<html>" without "</html>"). An attempt
  // fails when its body ends before its Content-Length (kErrorShortBody) or
  // on a failed read or query (the stack's code, a reset connection say):
  // what arrived is never taken as the whole body. Also false, at once, with
  // lastError 8 (ERROR_NOT_ENOUGH_MEMORY) when the header block, a request
  // header line or the decoded text cannot be allocated, with
  // kErrorBodyTooLarge when the body would pass maxBodyLength, and with
  // kErrorSinkFailed when the sink refuses it; nothing is thrown.
  bool request(const std::wstring& verb);

  // Fields, in the documented order. Callers of this program set only url and
  // progressCallback (through the constructor) and verifyCertificates.
  vx::UniqueHInternet session;      // opened lazily, reused, closed on destruction
  bool verifyCertificates = false;  // false: unknown CA, wrong host name and
                                    // expired certificates are accepted
  std::wstring url;
  std::wstring hostName;            // host part of url, written by each request
  std::wstring rawHeaders;          // status line and header lines, each ended by CR LF
  std::wstring text;                // body decoded to wide text, up to its first NUL
  std::wstring charset;             // from "charset=" in the headers, unless charsetFixed
  std::unique_ptr<uint8_t[]> body;  // received bytes, always followed by a zero byte
  uint32_t bodyLength = 0;          // number of body bytes (the zero byte not counted)
  ProgressCallback progressCallback = nullptr;
  int32_t contentLength = 0;     // "Content-Length" value; kept when absent
  std::wstring receivedCookies;  // Set-Cookie values joined by "; ", ends with ";"; only grows
  std::wstring cookies;          // sent as "Cookie: " when not empty
  std::wstring acceptLanguage;   // sent as "Accept-Language: " when not empty
  std::unique_ptr<uint8_t[]> postData;  // written after the send when not null
  uint32_t postDataLength = 0;
  std::wstring extraHeaders;  // further header lines, CR LF between them
  std::wstring proxy;         // fixed proxy list applied to every attempt when not empty
  uint32_t lastError = 0;     // never reset by the client
  std::wstring statusCode;    // e.g. "200"; empty until a status was read
  std::wstring userAgent =
      std::wstring(std::begin(vx::http::kUserAgent), std::end(vx::http::kUserAgent) - 1);
  bool charsetFixed = false;  // true: charset keeps its preset value
  std::wstring proxyUser;
  std::wstring proxyPassword;  // set only together with proxyUser
  std::wstring location;       // digits after "Location: " in the headers
  int32_t resolveTimeout = 0;  // milliseconds; 0 = no limit
  int32_t connectTimeout = 60000;
  int32_t sendTimeout = 30000;
  int32_t receiveTimeout = 30000;

  // Streamed downloads. With a sink the body goes to it as it arrives: body
  // stays null, text is not decoded and the HTML check is skipped. Each
  // attempt continues what the sink holds when it can (Range and If-Range,
  // see net/http_sink.h), so a retry after a reset fetches only the rest.
  // The progress callback then reports (held + received) * 100 / maxBodyLength
  // whenever maxBodyLength is not 0, Content-Length or not.
  vx::http::BodySink* sink = nullptr;
  // The most bytes the item may hold: with a sink, the item's full size
  // (held + received); without one, the most body bytes kept in memory.
  // A Content-Length above it, or a body that grows past it, fails the
  // request at once (no further attempt) with lastError kErrorBodyTooLarge.
  // 0: no limit beyond the 32-bit body length.
  uint64_t maxBodyLength = 0;
};
