#include "base/console_line.h"

#include <windows.h>

#include "base/utf8.h"

namespace {

bool write_all(HANDLE handle, const char* data, size_t size) {
  while (size > 0) {
    const DWORD chunk = size > 0x10000 ? 0x10000 : static_cast<DWORD>(size);
    DWORD written = 0;
    if (!WriteFile(handle, data, chunk, &written, nullptr) || written == 0) return false;
    data += written;
    size -= written;
  }
  return true;
}

}  // namespace

namespace vx {

void write_stdout_line(const std::wstring& line) {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
  const std::wstring with_end = line + L"\r\n";
  DWORD mode = 0;
  if (GetConsoleMode(out, &mode)) {
    // A console shows every character of the wide text, whatever its code
    // page.
    const wchar_t* data = with_end.data();
    size_t left = with_end.size();
    while (left > 0) {
      const DWORD chunk = left > 4096 ? 4096 : static_cast<DWORD>(left);
      DWORD written = 0;
      if (!WriteConsoleW(out, data, chunk, &written, nullptr) || written == 0) return;
      data += written;
      left -= written;
    }
    return;
  }
  // A pipe or a file gets UTF-8. WriteFile is unbuffered, so the line is out
  // as soon as this returns.
  const std::string bytes = wide_to_utf8(with_end);
  write_all(out, bytes.data(), bytes.size());
}

}  // namespace vx
