// Shared by the splash tests and the gallery tool: GDI+ start-up, pixel
// access, PNG files and the sample record each screen is shown with.
#pragma once

// clang-format off
#include <windows.h>
#include <objidl.h>
#include <gdiplus.h>
// clang-format on

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "app/bootstrap_state.h"
#include "app/splash_compose.h"

namespace vx_test {

// GDI+ started for the lifetime of the object.
class GdiplusSession {
 public:
  GdiplusSession();
  ~GdiplusSession();
  GdiplusSession(const GdiplusSession&) = delete;
  GdiplusSession& operator=(const GdiplusSession&) = delete;
  bool ok() const { return token_ != 0; }

 private:
  ULONG_PTR token_ = 0;
};

// A copy of a bitmap's pixels as 0xRRGGBB.
struct Pixels {
  int width = 0;
  int height = 0;
  std::vector<uint32_t> rgb;
  uint32_t at(int x, int y) const { return rgb[static_cast<size_t>(y) * width + x]; }
};

// Empty Pixels when the bitmap can't be read.
Pixels read_pixels(Gdiplus::Bitmap& bitmap);

// Reads a PNG (or any format the library decodes); empty Pixels on failure.
Pixels load_image(const std::wstring& path);

// Writes a PNG; false on failure.
bool save_png(Gdiplus::Bitmap& bitmap, const std::wstring& path);

inline int red(uint32_t c) { return static_cast<int>((c >> 16) & 0xFF); }
inline int green(uint32_t c) { return static_cast<int>((c >> 8) & 0xFF); }
inline int blue(uint32_t c) { return static_cast<int>(c & 0xFF); }
// Largest per-channel difference.
int colour_distance(uint32_t a, uint32_t b);

// Dark text or track: every channel well below the gradient's red (>= 247).
inline bool is_dark(uint32_t c) { return red(c) < 0x80 && green(c) < 0x80 && blue(c) < 0x80; }
// White text or fill: the gradient never has green or blue above 203.
inline bool is_white(uint32_t c) { return red(c) > 0xF0 && green(c) > 0xF0 && blue(c) > 0xF0; }

// The texts and numbers each screen is shown with in the gallery: the error
// screen with a launch failure, the update screen at 12 of 57 MiB.
void fill_sample_state(BootstrapState& state);

// File name stem of a screen: "welcome", "connect", ...
const wchar_t* screen_name(vx::Screen screen);

constexpr vx::Screen kAllScreens[] = {vx::Screen::welcome, vx::Screen::connect, vx::Screen::error,
                                      vx::Screen::check,   vx::Screen::update,  vx::Screen::launch};

// Resources made from the fonts in this program's own resources.
std::unique_ptr<vx::DrawingResources> resources_from_module();

// A Windows path for a path given at build time, which may be a Unix path
// when the program runs under Wine.
std::wstring host_path(const char* path);

}  // namespace vx_test
