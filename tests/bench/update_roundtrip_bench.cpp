// One runtime update round trip, timed: run_update with java_outdated set
// streams the runtime archive into its partial under <JAVA_DIR>\..\downloads,
// unpacks it into the runtime folder and deletes the partial. Run by
// update_roundtrip_bench.py (not ctest), one process per round trip.
//
//   update_roundtrip_bench.exe BASE_URL JAVA_DIR ZIP_SIZE [--hold | --phases]
//                              [--manifest=unsigned | --manifest=signed]
//                              [--kill-at=PERCENT | --check]
//   -> ok=1 seconds=12.3 files=1234 bytes=... total_mb=... percent=100
// With --phases it times the streamed download and the unpacking one by one
// instead (into JAVA_DIR, which must exist and be empty). With --manifest
// the timed round trip starts with fetch_manifest against BASE_URL, unsigned
// or with the test keys (the manifest's signature, the stored serial and the
// archive's SHA-256 pin), and takes the archive's size from the manifest.
// --kill-at ends the process abruptly, as a player's kill would, once the
// download has reached PERCENT. --check fetches nothing: it checks the
// runtime in JAVA_DIR as an up-to-date start does (sizes, then every file's
// fingerprint).
#include <windows.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <thread>
#include <vector>

#include "app/bootstrap_state.h"
#include "archive/zip_archive.h"
#include "net/http_client.h"
#include "tests/bench/bench_hold.h"
#include "update/install_check.h"
#include "update/installer.h"
#include "update/manifest.h"
#include "update/partial_download.h"

