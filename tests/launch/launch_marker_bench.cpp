// Cost of watching the launcher's output for its marker, per amount of output
// printed before the marker, in 1024-byte reads. "Rescan" searches all the
// output from its first byte after every read, for comparison.
#include <benchmark/benchmark.h>

#include <string>

#include "launch/marker_scan.h"

namespace {

constexpr std::size_t kChunk = 1024;

std::string chatty_output(std::size_t bytes) {
  std::string output;
  while (output.size() < bytes) output += "[main] INFO Loading resource pack assets/textures...\n";
  output.resize(bytes);
  output += kRestartMarker;
  return output;
}

void BM_ScanInReads(benchmark::State& state) {
  const std::string output = chatty_output(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    RestartMarkerScanner scanner;
    bool found = false;
    for (std::size_t at = 0; at < output.size() && !found; at += kChunk) {
      const std::size_t n = output.size() - at < kChunk ? output.size() - at : kChunk;
      found = scanner.feed(output.data() + at, n);
    }
    benchmark::DoNotOptimize(found);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(output.size()));
}
BENCHMARK(BM_ScanInReads)->Arg(64 << 10)->Arg(1 << 20)->Arg(16 << 20);

void BM_RescanAllOutput(benchmark::State& state) {
  const std::string output = chatty_output(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    std::string all;
    bool found = false;
    for (std::size_t at = 0; at < output.size() && !found; at += kChunk) {
      all.append(output, at, kChunk);
      found = all.find(kRestartMarker) != std::string::npos;
    }
    benchmark::DoNotOptimize(found);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(output.size()));
}
BENCHMARK(BM_RescanAllOutput)->Arg(64 << 10)->Arg(1 << 20);

}  // namespace

BENCHMARK_MAIN();
