#include "update/small_file.h"

#include <windows.h>

#include "base/win_raii.h"

namespace vx {

bool read_small_file(const std::wstring& path, size_t most, std::string& text) {
  text.clear();
  UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  // One byte more than allowed tells an over-long file apart.
  std::string content(most + 1, '\0');
  DWORD got = 0;
  if (!ReadFile(file.get(), &content[0], static_cast<DWORD>(content.size()), &got, nullptr) ||
      got > most) {
    return false;
  }
  content.resize(got);
  text.swap(content);
  return true;
}

uint32_t replace_small_file(const std::wstring& path, const std::string& text) {
  const std::wstring temporary = path + L".tmp";
  DWORD error = 0;
  {
    UniqueHandle file(CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return GetLastError();
    DWORD put = 0;
    if (!WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &put, nullptr) ||
        put != text.size() || !FlushFileBuffers(file.get())) {
      error = GetLastError() != 0 ? GetLastError() : ERROR_WRITE_FAULT;
    }
  }
  if (error == 0 && !MoveFileExW(temporary.c_str(), path.c_str(),
                                 MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    error = GetLastError();
  }
  if (error != 0) DeleteFileW(temporary.c_str());
  return error;
}

}  // namespace vx
