// Writes the six splash screens as PNG files, composed exactly as the
// program composes them, from the fonts in this program's resources.
//
//   splash_gallery <folder> [<error texts>]
//
// The optional file holds the error screen's title and detail as two UTF-8
// lines; without it the error screen shows the gallery's sample texts.
// Exit code 0 when every file was written.
#include <cstdio>
#include <string>

#include "tests/app/splash_support.h"

namespace {

std::wstring utf8_to_wide(const std::string& text) {
  if (text.empty()) return std::wstring();
  int n = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) {
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n);
  }
  return out;
}

// Reads two lines; false when the file can't be read.
bool read_error_texts(const wchar_t* path, BootstrapState& state) {
  FILE* file = _wfopen(path, L"rb");
  if (!file) return false;
  std::string content;
  char chunk[512];
  size_t got = 0;
  while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) content.append(chunk, got);
  std::fclose(file);
  size_t end = content.find('\n');
  std::string title = content.substr(0, end);
  std::string detail = end == std::string::npos ? std::string() : content.substr(end + 1);
  size_t stop = detail.find_first_of("\r\n");
  if (stop != std::string::npos) detail.erase(stop);
  if (!title.empty() && title.back() == '\r') title.pop_back();
  state.error_title = utf8_to_wide(title);
  state.error_detail = utf8_to_wide(detail);
  return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "usage: splash_gallery <folder> [<error texts>]\n");
    return 2;
  }
  vx_test::GdiplusSession session;
  if (!session.ok()) return 1;
  BootstrapState state;
  vx_test::fill_sample_state(state);
  if (argc == 3 && !read_error_texts(argv[2], state)) {
    std::fprintf(stderr, "splash_gallery: cannot read the error texts\n");
    return 1;
  }
  int failures = 0;
  {
    auto resources = vx_test::resources_from_module();
    for (vx::Screen screen : vx_test::kAllScreens) {
      auto bitmap = vx::compose_screen(*resources, screen, &state, 320, 148);
      std::wstring path = std::wstring(argv[1]) + L"\\" + vx_test::screen_name(screen) + L".png";
      if (!bitmap || !vx_test::save_png(*bitmap, path)) {
        std::fwprintf(stderr, L"splash_gallery: cannot write %ls\n", path.c_str());
        ++failures;
      }
    }
  }
  return failures == 0 ? 0 : 1;
}
