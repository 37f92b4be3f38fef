// The one record that the stage threads and the window thread share.
//
// Threading rules: texts and flags are written only by the stage thread of the
// moment, and read by the next stage (started after the write) or by the error
// screen (whose timer starts after the failing stage has finished writing).
// The three progress numbers are written by the update stage while the window
// thread paints them, so they are atomics; a painter may see the numbers of
// two different reports side by side, which is fine.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

struct BootstrapState {
  std::vector<std::wstring> server_urls;  // base URLs, tried in order
  bool manifest_ok = false;               // manifest received and complete
  bool up_to_date = false;                // nothing to download
  bool failed = false;                    // the stage that just ran failed
  std::wstring error_title;               // first line of the error screen
  std::wstring error_detail;              // second line, ends in the failure's code
  std::wstring server_url;                // base URL that answered the manifest request
  bool is_64bit_os = false;
  std::wstring install_dir;    // <roaming AppData>\Velmorandix\bootstrap
  std::wstring launcher_path;  // install_dir + L"\\launcher.jar"
  std::wstring java_dir;       // install_dir + L"\\java"
  std::wstring launcher_hash;
  int32_t launcher_size = 0;
  std::wstring java_hash;
  int32_t java_size = 0;
  std::wstring java_zip_hash;
  int32_t java_zip_size = 0;
  std::wstring java_path;  // may hold "%java%"
  std::wstring run_args;   // may hold "%launcher%" and "%updater_path%"
  // Signed updates: the manifest verified under a built-in key, so the
  // launcher jar and the runtime archive must match these SHA-256 pins
  // before anything is written or removed.
  bool pinned_downloads = false;
  std::array<uint8_t, 32> launcher_sha256{};
  std::array<uint8_t, 32> java_zip_sha256{};
  bool launcher_outdated = false;
  bool java_outdated = false;
  // Installs of each item in this start, counted by the installer each time
  // it writes the jar or unpacks the runtime. An item the check still finds
  // stale after two of them will not converge: the check ends on an error.
  int32_t launcher_installs = 0;
  int32_t java_installs = 0;
  // The item's last install came from a resumed download. If the check
  // still finds it stale, the next round fetches it whole.
  bool launcher_resumed = false;
  bool java_resumed = false;
  std::atomic<int32_t> progress_percent{0};   // 0..100
  std::atomic<int32_t> progress_done_mb{0};   // whole MiB received
  std::atomic<int32_t> progress_total_mb{0};  // whole MiB expected
};

// Created by stage 1 and never freed: threads that are still running when the
// process ends may read it until the very end.
extern BootstrapState* bootstrap_state;

// Set to 1 by the window thread when the window is destroyed; polled by the
// launcher output watcher.
extern std::atomic<int32_t> shutdown_requested;

// Cleared by stage 5 before it starts the output watcher; set to 1 by the
// watcher when the launcher prints its restart marker.
extern std::atomic<int32_t> restart_marker_seen;

// Set to 1 by a last-resort guard (a stage thread, the output watcher, the
// window procedure) when an exception escaped the code it guards. The
// sequencer then shows the X1 error screen in place of the next stage, and
// the launch stops waiting for the restart marker.
extern std::atomic<int32_t> internal_error_reported;

// Creates a fresh record with every field at its initial value and publishes
// it through bootstrap_state. The previous record, if any, is left alive on
// purpose (another thread may still hold it).
BootstrapState* create_bootstrap_state();
