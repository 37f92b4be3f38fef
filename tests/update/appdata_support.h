// Shared by the Windows update tests: the real roaming AppData folder of the
// test's Wine prefix and small file helpers there.
#pragma once

#include <windows.h>

#include <shlobj.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace vx_test {

inline std::wstring roaming_app_data() {
  wchar_t path[MAX_PATH] = {};
  if (SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, 0, path) != S_OK) return std::wstring();
  return path;
}

inline std::wstring install_dir() { return roaming_app_data() + L"\\Velmorandix\\bootstrap"; }

// Removes the whole install folder so each test starts from nothing.
inline void clear_install() {
  std::error_code ec;
  std::filesystem::remove_all(std::filesystem::path(roaming_app_data() + L"\\Velmorandix"), ec);
}

inline void write_file(const std::wstring& path, const std::string& content) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(std::filesystem::path(path), std::ios::binary | std::ios::trunc) << content;
}

// The file's bytes; "(none)" when it cannot be opened.
inline std::string read_file(const std::wstring& path) {
  std::ifstream in(std::filesystem::path(path), std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return in ? out.str() : "(none)";
}

// A file of the given length whose content is never written (sparse where
// the file system allows).
inline bool make_long_file(const std::wstring& path, int64_t length) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER end;
  end.QuadPart = length;
  const bool ok = SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file);
  CloseHandle(file);
  return ok;
}

}  // namespace vx_test
