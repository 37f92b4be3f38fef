#include "update/installer.h"

#include <windows.h>

#include <cstdio>
#include <functional>
#include <vector>

#include "app/bootstrap_state.h"
#include "archive/zip_archive.h"
#include "base/win_raii.h"
#include "net/http_client.h"
#include "update/cng_crypto.h"
#include "update/install_check.h"

namespace {

constexpr int32_t kBytesPerMb = 1048576;

const wchar_t kNoConnection[] = L"Нет соединения :(";
const wchar_t kNoAccess[] = L"Нет доступа :(";

enum class Download {
  kDone,
  kRequestFailed,
  kNotWritten,
  kMismatch,  // the body does not hash to its pin; nothing was written
  kStopped,   // the step before the write failed and reported it
};

// Truncates toward zero like a plain conversion, but a value outside the
// 32-bit range saturates: converting it directly would be undefined.
int32_t truncate_saturating(double value) {
  if (value != value) return 0;  // NaN
  if (value >= 2147483647.0) return INT32_MAX;
  if (value <= -2147483648.0) return INT32_MIN;
  return static_cast<int32_t>(value);
}

// Fetches `url` into memory and writes the body to `target` as one block.
// The status code is not examined: whatever body arrives is the item, and a
// wrong one is caught by the next check. A short write is caught the same way.
// With a `pin` (signed updates) the body must first hash to it, and then
// `before_write` clears the way for the new item; nothing on disk is touched
// before that.
Download download(const std::wstring& url, const std::wstring& target, const vx::Sha256Digest* pin,
                  const std::function<bool()>& before_write) {
  HttpClient client(url, &on_download_progress);
  client.verifyCertificates = VX_VERIFY_CERTIFICATES != 0;
  if (!client.request(L"GET")) return Download::kRequestFailed;
  if (!client.body || client.bodyLength == 0) return Download::kNotWritten;
  if (pin != nullptr) {
    const std::optional<vx::Sha256Digest> digest =
        vx::sha256_of(client.body.get(), client.bodyLength);
    if (!digest || *digest != *pin) return Download::kMismatch;
    if (before_write && !before_write()) return Download::kStopped;
  }
  FILE* file = nullptr;
  if (_wfopen_s(&file, target.c_str(), L"wb") != 0 || file == nullptr) {
    return Download::kNotWritten;
  }
  std::fwrite(client.body.get(), 1, client.bodyLength, file);
  std::fclose(file);
  return Download::kDone;
}

void fail(BootstrapState& state, const wchar_t* title, const wchar_t* detail) {
  state.error_title = title;
  state.error_detail = detail;
  state.failed = true;
}

// Unpacks every item of the archive, in index order, below `java_dir`. An
// item that does not unpack leaves the runtime stale, which the next check
// finds; only an item that cannot be reached ends the walk, since no later
// one can be reached either and a hostile count would keep it going.
void unpack_runtime(const std::wstring& archive_path, const std::wstring& java_dir) {
  vx::ZipArchive* archive = vx::openArchive(archive_path.c_str());
  if (archive == nullptr) return;
  vx::ZipItemInfo info{};
  vx::describeItem(archive, -1, &info);
  const int32_t count = info.index;
  for (int32_t i = 0; i < count; ++i) {
    if (vx::describeItem(archive, i, &info) == vx::ZipResult::Unreachable) break;
    const std::wstring destination = java_dir + L"\\" + info.name;
    vx::extractItem(archive, i, destination.c_str());
  }
  vx::closeArchive(archive);
}

// Unsigned, the old item goes before its download, as it always has. With
// pinned downloads it goes only once the new one has matched its pin, so
// that a tampered or failed download costs nothing that was installed.
void update_launcher(BootstrapState& state, const std::wstring& base) {
  state.progress_total_mb = state.launcher_size / kBytesPerMb;
  const auto remove_old_jar = [&state] {
    if (!DeleteFileW(state.launcher_path.c_str())) {
      const DWORD error = GetLastError();
      // A jar (or folder) that is not there yet is the first install.
      if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
        fail(state, kNoAccess, L"Ошибка обновления лаунчера. Код L1.");
        return false;
      }
    }
    return true;
  };
  const bool pinned = state.pinned_downloads;
  if (!pinned && !remove_old_jar()) return;
  switch (download(base + L"/Velmorandix.jar", state.launcher_path,
                   pinned ? &state.launcher_sha256 : nullptr, remove_old_jar)) {
    case Download::kDone:
      ++state.launcher_installs;
      break;
    case Download::kStopped:
      break;
    case Download::kRequestFailed:
      fail(state, kNoConnection, L"Ошибка обновления лаунчера. Код L2.");
      break;
    case Download::kNotWritten:
      fail(state, kNoAccess, L"Ошибка обновления лаунчера. Код L3.");
      break;
    case Download::kMismatch:
      fail(state, kNoConnection, L"Ошибка обновления лаунчера. Код L4.");
      break;
  }
}

