// SHA-256 through CNG the way a signed update checks a download: the whole
// body in memory, hashed in one call; then the same file hashed in pieces.
// Prints the digest and the best time of each, in seconds.
//
//   sha256_bench.exe FILE [RUNS]
//
// Driven by tests/bench/sha256_bench.py, which compares it with sha256sum.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "update/cng_crypto.h"

namespace {

double now() {
  LARGE_INTEGER frequency, counter;
  ::QueryPerformanceFrequency(&frequency);
  ::QueryPerformanceCounter(&counter);
  return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: sha256_bench FILE [RUNS]\n");
    return 2;
  }
  const int runs = argc > 2 ? std::max(1, _wtoi(argv[2])) : 3;
  std::ifstream in(argv[1], std::ios::binary);
  const std::vector<char> body((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
  if (body.empty()) {
    std::fprintf(stderr, "cannot read the file\n");
    return 1;
  }
  double best_memory = 1e30;
  double best_file = 1e30;
  std::string digest;
  for (int run = 0; run < runs; ++run) {
    double start = now();
    const auto in_memory = vx::sha256_of(body.data(), body.size());
    best_memory = std::min(best_memory, now() - start);
    start = now();
    const auto from_file = vx::sha256_of_file(argv[1]);
    best_file = std::min(best_file, now() - start);
    if (!in_memory || from_file != in_memory) {
      std::fprintf(stderr, "hashing failed\n");
      return 1;
    }
    digest = vx::sha256_hex(*in_memory);
  }
  std::printf("bytes %zu\ndigest %s\nmemory_seconds %.4f\nfile_seconds %.4f\n", body.size(),
              digest.c_str(), best_memory, best_file);
  return 0;
}
