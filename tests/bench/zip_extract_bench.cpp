// Unpacks one archive the way the update stage does (count, then describe
// and extract every item in order) and prints the time taken, the bytes
// written and the process's memory: peak working set, and how far the
// private bytes rose above what they were before opening the archive.
//
//   zip_extract_bench.exe ARCHIVE DESTINATION_FOLDER
//
// Driven by tests/bench/zip_extract_bench.py, which compares it with unzip.
#include <windows.h>
// psapi.h needs the types of windows.h.
#include <psapi.h>

#include <cstdint>
#include <cstdio>
#include <cwchar>

#include "archive/zip_archive.h"

namespace {

PROCESS_MEMORY_COUNTERS memory() {
  PROCESS_MEMORY_COUNTERS pmc{};
  pmc.cb = sizeof pmc;
  ::GetProcessMemoryInfo(::GetCurrentProcess(), &pmc, sizeof pmc);
  return pmc;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: zip_extract_bench ARCHIVE DESTINATION_FOLDER\n");
    return 2;
  }
  ::CreateDirectoryW(argv[2], nullptr);
  LARGE_INTEGER frequency, start, end;
  ::QueryPerformanceFrequency(&frequency);

  const PROCESS_MEMORY_COUNTERS before = memory();
  ::QueryPerformanceCounter(&start);
  vx::ZipArchive* archive = vx::openArchive(argv[1]);
  if (archive == nullptr) {
    std::fprintf(stderr, "cannot open the archive\n");
    return 1;
  }
  vx::ZipItemInfo info;
  vx::describeItem(archive, -1, &info);
  const int32_t count = info.index;
  int32_t failures = 0;
  uint64_t bytes = 0;
  static wchar_t destination[1024];
  for (int32_t i = 0; i < count; ++i) {
    vx::describeItem(archive, i, &info);
    std::swprintf(destination, sizeof destination / sizeof destination[0], L"%ls\\%ls", argv[2],
                  info.name);
    if (vx::extractItem(archive, i, destination) != vx::ZipResult::Ok) {
      ++failures;
    } else {
      bytes += info.uncompressedSize;
    }
  }
  vx::closeArchive(archive);
  ::QueryPerformanceCounter(&end);
  const PROCESS_MEMORY_COUNTERS after = memory();

  const double seconds =
      static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
  std::printf("items %d failures %d bytes %llu seconds %.3f\n", count, failures,
              static_cast<unsigned long long>(bytes), seconds);
  // Peak private bytes over those before the first item: what extraction
  // itself needed at most, whatever the size of the items.
  const long long growth = static_cast<long long>(after.PeakPagefileUsage) -
                           static_cast<long long>(before.PagefileUsage);
  std::printf("peak_working_set_kib %llu peak_private_growth_kib %lld\n",
              static_cast<unsigned long long>(after.PeakWorkingSetSize / 1024), growth / 1024);
  return failures == 0 ? 0 : 1;
}