void update_java(BootstrapState& state, const std::wstring& base) {
  if (first_file_in_use(state.java_dir) != 0) {
    fail(state, kNoAccess, L"Ошибка обновления Java. Код J1.");
    return;
  }
  const std::wstring archive_path = state.java_dir + L"\\tempfile.zip";
  state.progress_total_mb = state.java_zip_size / kBytesPerMb;
  const auto clear_runtime = [&state] {
    // Whatever could not be deleted stays and makes the next check stale.
    delete_tree(state.java_dir, true);
    CreateDirectoryW(state.java_dir.c_str(), nullptr);
    return true;
  };
  const bool pinned = state.pinned_downloads;
  if (!pinned) clear_runtime();

  const wchar_t* archive_name =
      state.is_64bit_os ? L"/bootstrap/java64.zip" : L"/bootstrap/java32.zip";
  switch (download(base + archive_name, archive_path, pinned ? &state.java_zip_sha256 : nullptr,
                   clear_runtime)) {
    case Download::kDone:
      break;
    case Download::kRequestFailed:
      fail(state, kNoConnection, L"Ошибка обновления Java. Код J3.");
      return;
    case Download::kNotWritten:
      fail(state, kNoAccess, L"Ошибка обновления Java. Код J4.");
      return;
    case Download::kMismatch:
      fail(state, kNoConnection, L"Ошибка обновления Java. Код J5.");
      return;
    case Download::kStopped:
      return;
  }
  unpack_runtime(archive_path, state.java_dir);
  ++state.java_installs;
  DeleteFileW(archive_path.c_str());
}

}  // namespace

void run_update() {
  BootstrapState& state = *bootstrap_state;
  state.failed = false;
  const std::wstring base = state.server_url;
  if (state.launcher_outdated) {
    // The runtime waits for the next round, after the check has run again.
    update_launcher(state, base);
  } else if (state.java_outdated) {
    update_java(state, base);
  }
}

bool on_download_progress(double percent) {
  BootstrapState& state = *bootstrap_state;
  state.progress_percent = truncate_saturating(percent);
  const double total = static_cast<double>(state.progress_total_mb.load());
  state.progress_done_mb = truncate_saturating(total * percent / 100.0);
  return true;
}

uint32_t first_file_in_use(const std::wstring& folder) {
  std::vector<std::wstring> files;
  // A folder that cannot be listed holds nothing this can look at; whatever
  // in it cannot be deleted leaves the runtime stale for the next check.
  if (!list_files(folder, L"*.*", files)) return 0;
  for (const std::wstring& file : files) {
    // Delete access with full sharing asks only that no holder denies
    // delete sharing. Read-only files open too, and nothing is changed. A
    // link is opened itself, never followed.
    vx::UniqueHandle probe(CreateFileW(
        file.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!probe) {
      const DWORD error = GetLastError();
      // Gone since it was listed: nothing holds it.
      if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) return error;
    }
  }
  return 0;
}

uint32_t delete_tree(const std::wstring& folder, bool recurse) {
  bool left_subfolder = false;
  {
    WIN32_FIND_DATAW entry;
    vx::UniqueFindHandle search(FindFirstFileW((folder + L"\\*.*").c_str(), &entry));
    // A folder that cannot be searched (most often: it does not exist)
    // counts as deleted.
    if (!search) return 0;
    do {
      // Only the two navigation entries are skipped: a leftover ".hidden"
      // would keep the folder, and with it a stale runtime, forever.
      const std::wstring name = entry.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring path = folder + L"\\" + name;
      const DWORD attributes = entry.dwFileAttributes;
      const bool is_folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
      if (is_folder && !recurse) {
        left_subfolder = true;
        continue;
      }
      if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        // A link: remove the link itself. Entering it, or changing the
        // attributes through it, would act on files outside this folder.
        const BOOL removed = is_folder ? RemoveDirectoryW(path.c_str()) : DeleteFileW(path.c_str());
        if (!removed) return GetLastError();
      } else if (is_folder) {
        const uint32_t code = delete_tree(path, true);
        if (code != 0) return code;
      } else if (!SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL) ||
                 !DeleteFileW(path.c_str())) {
        return GetLastError();
      }
    } while (FindNextFileW(search.get(), &entry));
    const DWORD end = GetLastError();
    if (end != ERROR_NO_MORE_FILES) return end;
  }
  if (left_subfolder) return 0;
  if (!SetFileAttributesW(folder.c_str(), FILE_ATTRIBUTE_NORMAL) ||
      !RemoveDirectoryW(folder.c_str())) {
    return GetLastError();
  }
  return 0;
}
