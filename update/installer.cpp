#include "update/installer.h"

#include <windows.h>

#include <algorithm>
#include <optional>
#include <vector>

#include "app/bootstrap_state.h"
#include "archive/zip_archive.h"
#include "base/win_raii.h"
#include "net/http_client.h"
#include "update/cng_crypto.h"
#include "update/install_check.h"
#include "update/partial_download.h"

namespace {

constexpr int32_t kBytesPerMb = 1048576;

const wchar_t kNoConnection[] = L"Нет соединения :(";
const wchar_t kNoAccess[] = L"Нет доступа :(";

// What became of a download into its partial.
enum class Download {
  kDone,           // the whole item is in the partial (pinned: and matches its pin)
  kRequestFailed,  // the request failed; the partial stays for the next attempt
  kNotWritten,     // nothing arrived, or the partial could not be written
  kMismatch,       // pinned: the item does not hash to its pin; the partial is gone
  kWrongSize,      // unpinned: a resumed item is not the manifest's size; the partial is gone
};

// The L or J texts of a failed download.
struct DownloadTexts {
  const wchar_t* request_failed;
  const wchar_t* not_written;
  const wchar_t* mismatch;
};

const DownloadTexts kJarTexts = {L"Ошибка обновления лаунчера. Код L2.",
                                 L"Ошибка обновления лаунчера. Код L3.",
                                 L"Ошибка обновления лаунчера. Код L4."};
const DownloadTexts kJavaTexts = {L"Ошибка обновления Java. Код J3.",
                                  L"Ошибка обновления Java. Код J4.",
                                  L"Ошибка обновления Java. Код J5."};

// Truncates toward zero like a plain conversion, but a value outside the
// 32-bit range saturates: converting it directly would be undefined.
int32_t truncate_saturating(double value) {
  if (value != value) return 0;  // NaN
  if (value >= 2147483647.0) return INT32_MAX;
  if (value <= -2147483648.0) return INT32_MIN;
  return static_cast<int32_t>(value);
}

void fail(BootstrapState& state, const wchar_t* title, const wchar_t* detail) {
  state.error_title = title;
  state.error_detail = detail;
  state.failed = true;
}

// Sets the failure texts of a download that did not end in kDone.
void fail_download(BootstrapState& state, Download result, const DownloadTexts& texts) {
  switch (result) {
    case Download::kDone:
      break;
    case Download::kRequestFailed:
    case Download::kWrongSize:
      fail(state, kNoConnection, texts.request_failed);
      break;
    case Download::kNotWritten:
      fail(state, kNoAccess, texts.not_written);
      break;
    case Download::kMismatch:
      fail(state, kNoConnection, texts.mismatch);
      break;
  }
}

// Streams `url` into `partial`, continuing what it holds, reading no more
// than the manifest's `size`. The status code is not examined: unpinned,
// whatever body arrives whole is the item (an error page too), and a wrong
// one is caught by the next check. A pinned item must hash to its pin; an
// unpinned one continued from held bytes must be exactly `size` bytes, since
// its parts may come from two different files.
Download fetch(const std::wstring& url, int32_t size, vx::PartialDownload& partial,
               const vx::Sha256Digest* pin) {
  HttpClient client(url, &on_download_progress);
  client.verifyCertificates = VX_VERIFY_CERTIFICATES != 0;
  client.sink = &partial;
  // 0 would mean no limit; an item of 0 bytes admits one, which the next
  // check then finds wrong.
  client.maxBodyLength = size > 0 ? static_cast<uint64_t>(size) : 1;
  const bool received = client.request(L"GET");
  const bool written = partial.close();
  if (!received) {
    return partial.disk_error() != 0 ? Download::kNotWritten : Download::kRequestFailed;
  }
  if (!written || partial.held() == 0) {
    partial.remove();
    return Download::kNotWritten;
  }
  if (pin != nullptr) {
    const std::optional<vx::Sha256Digest> digest = partial.digest();
    if (!digest || *digest != *pin) {
      // Fetched whole next time: held bytes that do not add up to the pin
      // cannot be told apart from the bad ones.
      partial.remove();
      return Download::kMismatch;
    }
  } else if (partial.resumed() && partial.held() != static_cast<uint64_t>(size)) {
    partial.remove();
    return Download::kWrongSize;
  }
  return Download::kDone;
}

std::wstring partial_path(const wchar_t* item) { return downloads_dir() + L"\\" + item + L".part"; }

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

bool remove_old_jar(BootstrapState& state) {
  if (!DeleteFileW(state.launcher_path.c_str())) {
    const DWORD error = GetLastError();
    // A jar (or folder) that is not there yet is the first install.
    if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
      fail(state, kNoAccess, L"Ошибка обновления лаунчера. Код L1.");
      return false;
    }
  }
  return true;
}

