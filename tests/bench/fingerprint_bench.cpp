// Fingerprint speed: the hash over memory, and the whole runtime-folder check
// against a plain read-and-hash loop over the same files.
//
//   fingerprint_bench [--benchmark_filter=...]
//   VX_BENCH_JAVA_DIR=/usr/lib/jvm/<jdk> fingerprint_bench   (a real runtime)
//
// The synthetic runtime (about 300 files, 250 MiB) is made once under the
// temporary folder and read once before timing, so every run reads from the
// page cache.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "update/fingerprint.h"

namespace fs = std::filesystem;

namespace {

void BM_Murmur3(benchmark::State& state) {
  const size_t size = static_cast<size_t>(state.range(0));
  std::vector<char> data(size);
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>(i * 131 + (i >> 9));
  for (auto _ : state) {
    benchmark::DoNotOptimize(vx::murmur3_x86_32(data.data(), data.size()));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(size));
}
BENCHMARK(BM_Murmur3)->Arg(4 << 10)->Arg(1 << 20)->Arg(64 << 20);

// About 300 files and 250 MiB, shaped like a Java runtime: one large modules
// file, a few dozen libraries of some MiB and many small files.
fs::path synthetic_runtime() {
  const fs::path root = fs::temp_directory_path() / "vx-bench-runtime";
  const fs::path done = root / ".complete";
  if (fs::exists(done)) return root;
  fs::remove_all(root);
  std::vector<size_t> sizes;
  sizes.push_back(140u << 20);
  for (int i = 0; i < 30; ++i) sizes.push_back((3u << 20) + static_cast<size_t>(i) * 4096);
  for (int i = 0; i < 269; ++i) sizes.push_back(20000 + static_cast<size_t>(i) * 97);
  std::string content;
  uint32_t seed = 1;
  for (size_t i = 0; i < sizes.size(); ++i) {
    content.resize(sizes[i]);
    for (char& c : content) {
      seed = seed * 1103515245u + 12345u;
      c = static_cast<char>(seed >> 24);
    }
    const fs::path file = root / ("dir" + std::to_string(i % 12)) / ("file" + std::to_string(i));
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary)
        .write(content.data(), static_cast<std::streamsize>(content.size()));
  }
  std::ofstream(done) << "ok";
  return root;
}

fs::path runtime_folder() {
  const char* java_dir = std::getenv("VX_BENCH_JAVA_DIR");
  return java_dir ? fs::path(java_dir) : synthetic_runtime();
}

std::vector<fs::path> list_folder(const fs::path& root) {
  std::vector<fs::path> files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (!entry.is_directory() && entry.is_regular_file()) files.push_back(entry.path());
  }
  return files;
}

// The baseline: open each file once, read it whole into a fresh buffer, hash.
uint32_t plain_read_and_hash(const std::vector<fs::path>& files) {
  uint32_t mix = 0;
  for (const fs::path& file : files) {
    std::ifstream in(file, std::ios::binary | std::ios::ate);
    const std::streamoff size = in.tellg();
    in.seekg(0);
    std::vector<char> data(static_cast<size_t>(size));
    in.read(data.data(), size);
    mix ^= vx::murmur3_x86_32(data.data(), data.size());
  }
  return mix;
}

void set_bytes(benchmark::State& state, const std::vector<fs::path>& files) {
  int64_t total = 0;
  for (const fs::path& file : files) total += static_cast<int64_t>(fs::file_size(file));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * total);
  state.counters["files"] = static_cast<double>(files.size());
  state.counters["MiB"] = static_cast<double>(total) / 1048576.0;
}

void BM_PlainReadAndHash(benchmark::State& state) {
  const std::vector<fs::path> files = list_folder(runtime_folder());
  plain_read_and_hash(files);  // into the page cache
  for (auto _ : state) benchmark::DoNotOptimize(plain_read_and_hash(files));
  set_bytes(state, files);
}
BENCHMARK(BM_PlainReadAndHash)->Unit(benchmark::kMillisecond)->UseRealTime();

// The install check's work on the runtime folder: list it, size every file,
// then fingerprint every file and the folder.
void BM_RuntimeFolderCheck(benchmark::State& state) {
  const fs::path root = runtime_folder();
  std::vector<fs::path> files = list_folder(root);
  const vx::FolderDigest expected = vx::digest_folder_files(files);
  if (!expected.sizes_match) {
    state.SkipWithError("runtime folder unreadable or too large");
    return;
  }
  for (auto _ : state) {
    files = list_folder(root);
    const vx::FolderDigest digest =
        vx::digest_folder_files(files, static_cast<int32_t>(expected.total_size));
    if (digest.fingerprint != expected.fingerprint) state.SkipWithError("fingerprint changed");
    benchmark::DoNotOptimize(digest.fingerprint.data());
  }
  set_bytes(state, files);
}
BENCHMARK(BM_RuntimeFolderCheck)->Unit(benchmark::kMillisecond)->UseRealTime();

// Both of the above, alternated within each iteration so that the load of a
// shared machine weighs on both alike; the counter "check_to_plain" is the
// ratio of their summed wall times.
void BM_CheckToPlainRatio(benchmark::State& state) {
  using Clock = std::chrono::steady_clock;
  const fs::path root = runtime_folder();
  const std::vector<fs::path> files = list_folder(root);
  const vx::FolderDigest expected = vx::digest_folder_files(files);
  if (!expected.sizes_match) {
    state.SkipWithError("runtime folder unreadable or too large");
    return;
  }
  plain_read_and_hash(files);
  std::chrono::duration<double> plain{0};
  std::chrono::duration<double> check{0};
  for (auto _ : state) {
    const auto start = Clock::now();
    benchmark::DoNotOptimize(plain_read_and_hash(files));
    const auto middle = Clock::now();
    const vx::FolderDigest digest =
        vx::digest_folder_files(list_folder(root), static_cast<int32_t>(expected.total_size));
    benchmark::DoNotOptimize(digest.fingerprint.data());
    check += Clock::now() - middle;
    plain += middle - start;
  }
  state.counters["check_to_plain"] = check.count() / plain.count();
}
BENCHMARK(BM_CheckToPlainRatio)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10);

}  // namespace

BENCHMARK_MAIN();
