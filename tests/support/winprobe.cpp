// A small console program that end-to-end tests run in the same Wine prefix
// as Velmorandix.exe, to look at its window from outside.
//
//   winprobe find <class name> <timeout ms>
//     Waits for a top-level window of that class and prints one JSON line:
//     {"found":true,"title":"...","left":..,"top":..,"right":..,"bottom":..,
//      "cx_fullscreen":..,"cy_fullscreen":..,"client_left":..,"client_top":..}
//     or {"found":false} after the timeout. Exit code 0 when found, 1 if not.
//   winprobe watch <class name> <timeout ms>
//     As find, then waits (up to 120 s) until the window is gone and adds
//     "visible_ms": the time from first sight to its disappearance.
//   winprobe close <class name>
//     Posts a close request to that window, as the close button does.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

// Titles are ASCII here; anything else is escaped so the line stays JSON.
std::string json_text(const wchar_t* text) {
  std::string out;
  for (const wchar_t* p = text; *p; ++p) {
    if (*p == L'"' || *p == L'\\') {
      out += '\\';
      out += static_cast<char>(*p);
    } else if (*p >= 0x20 && *p < 0x7f) {
      out += static_cast<char>(*p);
    } else {
      char buffer[8];
      std::snprintf(buffer, sizeof buffer, "\\u%04x", static_cast<unsigned>(*p) & 0xffffu);
      out += buffer;
    }
  }
  return out;
}

int find(const wchar_t* class_name, DWORD timeout_ms, bool watch) {
  DWORD start = GetTickCount();
  HWND window = nullptr;
  while (!(window = FindWindowW(class_name, nullptr)) && GetTickCount() - start < timeout_ms) {
    Sleep(50);
  }
  if (!window) {
    std::printf("{\"found\":false}\n");
    return 1;
  }
  DWORD seen = GetTickCount();
  wchar_t title[256] = {};
  GetWindowTextW(window, title, 256);
  RECT r{};
  GetWindowRect(window, &r);
  POINT client{0, 0};
  ClientToScreen(window, &client);
  long visible_ms = -1;
  if (watch) {
    while (IsWindow(window) && GetTickCount() - seen < 120000) Sleep(20);
    if (!IsWindow(window)) visible_ms = static_cast<long>(GetTickCount() - seen);
  }
  std::printf(
      "{\"found\":true,\"visible_ms\":%ld,\"title\":\"%s\",\"left\":%ld,\"top\":%ld,\"right\":%ld,"
      "\"bottom\":%ld,"
      "\"cx_fullscreen\":%d,\"cy_fullscreen\":%d,\"client_left\":%ld,\"client_top\":%ld}\n",
      visible_ms, json_text(title).c_str(), r.left, r.top, r.right, r.bottom,
      GetSystemMetrics(SM_CXFULLSCREEN), GetSystemMetrics(SM_CYFULLSCREEN), client.x, client.y);
  return 0;
}

int close_window(const wchar_t* class_name) {
  HWND window = FindWindowW(class_name, nullptr);
  if (!window) return 1;
  return PostMessageW(window, WM_CLOSE, 0, 0) ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc >= 4 && std::wcscmp(argv[1], L"find") == 0) {
    return find(argv[2], static_cast<DWORD>(std::wcstoul(argv[3], nullptr, 10)), false);
  }
  if (argc >= 4 && std::wcscmp(argv[1], L"watch") == 0) {
    return find(argv[2], static_cast<DWORD>(std::wcstoul(argv[3], nullptr, 10)), true);
  }
  if (argc >= 3 && std::wcscmp(argv[1], L"close") == 0) return close_window(argv[2]);
  std::fprintf(stderr, "usage: winprobe find <class> <timeout ms> | winprobe close <class>\n");
  return 2;
}
