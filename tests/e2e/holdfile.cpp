// Holds one file open with no sharing at all, the way another program that
// has the launcher jar open would, so that deleting it fails.
//
//   holdfile <path> <seconds>
//
// Prints "held" once the file is open, then waits the given time (or until
// it is ended by its PID) and exits with 0; exits with 1 when the file
// cannot be opened.
#include <windows.h>

#include <cstdio>
#include <cwchar>

#include "base/win_raii.h"

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: holdfile <path> <seconds>\n");
    return 2;
  }
  vx::UniqueHandle file(CreateFileW(argv[1], GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    std::fprintf(stderr, "holdfile: cannot open the file (error %lu)\n", GetLastError());
    return 1;
  }
  std::printf("held\n");
  std::fflush(stdout);
  const unsigned long seconds = std::wcstoul(argv[2], nullptr, 10);
  Sleep(seconds > 3600 ? 3600000 : static_cast<DWORD>(seconds * 1000));
  return 0;
}
