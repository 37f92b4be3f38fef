#include "tests/app/splash_support.h"

#include <algorithm>
#include <cstdlib>

#include "resources/resource_ids.h"

namespace vx_test {

GdiplusSession::GdiplusSession() {
  Gdiplus::GdiplusStartupInput input;
  if (Gdiplus::GdiplusStartup(&token_, &input, nullptr) != Gdiplus::Ok) token_ = 0;
}

GdiplusSession::~GdiplusSession() {
  if (token_) Gdiplus::GdiplusShutdown(token_);
}

Pixels read_pixels(Gdiplus::Bitmap& bitmap) {
  Pixels out;
  const int width = static_cast<int>(bitmap.GetWidth());
  const int height = static_cast<int>(bitmap.GetHeight());
  if (width <= 0 || height <= 0) return out;
  Gdiplus::Rect rect(0, 0, width, height);
  Gdiplus::BitmapData data{};
  if (bitmap.LockBits(&rect, Gdiplus::ImageLockModeRead, PixelFormat32bppARGB, &data) !=
      Gdiplus::Ok) {
    return out;
  }
  out.width = width;
  out.height = height;
  out.rgb.resize(static_cast<size_t>(width) * height);
  for (int y = 0; y < height; ++y) {
    const auto* row = reinterpret_cast<const uint32_t*>(static_cast<const uint8_t*>(data.Scan0) +
                                                        static_cast<ptrdiff_t>(y) * data.Stride);
    for (int x = 0; x < width; ++x) out.rgb[static_cast<size_t>(y) * width + x] = row[x] & 0xFFFFFF;
  }
  bitmap.UnlockBits(&data);
  return out;
}

Pixels load_image(const std::wstring& path) {
  Gdiplus::Bitmap bitmap(path.c_str());
  if (bitmap.GetLastStatus() != Gdiplus::Ok) return Pixels{};
  return read_pixels(bitmap);
}

bool save_png(Gdiplus::Bitmap& bitmap, const std::wstring& path) {
  UINT count = 0;
  UINT bytes = 0;
  if (Gdiplus::GetImageEncodersSize(&count, &bytes) != Gdiplus::Ok || bytes == 0) return false;
  std::vector<uint8_t> storage(bytes);
  auto* encoders = reinterpret_cast<Gdiplus::ImageCodecInfo*>(storage.data());
  if (Gdiplus::GetImageEncoders(count, bytes, encoders) != Gdiplus::Ok) return false;
  for (UINT i = 0; i < count; ++i) {
    if (encoders[i].MimeType && std::wstring(encoders[i].MimeType) == L"image/png") {
      return bitmap.Save(path.c_str(), &encoders[i].Clsid, nullptr) == Gdiplus::Ok;
    }
  }
  return false;
}

int colour_distance(uint32_t a, uint32_t b) {
  int d = std::abs(red(a) - red(b));
  d = std::max(d, std::abs(green(a) - green(b)));
  return std::max(d, std::abs(blue(a) - blue(b)));
}

void fill_sample_state(BootstrapState& state) {
  state.error_title = L"Критическая ошибка";
  state.error_detail = L"Ошибка запуска лаунчера. Код 3.";
  state.progress_percent = 21;
  state.progress_done_mb = 12;
  state.progress_total_mb = 57;
}

const wchar_t* screen_name(vx::Screen screen) {
  switch (screen) {
    case vx::Screen::welcome:
      return L"welcome";
    case vx::Screen::connect:
      return L"connect";
    case vx::Screen::error:
      return L"error";
    case vx::Screen::check:
      return L"check";
    case vx::Screen::update:
      return L"update";
    case vx::Screen::launch:
      return L"launch";
  }
  return L"unknown";
}

std::unique_ptr<vx::DrawingResources> resources_from_module() {
  HMODULE module = ::GetModuleHandleW(nullptr);
  return vx::create_drawing_resources(vx::find_font_resource(module, IDR_FONT_REGULAR),
                                      vx::find_font_resource(module, IDR_FONT_BOLD));
}

std::wstring host_path(const char* path) {
  std::wstring out;
  // Under Wine, drive Z: is the Unix root.
  if (path[0] == '/') out = L"Z:";
  for (const char* p = path; *p; ++p) out += (*p == '/') ? L'\\' : static_cast<wchar_t>(*p);
  return out;
}

}  // namespace vx_test
