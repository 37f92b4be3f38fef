// How long one repaint takes: composing each screen off-screen, and the
// whole painter (compose and copy to a real window). Every screen is redrawn
// every 30 ms, so a frame must take well under that.
//
//   splash_frame_bench [frames]      (default 300 per screen)
//
// Run under Wine with a display: scripts/with-xvfb.sh scripts/wine-run.sh ...
#include <chrono>
#include <cstdio>
#include <cwchar>

#include "app/splash.h"
#include "app/window.h"
#include "tests/app/splash_support.h"

namespace {

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point start, int frames) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count() / frames;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const int frames = argc > 1 ? static_cast<int>(std::wcstol(argv[1], nullptr, 10)) : 300;
  if (frames <= 0) return 2;
  vx_test::GdiplusSession session;
  if (!session.ok()) return 1;
  BootstrapState state;
  vx_test::fill_sample_state(state);
  bootstrap_state = &state;
  {
    auto resources = vx_test::resources_from_module();
    for (vx::Screen screen : vx_test::kAllScreens) {
      Clock::time_point start = Clock::now();
      for (int i = 0; i < frames; ++i) {
        auto bitmap = vx::compose_screen(*resources, screen, &state, 320, 148);
        if (!bitmap) return 1;
      }
      std::wprintf(L"compose %-8ls %7.3f ms/frame\n", vx_test::screen_name(screen),
                   ms_since(start, frames));
    }
  }

  HINSTANCE instance = ::GetModuleHandleW(nullptr);
  register_window_class(instance, L"VELMORANDIX_SPLASH_BENCH");
  HWND window = create_main_window(instance, L"VELMORANDIX_SPLASH_BENCH", L"Velmorandix");
  if (!window) return 1;
  ::ShowWindow(window, SW_SHOWNORMAL);
  ::UpdateWindow(window);
  set_main_window(window);
  load_drawing_resources();
  void (*painters[])() = {&paint_connect_screen, &paint_update_screen, &paint_error_screen};
  const wchar_t* names[] = {L"connect", L"update", L"error"};
  for (int p = 0; p < 3; ++p) {
    Clock::time_point start = Clock::now();
    for (int i = 0; i < frames; ++i) painters[p]();
    std::wprintf(L"paint   %-8ls %7.3f ms/frame\n", names[p], ms_since(start, frames));
  }
  set_main_window(nullptr);
  ::DestroyWindow(window);
  bootstrap_state = nullptr;
  return 0;
}
