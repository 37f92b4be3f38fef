#include "update/install_check.h"

#include <windows.h>

#include <shlobj.h>

#include <filesystem>

#include "app/bootstrap_state.h"
#include "base/win_raii.h"
#include "update/fingerprint.h"
#include "update/installer.h"
#include "update/manifest_reader.h"

const std::wstring kJavaSizeMismatch(1, static_cast<wchar_t>(0xD800));

namespace {

constexpr int32_t kMostInstallsPerStart = 2;

// A stale item is to be downloaded, unless it has been installed twice in
// this start already: then the served file does not match its manifest (an
// operator's mistake, a stale cache) or something removes what is
// installed, and a third download would only loop.
void mark_stale(BootstrapState& state, bool& outdated, int32_t installs, const wchar_t* detail) {
  if (installs >= kMostInstallsPerStart) {
    state.error_title = L"Нет доступа :(";
    state.error_detail = detail;
    state.failed = true;
    return;
  }
  outdated = true;
}

}  // namespace

int32_t file_size(const std::wstring& path) {
  return vx::file_size_of(std::filesystem::path(path));
}

std::wstring file_fingerprint(const std::wstring& path) {
  return utf8_to_wide(vx::file_fingerprint_of(std::filesystem::path(path)));
}

bool list_files(const std::wstring& root, const std::wstring& pattern,
                std::vector<std::wstring>& files) {
  files.clear();
  std::vector<std::wstring> folders{root};
  while (!folders.empty()) {
    const std::wstring folder = folders.back();
    folders.pop_back();
    WIN32_FIND_DATAW entry;
    vx::UniqueFindHandle search(FindFirstFileW((folder + L"\\" + pattern).c_str(), &entry));
    if (!search) return false;
    do {
      const std::wstring name = entry.cFileName;
      if (name == L"." || name == L"..") continue;
      std::wstring full_path = folder + L"\\" + name;
      if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        folders.push_back(std::move(full_path));
      } else {
        files.push_back(std::move(full_path));
      }
    } while (FindNextFileW(search.get(), &entry));
    if (GetLastError() != ERROR_NO_MORE_FILES) return false;
  }
  return true;
}

std::wstring java_folder_fingerprint() {
  BootstrapState& state = *bootstrap_state;
  std::vector<std::wstring> files;
  if (!list_files(state.java_dir, L"*.*", files)) {
    state.error_detail = L"Ошибка обновления Java. Код 6.";
    state.failed = true;
    return std::wstring();
  }
  std::vector<std::filesystem::path> paths(files.begin(), files.end());
  const vx::FolderDigest digest = vx::digest_folder_files(paths, state.java_size);
  if (!digest.sizes_match) return kJavaSizeMismatch;
  return utf8_to_wide(digest.fingerprint);
}

void check_install() {
  BootstrapState& state = *bootstrap_state;
  state.up_to_date = false;
  state.failed = false;
  state.launcher_outdated = false;
  state.java_outdated = false;
  state.progress_percent = 0;
  state.progress_done_mb = 0;
  state.progress_total_mb = 0;

  wchar_t app_data[MAX_PATH] = {};
  if (SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, 0, app_data) != S_OK) {
    // The title stays as it stood (the connection default).
    state.error_detail = L"Ошибка доступа. Код U1.";
    state.failed = true;
    return;
  }

  // A folder that already exists is the normal case; any other failure to
  // create one shows up in the checks below.
  state.install_dir = std::wstring(app_data) + L"\\Velmorandix";
  CreateDirectoryW(state.install_dir.c_str(), nullptr);
  state.install_dir += L"\\bootstrap";
  CreateDirectoryW(state.install_dir.c_str(), nullptr);
  state.launcher_path = state.install_dir + L"\\launcher.jar";
  state.java_dir = state.install_dir + L"\\java";
  CreateDirectoryW(state.java_dir.c_str(), nullptr);

  // A jar that cannot be opened is stale, whatever size the manifest names.
  const int32_t launcher_size = file_size(state.launcher_path);
  if (launcher_size < 0 || launcher_size != state.launcher_size ||
      file_fingerprint(state.launcher_path) != state.launcher_hash) {
    mark_stale(state, state.launcher_outdated, state.launcher_installs,
               L"Ошибка обновления лаунчера. Код L5.");
    return;
  }

  const std::wstring java_fingerprint = java_folder_fingerprint();
  if (state.failed) {
    state.java_outdated = true;  // failed decides; the flag is set all the same
    return;
  }
  if (java_fingerprint != kJavaSizeMismatch && java_fingerprint == state.java_hash) {
    state.up_to_date = true;
    // Partials of an earlier release would never be continued.
    delete_tree(downloads_dir(), true);
  } else {
    mark_stale(state, state.java_outdated, state.java_installs, L"Ошибка обновления Java. Код J6.");
  }
}