namespace {

// Number and total size of the files below `folder`.
void count_files(const std::wstring& folder, uint64_t& files, uint64_t& bytes) {
  std::vector<std::wstring> pending{folder};
  while (!pending.empty()) {
    const std::wstring current = pending.back();
    pending.pop_back();
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW((current + L"\\*").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) continue;
    do {
      const std::wstring name = entry.cFileName;
      if (name == L"." || name == L"..") continue;
      if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        pending.push_back(current + L"\\" + name);
      } else {
        ++files;
        bytes += (static_cast<uint64_t>(entry.nFileSizeHigh) << 32) | entry.nFileSizeLow;
      }
    } while (FindNextFileW(search, &entry));
    FindClose(search);
  }
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The two steps of the round trip on their own, the way run_update does
// them, to tell where the time goes: the download streamed into a partial
// on disk, and the unpacking into `folder`.
void time_phases(const std::wstring& url, const std::wstring& folder, int32_t size) {
  auto start = std::chrono::steady_clock::now();
  const std::wstring archive_path = folder + L"\\phases.zip.part";
  bool ok = false;
  {
    vx::PartialDownload partial(archive_path, url, size, nullptr, false);
    HttpClient client(url, &on_download_progress);
    client.sink = &partial;
    client.maxBodyLength = static_cast<uint64_t>(size);
    ok = client.request(L"GET") && partial.close();
  }
  const double download = seconds_since(start);
  if (!ok) {
    std::printf("phases=failed\n");
    return;
  }

  start = std::chrono::steady_clock::now();
  vx::ZipArchive* archive = vx::openArchive(archive_path.c_str());
  vx::ZipItemInfo info{};
  vx::describeItem(archive, -1, &info);
  const int32_t count = info.index;
  for (int32_t i = 0; i < count; ++i) {
    vx::describeItem(archive, i, &info);
    vx::extractItem(archive, i, (folder + L"\\" + info.name).c_str());
  }
  vx::closeArchive(archive);
  const double unpack = seconds_since(start);
  DeleteFileW(archive_path.c_str());
  DeleteFileW((archive_path + L".info").c_str());
  std::printf("download=%.3f unpack=%.3f\n", download, unpack);
}

// Ends the process without any clean-up once the download has reached
// `percent`, as a kill would: what the partial had not written is lost.
void kill_at(int32_t percent) {
  std::thread([percent] {
    while (bootstrap_state->progress_percent.load() < percent) Sleep(1);
    TerminateProcess(GetCurrentProcess(), 9);
  }).detach();
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  bool hold = false;
  bool phases = false;
  bool check = false;
  int32_t kill_percent = 0;
  const wchar_t* manifest = nullptr;  // "unsigned" or "signed"
  bool usage = argc < 4;
  for (int i = 4; i < argc; ++i) {
    if (std::wcscmp(argv[i], L"--hold") == 0) {
      hold = true;
    } else if (std::wcscmp(argv[i], L"--phases") == 0) {
      phases = true;
    } else if (std::wcscmp(argv[i], L"--check") == 0) {
      check = true;
    } else if (std::wcsncmp(argv[i], L"--kill-at=", 10) == 0) {
      kill_percent = static_cast<int32_t>(std::wcstol(argv[i] + 10, nullptr, 10));
    } else if (std::wcsncmp(argv[i], L"--manifest=", 11) == 0) {
      manifest = argv[i] + 11;
    } else {
      usage = true;
    }
  }
  if (usage || (hold && phases)) {
    std::fprintf(stderr,
                 "usage: update_roundtrip_bench BASE_URL JAVA_DIR ZIP_SIZE [--hold | --phases]\n"
                 "                              [--manifest=unsigned | --manifest=signed]\n"
                 "                              [--kill-at=PERCENT | --check]\n");
    return 2;
  }
  BootstrapState& state = *create_bootstrap_state();
  state.server_url = argv[1];
  state.java_dir = argv[2];
  // Partials go to downloads\ beside the runtime folder, as in the product.
  state.install_dir = state.java_dir.substr(0, state.java_dir.find_last_of(L"\\/"));
  state.java_zip_size = static_cast<int32_t>(std::wcstol(argv[3], nullptr, 10));
  state.is_64bit_os = true;
  state.java_outdated = true;
  if (phases) {
    time_phases(state.server_url + L"/bootstrap/java64.zip", state.java_dir, state.java_zip_size);
    return 0;
  }
  if (check) {
    uint64_t files = 0;
    uint64_t bytes = 0;
    count_files(state.java_dir, files, bytes);
    state.java_size = static_cast<int32_t>(bytes);
    wait_for_line(hold, "before");
    const auto start = std::chrono::steady_clock::now();
    const bool current = java_folder_fingerprint() != kJavaSizeMismatch && !state.failed;
    std::printf("ok=%d seconds=%.3f files=%llu bytes=%llu\n", current ? 1 : 0, seconds_since(start),
                static_cast<unsigned long long>(files), static_cast<unsigned long long>(bytes));
    std::fflush(stdout);
    wait_for_line(hold, "after");
    return current ? 0 : 1;
  }
  if (kill_percent > 0) kill_at(kill_percent);

  wait_for_line(hold, "before");
  const auto start = std::chrono::steady_clock::now();
  if (manifest != nullptr) {
    static const vx::UpdateKeySet kNoKeys{nullptr, 0};
    state.server_urls = {state.server_url};
    HANDLE console = GetStdHandle(STD_OUTPUT_HANDLE);
    SetStdHandle(STD_OUTPUT_HANDLE, nullptr);  // the manifest request's line
    fetch_manifest_with(std::wcscmp(manifest, L"signed") == 0 ? vx::update_keys() : kNoKeys);
    SetStdHandle(STD_OUTPUT_HANDLE, console);
    // A refused manifest fails the round trip (ok=0) without a download.
    state.failed = !state.manifest_ok;
  }
  if (!state.failed) run_update();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  uint64_t files = 0;
  uint64_t bytes = 0;
  count_files(state.java_dir, files, bytes);
  std::printf("ok=%d seconds=%.3f files=%llu bytes=%llu total_mb=%d percent=%d\n",
              state.failed ? 0 : 1, seconds, static_cast<unsigned long long>(files),
              static_cast<unsigned long long>(bytes), static_cast<int>(state.progress_total_mb),
              static_cast<int>(state.progress_percent));
  std::fflush(stdout);
  wait_for_line(hold, "after");
  return state.failed ? 1 : 0;
}
