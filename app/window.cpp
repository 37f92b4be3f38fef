#include "app/window.h"

#include <gdiplus.h>

#include <atomic>

#include "app/bootstrap_state.h"
#include "app/splash.h"
#include "app/stages.h"
#include "resources/resource_ids.h"

namespace {

std::atomic<HWND> published_window{nullptr};
HINSTANCE module_instance = nullptr;

// Both loaded from the string table, at most 100 characters each.
wchar_t window_title[100];
wchar_t window_class[100];

constexpr DWORD kWindowStyle = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;

void paint_timer_screen(UINT_PTR timer_id) {
  if (ScreenPainter painter = painter_for_timer(timer_id)) painter();
}

WindowHooks window_hooks = default_window_hooks();

LRESULT handle_message(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_DESTROY:
      shutdown_requested.store(1);
      PostQuitMessage(0);
      return 0;
    case WM_PAINT: {
      // The screens are drawn only by the painters; a paint request only
      // needs validating.
      PAINTSTRUCT ps;
      BeginPaint(window, &ps);
      EndPaint(window, &ps);
      return 0;
    }
    case WM_TIMER:
      window_hooks.paint_for_timer(wparam);
      return 0;
    case WM_COMMAND:
      return 0;
    default:
      return DefWindowProcW(window, message, wparam, lparam);
  }
}

}  // namespace

WindowHooks default_window_hooks() {
  return WindowHooks{&register_window_class, &create_main_window, &paint_timer_screen};
}

void set_window_hooks(const WindowHooks& hooks) { window_hooks = hooks; }

POINT window_position(int full_width, int full_height) {
  // C++ division truncates toward zero, as the placement rule wants.
  return POINT{full_width / 2 - 187, full_height / 2 - 100};
}

HWND main_window() { return published_window.load(); }
void set_main_window(HWND window) { published_window.store(window); }
HINSTANCE app_instance() { return module_instance; }

ScreenPainter painter_for_timer(UINT_PTR timer_id) {
  switch (timer_id) {
    case kConnectTimer:
      return &paint_connect_screen;
    case kErrorTimer:
      return &paint_error_screen;
    case kCheckTimer:
      return &paint_check_screen;
    case kUpdateTimer:
      return &paint_update_screen;
    case kLaunchTimer:
      return &paint_launch_screen;
    default:
      return nullptr;
  }
}

LRESULT CALLBACK window_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  try {
    return handle_message(window, message, wparam, lparam);
  } catch (...) {
    // An exception must not unwind through the system's code. The sequencer
    // shows the X1 error screen when the running stage ends.
    internal_error_reported.store(1);
    return 0;
  }
}

ATOM register_window_class(HINSTANCE instance, const wchar_t* class_name) {
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof(wc);
  wc.style = CS_HREDRAW | CS_VREDRAW;
  wc.lpfnWndProc = &window_procedure;
  wc.hInstance = instance;
  wc.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_LARGE));
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_WINDOW + 1));
  wc.lpszClassName = class_name;
  wc.hIconSm = LoadIconW(instance, MAKEINTRESOURCEW(IDI_SMALL));
  return RegisterClassExW(&wc);
}

HWND create_main_window(HINSTANCE instance, const wchar_t* class_name, const wchar_t* title) {
  POINT at = window_position(GetSystemMetrics(SM_CXFULLSCREEN), GetSystemMetrics(SM_CYFULLSCREEN));
  return CreateWindowExW(0, class_name, title, kWindowStyle, at.x, at.y, kWindowWidth,
                         kWindowHeight, nullptr, nullptr, instance, nullptr);
}

int run_application(HINSTANCE instance, int show_command) {
  // Start-up reports no failure: the program goes on with what it has, and
  // a part that did not load is simply not drawn. Only a missing window ends
  // it.
  Gdiplus::GdiplusStartupInput startup_input;  // version 1, no debug callback
  ULONG_PTR gdiplus_token = 0;
  Gdiplus::GdiplusStartup(&gdiplus_token, &startup_input, nullptr);

  load_drawing_resources();

  LoadStringW(instance, IDS_WINDOW_TITLE, window_title, 100);
  LoadStringW(instance, IDS_WINDOW_CLASS, window_class, 100);

  // Without a window, timers would go to the stage threads and the close
  // request nowhere: the loop would never end. Leave at once instead.
  if (window_hooks.register_class(instance, window_class) == 0) {
    Gdiplus::GdiplusShutdown(gdiplus_token);
    return 0;
  }
  module_instance = instance;

  HWND window = window_hooks.create_window(instance, window_class, window_title);
  if (window == nullptr) {
    Gdiplus::GdiplusShutdown(gdiplus_token);
    return 0;
  }
  ShowWindow(window, show_command);
  UpdateWindow(window);
  set_main_window(window);

  paint_welcome_screen();

  start_first_stage();

  MSG msg{};
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }

  Gdiplus::GdiplusShutdown(gdiplus_token);
  // The quit message carries the exit code, 0.
  return msg.message == WM_QUIT ? static_cast<int>(msg.wParam) : 0;
}
