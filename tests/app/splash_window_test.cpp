// The painters on a real window: the composed screen reaches the client area
// whole, from its top-left corner.
#include <gtest/gtest.h>

#include "app/bootstrap_state.h"
#include "app/splash.h"
#include "app/splash_compose.h"
#include "app/window.h"
#include "tests/app/splash_environment.h"
#include "tests/app/splash_support.h"

namespace {

// Copies the window's client area as it is on screen now.
vx_test::Pixels capture_client(HWND window) {
  RECT client{};
  ::GetClientRect(window, &client);
  const int width = client.right;
  const int height = client.bottom;
  vx_test::Pixels out;
  HDC screen = ::GetDC(window);
  if (!screen) return out;
  HDC memory = ::CreateCompatibleDC(screen);
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof(info.bmiHeader);
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;  // top-down
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP dib = ::CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  if (dib && bits) {
    HGDIOBJ old = ::SelectObject(memory, dib);
    ::BitBlt(memory, 0, 0, width, height, screen, 0, 0, SRCCOPY);
    ::GdiFlush();
    out.width = width;
    out.height = height;
    out.rgb.assign(static_cast<const uint32_t*>(bits),
                   static_cast<const uint32_t*>(bits) + static_cast<size_t>(width) * height);
    for (auto& c : out.rgb) c &= 0xFFFFFF;
    ::SelectObject(memory, old);
  }
  if (dib) ::DeleteObject(dib);
  ::DeleteDC(memory);
  ::ReleaseDC(window, screen);
  return out;
}

void pump_messages() {
  MSG msg;
  while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    ::TranslateMessage(&msg);
    ::DispatchMessageW(&msg);
  }
}

class SplashWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    HINSTANCE instance = ::GetModuleHandleW(nullptr);
    static const ATOM registered = register_window_class(instance, L"VELMORANDIX_SPLASH_TEST");
    ASSERT_NE(registered, 0);
    window_ = create_main_window(instance, L"VELMORANDIX_SPLASH_TEST", L"Velmorandix");
    ASSERT_NE(window_, nullptr);
    ::ShowWindow(window_, SW_SHOWNORMAL);
    ::UpdateWindow(window_);
    pump_messages();
    set_main_window(window_);
    load_drawing_resources();
  }
  void TearDown() override {
    set_main_window(nullptr);
    if (window_) ::DestroyWindow(window_);
    pump_messages();
  }

  // Compares the client area with the screen composed at the outer size.
  void expect_window_shows(vx::Screen screen, const BootstrapState* state) {
    RECT outer{};
    ASSERT_TRUE(::GetWindowRect(window_, &outer));
    auto bitmap = vx::compose_screen(vx_test::shared_resources(), screen, state,
                                     outer.right - outer.left, outer.bottom - outer.top);
    ASSERT_NE(bitmap, nullptr);
    vx_test::Pixels composed = vx_test::read_pixels(*bitmap);
    vx_test::Pixels shown = capture_client(window_);
    ASSERT_GT(shown.width, 200);
    ASSERT_GT(shown.height, 90);
    ASSERT_LE(shown.width, composed.width);
    int differing = 0;
    for (int y = 0; y < shown.height; ++y)
      for (int x = 0; x < shown.width; ++x)
        if (vx_test::colour_distance(shown.at(x, y), composed.at(x, y)) > 8) ++differing;
    EXPECT_EQ(differing, 0) << "size " << shown.width << "x" << shown.height << " outer "
                            << composed.width << "x" << composed.height << std::hex
                            << " shown(0,0) " << shown.at(0, 0) << " composed(0,0) "
                            << composed.at(0, 0) << " shown(100,50) " << shown.at(100, 50)
                            << " composed(100,50) " << composed.at(100, 50);
  }

  HWND window_ = nullptr;
};

TEST_F(SplashWindow, PaintersCopyTheComposedScreenToTheClientArea) {
  BootstrapState* const saved = bootstrap_state;
  BootstrapState state;
  vx_test::fill_sample_state(state);
  bootstrap_state = &state;
  paint_connect_screen();
  expect_window_shows(vx::Screen::connect, &state);
  paint_error_screen();
  expect_window_shows(vx::Screen::error, &state);
  paint_update_screen();
  expect_window_shows(vx::Screen::update, &state);
  bootstrap_state = saved;
}

TEST_F(SplashWindow, PainterWithoutAWindowDoesNothing) {
  paint_check_screen();
  set_main_window(nullptr);
  paint_launch_screen();  // must not touch anything
  expect_window_shows(vx::Screen::check, nullptr);
}

}  // namespace
