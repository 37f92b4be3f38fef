#include "app/splash.h"

#include <windows.h>

#include <memory>

#include "app/bootstrap_state.h"
#include "app/splash_compose.h"
#include "app/window.h"
#include "base/win_raii.h"
#include "resources/resource_ids.h"

namespace {

// Created once by load_drawing_resources and never destroyed: nothing may
// touch GDI+ after the message loop has shut it down, not even a destructor
// at process exit.
vx::DrawingResources* drawing_resources = nullptr;

void present_screen(vx::Screen screen) {
  HWND window = main_window();
  if (!window || !drawing_resources) return;
  RECT outer{};
  if (!::GetWindowRect(window, &outer)) return;
  const int width = outer.right - outer.left;
  const int height = outer.bottom - outer.top;
  // Only the error and update screens read the record; the others run while
  // stage 1 may still be publishing it, so they don't even load the pointer.
  const BootstrapState* state =
      (screen == vx::Screen::error || screen == vx::Screen::update) ? bootstrap_state : nullptr;
  // A back buffer that cannot be made leaves the window as it was.
  std::unique_ptr<Gdiplus::Bitmap> back_buffer =
      vx::compose_screen(*drawing_resources, screen, state, width, height);
  if (!back_buffer) return;
  HDC device = ::GetDC(window);
  if (!device) return;
  auto release = vx::make_scope_exit([&] { ::ReleaseDC(window, device); });
  // The client area is smaller than the outer rectangle; what falls outside
  // it is clipped. One copy, so the window never shows half a frame.
  Gdiplus::Graphics target(device);
  target.DrawImage(back_buffer.get(), 0, 0, width, height);
}

}  // namespace

void load_drawing_resources() {
  if (drawing_resources) return;
  HMODULE module = ::GetModuleHandleW(nullptr);
  drawing_resources = vx::create_drawing_resources(vx::find_font_resource(module, IDR_FONT_REGULAR),
                                                   vx::find_font_resource(module, IDR_FONT_BOLD))
                          .release();
}

void paint_welcome_screen() { present_screen(vx::Screen::welcome); }
void paint_connect_screen() { present_screen(vx::Screen::connect); }
void paint_error_screen() { present_screen(vx::Screen::error); }
void paint_check_screen() { present_screen(vx::Screen::check); }
void paint_update_screen() { present_screen(vx::Screen::update); }
void paint_launch_screen() { present_screen(vx::Screen::launch); }
