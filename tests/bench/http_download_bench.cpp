// Downloads one URL with HttpClient and prints the time taken and the
// process's peak private memory. Run by http_download_bench.py (not ctest),
// one process per download so that each peak belongs to one body.
//
//   http_download_bench.exe URL [--hold]
//   -> ok=1 bytes=67108864 ... seconds=0.81 passes=... peak_private=... base_private=...
#include <windows.h>
// After windows.h, which it needs.
#include <psapi.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>

#include "net/http_client.h"

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

// With --hold the program waits for a line on standard input before the
// request and again before it ends, so that the driver can read the Linux
// process's memory figures (Wine's own counters stay near zero).
void waitForLine(bool hold, const char* state) {
  if (!hold) return;
  std::printf("%s\n", state);
  std::fflush(stdout);
  char line[16];
  if (std::fgets(line, sizeof(line), stdin) == nullptr) return;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const bool hold = argc == 3 && std::wcscmp(argv[2], L"--hold") == 0;
  if (argc != 2 && !hold) {
    std::fprintf(stderr, "usage: http_download_bench URL [--hold]\n");
    return 2;
  }
  const SIZE_T base = privateBytes(false);
  waitForLine(hold, "before");
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
  waitForLine(hold, "after");
  return ok ? 0 : 1;
}