void clear_runtime(const BootstrapState& state) {
  // Whatever could not be deleted stays and makes the next check stale.
  delete_tree(state.java_dir, true);
  CreateDirectoryW(state.java_dir.c_str(), nullptr);
}

// Unsigned, the old item goes before its download, as it always has. With
// pinned downloads it goes only once the new one has matched its pin, so
// that a tampered or failed download costs nothing that was installed. The
// jar arrives in its partial and is moved into place whole.
void update_launcher(BootstrapState& state, const std::wstring& base) {
  state.progress_total_mb = state.launcher_size / kBytesPerMb;
  const bool pinned = state.pinned_downloads;
  if (!pinned && !remove_old_jar(state)) return;
  const std::wstring url = base + L"/Velmorandix.jar";
  const vx::Sha256Digest* pin = pinned ? &state.launcher_sha256 : nullptr;
  vx::PartialDownload partial(partial_path(L"launcher.jar"), url, std::max(state.launcher_size, 0),
                              pin, !state.launcher_resumed);
  const Download result = fetch(url, state.launcher_size, partial, pin);
  if (result != Download::kDone) {
    fail_download(state, result, kJarTexts);
    return;
  }
  if (pinned && !remove_old_jar(state)) {
    partial.remove();
    return;
  }
  const bool moved = MoveFileExW(partial.path().c_str(), state.launcher_path.c_str(),
                                 MOVEFILE_REPLACE_EXISTING) != 0;
  partial.remove();  // the record, and the partial if it could not be moved
  if (!moved) {
    fail(state, kNoAccess, kJarTexts.not_written);
    return;
  }
  ++state.launcher_installs;
  state.launcher_resumed = partial.resumed();
}

// Nothing of the runtime goes while another program holds one of its files
// (J1). Unsigned, the folder is emptied before the download; pinned, once
// the archive has matched its pin. The archive is unpacked from its partial,
// so the runtime folder holds the runtime alone.
void update_java(BootstrapState& state, const std::wstring& base) {
  if (first_file_in_use(state.java_dir) != 0) {
    fail(state, kNoAccess, L"Ошибка обновления Java. Код J1.");
    return;
  }
  state.progress_total_mb = state.java_zip_size / kBytesPerMb;
  const bool pinned = state.pinned_downloads;
  if (!pinned) clear_runtime(state);
  const std::wstring url =
      base + (state.is_64bit_os ? L"/bootstrap/java64.zip" : L"/bootstrap/java32.zip");
  const vx::Sha256Digest* pin = pinned ? &state.java_zip_sha256 : nullptr;
  vx::PartialDownload partial(partial_path(L"java.zip"), url, std::max(state.java_zip_size, 0), pin,
                              !state.java_resumed);
  const Download result = fetch(url, state.java_zip_size, partial, pin);
  if (result != Download::kDone) {
    fail_download(state, result, kJavaTexts);
    return;
  }
  if (pinned) clear_runtime(state);
  unpack_runtime(partial.path(), state.java_dir);
  partial.remove();
  ++state.java_installs;
  state.java_resumed = partial.resumed();
}

}  // namespace

void run_update() {
  BootstrapState& state = *bootstrap_state;
  state.failed = false;
  const std::wstring base = state.server_url;
  // Nothing can be kept where the folder cannot be made; the download then
  // fails as not written.
  CreateDirectoryW(downloads_dir().c_str(), nullptr);
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

std::wstring downloads_dir() { return bootstrap_state->install_dir + L"\\downloads"; }

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
