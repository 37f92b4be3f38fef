// Downloads one URL with HttpClient and prints the time taken and the
// process's peak private memory. Run by http_download_bench.py (not ctest),
// one process per download so that each peak belongs to one body.
//
//   http_download_bench.exe URL [--hold | --bare [READ_BYTES]]
//   -> ok=1 bytes=67108864 ... seconds=0.81 passes=... peak_private=... base_private=...
//
// With --bare the same GET is made with WinHTTP alone, as the floor the
// client is measured against: one session and request, then read what
// WinHttpQueryDataAvailable announces straight into one growing buffer; no
// retries, headers, progress or text decoding. With READ_BYTES each pass
// asks WinHttpReadData for that much instead, whatever is announced, which
// tells whether the number of passes matters.
#include <windows.h>
// After windows.h, which it needs.
#include <psapi.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

#include "net/http_client.h"
#include "tests/bench/bench_hold.h"

namespace {

// Progress is reported once per read pass.
uint32_t passes = 0;
bool countPass(double) {
  ++passes;
  return true;
}

SIZE_T privateBytes(bool peak) {
  PROCESS_MEMORY_COUNTERS_EX counters{};
  counters.cb = sizeof(counters);
  if (!GetProcessMemoryInfo(GetCurrentProcess(),
                            reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                            sizeof(counters))) {
    return 0;
  }
  return peak ? counters.PeakPagefileUsage : counters.PrivateUsage;
}

using Internet = std::unique_ptr<void, decltype(&::WinHttpCloseHandle)>;

Internet internet(HINTERNET handle) { return Internet(handle, &::WinHttpCloseHandle); }

// The bare WinHTTP download; the body's length, or -1 on any failure.
// read_bytes 0: each pass reads what is announced as available.
long long bareDownload(const wchar_t* url, DWORD read_bytes) {
  URL_COMPONENTS parts{};
  parts.dwStructSize = sizeof(parts);
  wchar_t host[256] = {};
  wchar_t path[2048] = {};
  parts.lpszHostName = host;
  parts.dwHostNameLength = 256;
  parts.lpszUrlPath = path;
  parts.dwUrlPathLength = 2048;
  if (!::WinHttpCrackUrl(url, 0, 0, &parts)) return -1;
  Internet session = internet(::WinHttpOpen(L"bench", WINHTTP_ACCESS_TYPE_NO_PROXY,
                                            WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
  if (!session) return -1;
  Internet connection = internet(::WinHttpConnect(session.get(), host, parts.nPort, 0));
  if (!connection) return -1;
  const bool secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
  Internet request = internet(::WinHttpOpenRequest(connection.get(), L"GET", path, nullptr,
                                                   WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                                   secure ? WINHTTP_FLAG_SECURE : 0));
  if (!request) return -1;
  DWORD flags = SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_CN_INVALID |
                SECURITY_FLAG_IGNORE_CERT_DATE_INVALID;
  if (secure)
    ::WinHttpSetOption(request.get(), WINHTTP_OPTION_SECURITY_FLAGS, &flags, sizeof(flags));
  if (!::WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                            WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
      !::WinHttpReceiveResponse(request.get(), nullptr)) {
    return -1;
  }
  std::vector<char> body(10240);
  size_t length = 0;
  for (;;) {
    DWORD available = read_bytes;
    if (read_bytes == 0 && !::WinHttpQueryDataAvailable(request.get(), &available)) return -1;
    if (available == 0) break;
    ++passes;
    while (body.size() - length < available) body.resize(body.size() * 2);
    DWORD read = 0;
    if (!::WinHttpReadData(request.get(), body.data() + length, available, &read)) return -1;
    if (read == 0) break;
    length += read;
  }
  return static_cast<long long>(length);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const bool hold = argc == 3 && std::wcscmp(argv[2], L"--hold") == 0;
  const bool bare = (argc == 3 || argc == 4) && std::wcscmp(argv[2], L"--bare") == 0;
  if (argc != 2 && !hold && !bare) {
    std::fprintf(stderr, "usage: http_download_bench URL [--hold | --bare [READ_BYTES]]\n");
    return 2;
  }
  if (bare) {
    const DWORD read_bytes = argc == 4 ? std::wcstoul(argv[3], nullptr, 10) : 0;
    const auto start = std::chrono::steady_clock::now();
    const long long bytes = bareDownload(argv[1], read_bytes);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("ok=%d bytes=%lld seconds=%.4f passes=%u\n", bytes >= 0 ? 1 : 0, bytes, seconds,
                passes);
    return bytes >= 0 ? 0 : 1;
  }
  const SIZE_T base = privateBytes(false);
  wait_for_line(hold, "before");
  const auto start = std::chrono::steady_clock::now();
  uint32_t bytes = 0;
  size_t textLength = 0;
  bool ok = false;
  {
    HttpClient client(argv[1], &countPass);
    ok = client.request(L"GET");
    bytes = client.bodyLength;
    textLength = client.text.size();
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("ok=%d bytes=%u text=%zu seconds=%.4f passes=%u peak_private=%zu base_private=%zu\n",
              ok ? 1 : 0, bytes, textLength, seconds, passes,
              static_cast<size_t>(privateBytes(true)), static_cast<size_t>(base));
  std::fflush(stdout);
  wait_for_line(hold, "after");
  return ok ? 0 : 1;
}
