#include "app/splash_compose.h"

#include <climits>

#include "app/bootstrap_state.h"

namespace vx {
namespace {

// Longest stretch of a record text handed to the text drawer; far more than
// the window can show.
constexpr size_t kMaxDrawnChars = 1024;

bool add_font(Gdiplus::PrivateFontCollection& collection, FontBytes font) {
  if (!font.data || font.size == 0 || font.size > static_cast<size_t>(INT_MAX)) return false;
  return collection.AddMemoryFont(font.data, static_cast<INT>(font.size)) == Gdiplus::Ok;
}

// The first family of `collection`; an empty one when it holds none.
std::unique_ptr<Gdiplus::FontFamily> first_family(const Gdiplus::PrivateFontCollection& collection,
                                                  bool& found) {
  auto family = std::make_unique<Gdiplus::FontFamily>();
  INT count = 0;
  found = collection.GetFamilies(1, family.get(), &count) == Gdiplus::Ok && count == 1 &&
          family->GetLastStatus() == Gdiplus::Ok && family->IsAvailable();
  return family;
}

void draw_text(Gdiplus::Graphics& graphics, const wchar_t* text, size_t length,
               const Gdiplus::Font& font, bool font_ok, TextPosition at,
               const Gdiplus::Brush& brush) {
  // A font that did not load would let the library fall back to some other
  // face; its texts are left out instead.
  if (!font_ok || !text || length == 0) return;
  if (length > kMaxDrawnChars) length = kMaxDrawnChars;
  graphics.DrawString(text, static_cast<INT>(length), &font, Gdiplus::PointF(at.x, at.y), &brush);
}

}  // namespace

FontBytes find_font_resource(HMODULE module, int resource_id) {
  FontBytes bytes;
  HRSRC info = ::FindResourceW(module, MAKEINTRESOURCEW(resource_id), L"BINARY");
  if (!info) return bytes;
  DWORD size = ::SizeofResource(module, info);
  if (size == 0) return bytes;
  HGLOBAL handle = ::LoadResource(module, info);
  if (!handle) return bytes;
  const void* data = ::LockResource(handle);
  if (!data) return bytes;
  bytes.data = data;
  bytes.size = size;
  return bytes;
}

std::unique_ptr<DrawingResources> create_drawing_resources(FontBytes regular, FontBytes bold) {
  using namespace Gdiplus;
  auto r = std::make_unique<DrawingResources>();
  r->regular_fonts = std::make_unique<PrivateFontCollection>();
  r->bold_fonts = std::make_unique<PrivateFontCollection>();
  const bool regular_added = add_font(*r->regular_fonts, regular);
  const bool bold_added = add_font(*r->bold_fonts, bold);

  bool regular_found = false;
  bool bold_found = false;
  r->regular_family = first_family(*r->regular_fonts, regular_found);
  r->bold_family = first_family(*r->bold_fonts, bold_found);

  r->title_font =
      std::make_unique<Font>(r->bold_family.get(), kTextSizePx, FontStyleBold, UnitPixel);
  r->body_font =
      std::make_unique<Font>(r->regular_family.get(), kTextSizePx, FontStyleRegular, UnitPixel);
  r->title_font_ok = bold_added && bold_found && r->title_font->GetLastStatus() == Ok &&
                     r->title_font->IsAvailable();
  r->body_font_ok = regular_added && regular_found && r->body_font->GetLastStatus() == Ok &&
                    r->body_font->IsAvailable();

  r->dark_brush = std::make_unique<SolidBrush>(Color(kDarkColour));
  r->white_brush = std::make_unique<SolidBrush>(Color(kWhiteColour));
  r->background_gradient =
      std::make_unique<LinearGradientBrush>(PointF(0.0f, static_cast<REAL>(kGradientHeight)),
                                            PointF(static_cast<REAL>(kGradientWidth), 0.0f),
                                            Color(kGradientStartColour), Color(kGradientEndColour));
  r->background_gradient->SetWrapMode(WrapModeTile);
  r->bar_track_brush = std::make_unique<SolidBrush>(Color(kDarkColour));
  r->bar_fill_brush = std::make_unique<SolidBrush>(Color(kWhiteColour));
  r->bar_track_pen = std::make_unique<Pen>(r->bar_track_brush.get(), kBarPenWidth);
  r->bar_fill_pen = std::make_unique<Pen>(r->bar_fill_brush.get(), kBarPenWidth);
  return r;
}

std::wstring progress_line(int32_t done_mb, int32_t total_mb) {
  // Two 32-bit numbers need at most 11 characters each beside the fixed
  // text; wsprintfW writes at most 1024 characters in any case.
  wchar_t buffer[1025] = {};
  ::wsprintfW(buffer, screen_layout(Screen::update).second, static_cast<int>(done_mb),
              static_cast<int>(total_mb));
  buffer[1024] = L'\0';
  return buffer;
}

std::unique_ptr<Gdiplus::Bitmap> compose_screen(const DrawingResources& resources, Screen screen,
                                                const BootstrapState* state, int width,
                                                int height) {
  using namespace Gdiplus;
  if (width < 1 || height < 1 || width > kMaxBackBufferSide || height > kMaxBackBufferSide) {
    return nullptr;
  }
  auto bitmap = std::make_unique<Bitmap>(width, height, PixelFormat32bppRGB);
  if (!bitmap || bitmap->GetLastStatus() != Ok) return nullptr;

  // Texts are copied out of the record first; the numbers are read once each
  // so that one frame uses one value of each.
  const ScreenLayout& layout = screen_layout(screen);
  std::wstring title = layout.title ? layout.title : L"";
  std::wstring second = layout.second ? layout.second : L"";
  int32_t percent = 0;
  if (screen == Screen::error) {
    title = state ? state->error_title : std::wstring();
    second = state ? state->error_detail : std::wstring();
  } else if (screen == Screen::update) {
    int32_t done = state ? state->progress_done_mb.load() : 0;
    int32_t total = state ? state->progress_total_mb.load() : 0;
    percent = state ? state->progress_percent.load() : 0;
    second = progress_line(done, total);
  }

  Graphics graphics(bitmap.get());
  if (graphics.GetLastStatus() != Ok) return nullptr;
  graphics.FillRectangle(resources.background_gradient.get(), 0, 0, width, height);
  draw_text(graphics, title.c_str(), title.size(), *resources.title_font, resources.title_font_ok,
            layout.title_at, *resources.dark_brush);
  draw_text(graphics, second.c_str(), second.size(), *resources.body_font, resources.body_font_ok,
            layout.second_at, *resources.white_brush);
  if (layout.has_progress_bar) {
    graphics.DrawLine(resources.bar_track_pen.get(), kBarLeft, kBarY, kBarRight, kBarY);
    graphics.DrawLine(resources.bar_fill_pen.get(), kBarLeft, kBarY, bar_fill_end(percent), kBarY);
  }
  return bitmap;
}

}  // namespace vx
