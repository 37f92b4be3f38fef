// Cost of the header pattern matcher as the HTTP client uses it: the four
// header values read from a typical 1 KiB response header block, and the two
// HTML tag searches over a body without "<html>" at 64 KiB and 128 KiB (the
// time should grow linearly with the body).
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "net/pattern.h"

namespace {

std::wstring headerBlock() {
  std::wstring block =
      L"HTTP/1.1 200 OK\r\n"
      L"Date: Tue, 08 Dec 2026 15:00:00 GMT\r\n"
      L"Server: nginx/1.22.1\r\n"
      L"Content-Type: application/java-archive; charset=UTF-8\r\n"
      L"Content-Length: 18734512\r\n"
      L"Connection: keep-alive\r\n"
      L"Last-Modified: Mon, 07 Dec 2026 10:12:44 GMT\r\n"
      L"ETag: \"6571a2cc-11dde30\"\r\n"
      L"Accept-Ranges: bytes\r\n"
      L"Cache-Control: private, max-age=0, no-cache\r\n"
      L"Strict-Transport-Security: max-age=31536000; includeSubDomains\r\n"
      L"X-Content-Type-Options: nosniff\r\n"
      L"Set-Cookie: __ddg1_=Qx8b3LwzGkVh2yT0aP9c; Domain=.velmorandix.ru; HttpOnly; "
      L"Path=/; Expires=Wed, 08-Dec-2027 15:00:00 GMT\r\n"
      L"Set-Cookie: session=4f1c9e0b7a2d; Path=/; Secure; HttpOnly; SameSite=Lax\r\n"
      L"Set-Cookie: region=ru-msk; Path=/; Max-Age=86400\r\n";
  const std::wstring filler = L"X-Request-Id: 0f9e8d7c6b5a49382716a5b4c3d2e1f0\r\n";
  while (block.size() + filler.size() + 2 <= 1024) block += filler;
  std::wstring pad = L"X-Pad: ";
  pad.resize(1022 - block.size(), L'x');
  block += pad + L"\r\n";
  return block;
}

void BM_HeaderValues(benchmark::State& state) {
  const std::wstring block = headerBlock();
  const wchar_t* const patterns[] = {L"charset={[A-Za-z0-9\\-_]+}", L"Content-Length: {[0-9]+}",
                                     L"Location: {[0-9]+}", L"Set-Cookie:\\b*{.+?}\\n"};
  std::vector<std::wstring> found;
  size_t values = 0;
  for (auto _ : state) {
    values = 0;
    for (const wchar_t* pattern : patterns) {
      findAllMatches(pattern, block.c_str(), found);
      values += found.size();
    }
    benchmark::DoNotOptimize(values);
  }
  state.counters["block_chars"] = static_cast<double>(block.size());
  state.counters["values"] = static_cast<double>(values);
}
BENCHMARK(BM_HeaderValues)->Unit(benchmark::kMicrosecond);

void BM_HtmlScan(benchmark::State& state) {
  const size_t size = static_cast<size_t>(state.range(0));
  std::wstring body;
  const std::wstring line =
      L"<div class=\"news\"><p>\u041e\u0431\u043d\u043e\u0432\u043b\u0435\u043d\u0438\u0435 "
      L"<b>1.4.2</b>: fixed launcher start, <a href=\"/x\">more</a></p></div>\n";
  while (body.size() < size) body += line;
  body.resize(size);
  std::vector<std::wstring> found;
  for (auto _ : state) {
    findAllMatches(L"{<html>}", body.c_str(), found);
    benchmark::DoNotOptimize(found.size());
    findAllMatches(L"{</html>}", body.c_str(), found);
    benchmark::DoNotOptimize(found.size());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 2 *
                          static_cast<int64_t>(size * sizeof(wchar_t)));
}
BENCHMARK(BM_HtmlScan)->Arg(64 * 1024)->Arg(128 * 1024)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
