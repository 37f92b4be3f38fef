// Drawing the splash screens into an off-screen bitmap, apart from any window.
//
// The painters in app/splash.h present what these functions compose. Tests
// compose screens directly and inspect the pixels.
//
// Every function here needs a started GDI+ and runs on one thread at a time
// (the window thread in the product).
#pragma once

// clang-format off
#include <windows.h>
#include <objidl.h>
#include <gdiplus.h>
// clang-format on

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "app/splash_layout.h"

struct BootstrapState;

namespace vx {

// A font file held in memory. Empty (null or size 0) when it could not be had.
struct FontBytes {
  const void* data = nullptr;
  size_t size = 0;
};

// The bytes of a BINARY resource of `module`, or empty when it is missing,
// empty or does not load. Resource memory stays valid while the module is
// loaded, which for the program's own module is until the process ends.
FontBytes find_font_resource(HMODULE module, int resource_id);

// Fonts, brushes, gradient and pens shared by all screens. GDI+ objects, so
// an instance must be destroyed before GDI+ is shut down; the product's
// instance is never destroyed at all.
struct DrawingResources {
  std::unique_ptr<Gdiplus::PrivateFontCollection> regular_fonts;
  std::unique_ptr<Gdiplus::PrivateFontCollection> bold_fonts;
  std::unique_ptr<Gdiplus::FontFamily> regular_family;
  std::unique_ptr<Gdiplus::FontFamily> bold_family;
  std::unique_ptr<Gdiplus::Font> title_font;
  std::unique_ptr<Gdiplus::Font> body_font;
  std::unique_ptr<Gdiplus::SolidBrush> dark_brush;
  std::unique_ptr<Gdiplus::SolidBrush> white_brush;
  std::unique_ptr<Gdiplus::LinearGradientBrush> background_gradient;
  std::unique_ptr<Gdiplus::SolidBrush> bar_track_brush;
  std::unique_ptr<Gdiplus::SolidBrush> bar_fill_brush;
  std::unique_ptr<Gdiplus::Pen> bar_track_pen;
  std::unique_ptr<Gdiplus::Pen> bar_fill_pen;
  // Whether each font loaded; a text whose font did not is left undrawn.
  bool title_font_ok = false;
  bool body_font_ok = false;
};

// Creates every resource, in the order fonts, families, fonts, brushes,
// gradient, pens. An empty or unusable font file leaves its font unusable
// (and its texts undrawn) and nothing else. Never returns null.
std::unique_ptr<DrawingResources> create_drawing_resources(FontBytes regular, FontBytes bold);

// The update screen's second line, "Прогресс: <done>mb из <total>mb", with
// both numbers as signed decimals.
std::wstring progress_line(int32_t done_mb, int32_t total_mb);

// Largest back buffer side accepted; the window is 320 x 148.
constexpr int kMaxBackBufferSide = 4096;

// Composes `screen` into a new width x height bitmap, 32 bits per pixel
// without alpha: gradient, title, second line and, on the update screen, the
// bar. The error screen's texts and the update screen's numbers are read from
// `state`; a null state reads as empty texts and zeros. Returns null when the
// bitmap cannot be made (a side below 1 or above kMaxBackBufferSide, or no
// memory).
std::unique_ptr<Gdiplus::Bitmap> compose_screen(const DrawingResources& resources, Screen screen,
                                                const BootstrapState* state, int width, int height);

}  // namespace vx
