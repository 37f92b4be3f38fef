// The composed splash screens, checked pixel by pixel where the layout fixes
// the result, and against the golden images where only a person can judge.
#include <gtest/gtest.h>

#include <climits>
#include <functional>

#include "app/splash_compose.h"
#include "resources/resource_ids.h"
#include "tests/app/splash_environment.h"
#include "tests/app/splash_support.h"

namespace {

using vx::Screen;
using vx_test::is_dark;
using vx_test::is_white;
using vx_test::Pixels;

Pixels compose(Screen screen, const BootstrapState* state,
               const vx::DrawingResources& resources = vx_test::shared_resources(), int width = 320,
               int height = 148) {
  auto bitmap = vx::compose_screen(resources, screen, state, width, height);
  if (!bitmap) return Pixels{};
  return vx_test::read_pixels(*bitmap);
}

Pixels compose_update(int32_t percent, int32_t done, int32_t total) {
  BootstrapState state;
  state.progress_percent = percent;
  state.progress_done_mb = done;
  state.progress_total_mb = total;
  return compose(Screen::update, &state);
}

// Pixels in [x0, x1) x [y0, y1) for which `test` holds.
int count(const Pixels& p, int x0, int y0, int x1, int y1,
          const std::function<bool(uint32_t)>& test) {
  int n = 0;
  for (int y = y0; y < y1; ++y)
    for (int x = x0; x < x1; ++x)
      if (test(p.at(x, y))) ++n;
  return n;
}

// First row in [y0, y1) of the band [x0, x1) holding a pixel for which
// `test` holds, or -1.
int first_row(const Pixels& p, int x0, int y0, int x1, int y1,
              const std::function<bool(uint32_t)>& test) {
  for (int y = y0; y < y1; ++y)
    if (count(p, x0, y, x1, y + 1, test) > 0) return y;
  return -1;
}

int first_column(const Pixels& p, int x0, int y0, int x1, int y1,
                 const std::function<bool(uint32_t)>& test) {
  for (int x = x0; x < x1; ++x)
    if (count(p, x, y0, x + 1, y1, test) > 0) return x;
  return -1;
}

bool same_rows(const Pixels& a, const Pixels& b, int y0, int y1) {
  if (a.width != b.width || a.height != b.height || a.rgb.empty()) return false;
  for (int y = y0; y < y1; ++y)
    for (int x = 0; x < a.width; ++x)
      if (a.at(x, y) != b.at(x, y)) return false;
  return true;
}

// The colour the gradient has at the centre of pixel (x, y): the projection
// of the point onto the line from (0, 148) to (320, 0).
uint32_t expected_gradient(int x, int y) {
  const double dx = 320.0, dy = -148.0;
  double t = ((x + 0.5) * dx + (y + 0.5 - 148.0) * dy) / (dx * dx + dy * dy);
  auto mix = [t](int a, int b) { return static_cast<uint32_t>(a + (b - a) * t + 0.5); };
  return (mix(0xFB, 0xF7) << 16) | (mix(0xA9, 0xCB) << 8) | mix(0x80, 0x6B);
}

TEST(SplashGradient, RunsFromPeachBottomLeftToGoldTopRight) {
  Pixels p = compose(Screen::connect, nullptr);
  ASSERT_EQ(p.width, 320);
  EXPECT_LE(vx_test::colour_distance(p.at(0, 147), 0xFBA980), 3);
  EXPECT_LE(vx_test::colour_distance(p.at(319, 0), 0xF7CB6B), 3);
  // Blended between, constant across the gradient's direction: the top-left
  // and bottom-right corners are not the ends, the centre is half way.
  for (auto [x, y] : {std::pair{0, 0}, {319, 147}, {160, 74}, {300, 100}, {10, 90}}) {
    EXPECT_LE(vx_test::colour_distance(p.at(x, y), expected_gradient(x, y)), 3)
        << "at " << x << "," << y << " got " << std::hex << p.at(x, y);
  }
}

// The bar band is x 27..278, y 70..80; edges may move by one pixel.
void expect_bar(const Pixels& p, int white_until, int dark_from) {
  ASSERT_EQ(p.width, 320);
  for (int y = 71; y < 79; ++y) {
    for (int x = 28; x < 277; ++x) {
      if (x < white_until) {
        EXPECT_EQ(p.at(x, y), 0xFFFFFFu) << "at " << x << "," << y;
      } else if (x >= dark_from) {
        EXPECT_EQ(p.at(x, y), 0x343434u) << "at " << x << "," << y;
      }
    }
  }
  // Around the band only gradient.
  auto ink = [](uint32_t c) { return is_dark(c) || is_white(c); };
  EXPECT_EQ(count(p, 0, 60, 26, 90, ink), 0);
  EXPECT_EQ(count(p, 280, 60, 320, 90, ink), 0);
  EXPECT_EQ(count(p, 0, 60, 320, 69, ink), 0);
  EXPECT_EQ(count(p, 0, 82, 320, 148, ink), 0);
}

TEST(SplashProgressBar, EmptyShowsOnlyTheDarkTrack) {
  Pixels p = compose_update(0, 0, 0);
  expect_bar(p, 28, 28);
  EXPECT_EQ(count(p, 0, 60, 320, 90, is_white), 0);
  // Top and bottom edges of the 10 pixel band.
  EXPECT_EQ(first_row(p, 100, 60, 101, 90, is_dark), 70);
  EXPECT_EQ(first_row(p, 100, 60, 101, 90, is_dark) + count(p, 100, 60, 101, 90, is_dark), 80);
  EXPECT_NEAR(first_column(p, 0, 75, 320, 76, is_dark), 27, 1);
  EXPECT_NEAR(first_column(p, 0, 75, 320, 76, is_dark) + count(p, 0, 75, 320, 76, is_dark), 278, 1);
}

TEST(SplashProgressBar, HalfEndsTheFillAtTheMiddle) {
  Pixels p = compose_update(50, 0, 0);
  // The fill ends at x 152.5: pixel 152 may go either way.
  expect_bar(p, 152, 154);
  EXPECT_NEAR(count(p, 0, 75, 320, 76, is_white), 152.5 - 27, 1.0);
}

TEST(SplashProgressBar, FullCoversTheTrack) {
  Pixels p = compose_update(100, 0, 0);
  expect_bar(p, 277, 277);
  EXPECT_EQ(count(p, 0, 70, 320, 80, is_dark), 0);
}

TEST(SplashProgressBar, PercentOutsideTheRangeStaysOnTheTrack) {
  // The percentage is written by another thread; nonsense must not draw the
  // fill past either end of the track.
  Pixels over = compose_update(250, 0, 0);
  Pixels under = compose_update(-40, 0, 0);
  EXPECT_TRUE(same_rows(over, compose_update(100, 0, 0), 0, 148));
  EXPECT_TRUE(same_rows(under, compose_update(0, 0, 0), 0, 148));
  EXPECT_TRUE(same_rows(compose_update(INT_MAX, 0, 0), over, 0, 148));
  EXPECT_TRUE(same_rows(compose_update(INT_MIN, 0, 0), under, 0, 148));
}

struct Lines {
  int title_y;
  int second_y;
};

Lines lines_of(Screen screen) { return screen == Screen::update ? Lines{20, 39} : Lines{32, 51}; }

TEST(SplashText, EveryScreenDrawsBothLinesAtTheirPlaces) {
  BootstrapState state;
  vx_test::fill_sample_state(state);
  for (Screen screen : vx_test::kAllScreens) {
    SCOPED_TRACE(testing::Message() << "screen " << static_cast<int>(screen));
    Pixels p = compose(screen, &state);
    ASSERT_EQ(p.width, 320);
    const Lines at = lines_of(screen);
    // Bold dark title in its line, regular white text in the next.
    EXPECT_GT(count(p, 24, at.title_y, 320, at.title_y + 18, is_dark), 60);
    EXPECT_GT(count(p, 24, at.second_y, 320, at.second_y + 18, is_white), 40);
    // Nothing left of x 24 or above the title, and the title's ink starts
    // just below its top-left corner.
    EXPECT_EQ(count(p, 0, 0, 24, 148, [](uint32_t c) { return is_dark(c) || is_white(c); }), 0);
    EXPECT_EQ(count(p, 0, 0, 320, at.title_y, [](uint32_t c) { return is_dark(c) || is_white(c); }),
              0);
    EXPECT_NEAR(first_row(p, 0, 0, 320, 148, is_dark), at.title_y + 3, 3);
    EXPECT_NEAR(first_column(p, 0, 0, 320, at.second_y, is_dark), 26, 2);
    EXPECT_NEAR(first_row(p, 0, 0, 320, 148, is_white), at.second_y + 3, 3);
    // No white in the title's line, no dark in the second line's.
    EXPECT_EQ(count(p, 0, at.title_y, 320, at.second_y, is_white), 0);
    EXPECT_EQ(count(p, 0, at.second_y, 320, at.second_y + 18, is_dark), 0);
    if (screen != Screen::update) {
      EXPECT_EQ(count(p, 0, 70, 320, 80, is_dark), 0) << "a bar off the update screen";
    }
  }
}

TEST(SplashText, ErrorScreenShowsTheRecordTextsLikeFixedOnes) {
  // The error lines come from the record but are set exactly like the fixed
  // lines of the other screens.
  BootstrapState state;
  state.error_title = L"ПРИВЕТСТВУЮ!";
  state.error_detail = L"Подготовка...";
  EXPECT_TRUE(same_rows(compose(Screen::error, &state), compose(Screen::welcome, nullptr), 0, 148));
}

TEST(SplashText, ErrorTextsAreDrawnVerbatimNeverAsAFormat) {
  BootstrapState one;
  one.error_title = L"%";
  one.error_detail = L"%s%s%s%s%n%n";
  BootstrapState two;
  two.error_title = L"%%";
  two.error_detail = L"%s%s%s%s%n%n";
  Pixels a = compose(Screen::error, &one);
  Pixels b = compose(Screen::error, &two);
  ASSERT_EQ(a.width, 320);
  ASSERT_EQ(b.width, 320);
  // "%%" as a format would print one "%", the same as the first title.
  EXPECT_FALSE(same_rows(a, b, 32, 50));
  EXPECT_GT(count(b, 0, 32, 320, 50, is_dark), count(a, 0, 32, 320, 50, is_dark));
}

TEST(SplashText, ErrorScreenWithoutARecordIsBareGradient) {
  Pixels p = compose(Screen::error, nullptr);
  ASSERT_EQ(p.width, 320);
  EXPECT_EQ(count(p, 0, 0, 320, 148, [](uint32_t c) { return is_dark(c) || is_white(c); }), 0);
}

TEST(SplashProgressLine, FormatsDoneThenTotal) {
  EXPECT_EQ(vx::progress_line(12, 57), L"Прогресс: 12mb из 57mb");
  EXPECT_EQ(vx::progress_line(0, 0), L"Прогресс: 0mb из 0mb");
  EXPECT_EQ(vx::progress_line(INT_MIN, INT_MAX), L"Прогресс: -2147483648mb из 2147483647mb");
}

TEST(SplashProgressLine, UpdateScreenShowsTheNumbers) {
  Pixels small = compose_update(0, 0, 0);
  // A download under 1 MiB: the line stays "0mb из 0mb" while the bar moves.
  Pixels moved = compose_update(60, 0, 0);
  EXPECT_TRUE(same_rows(small, moved, 0, 60));
  EXPECT_FALSE(same_rows(small, moved, 70, 80));
  // Other numbers change the second line only.
  Pixels numbers = compose_update(0, 12, 57);
  EXPECT_TRUE(same_rows(small, numbers, 0, 38));
  EXPECT_FALSE(same_rows(small, numbers, 39, 58));
  EXPECT_TRUE(same_rows(small, numbers, 60, 148));
}

// Pixels that are text ink of one kind or the other.
int ink(const Pixels& p, int y0, int y1, bool (*test)(uint32_t)) {
  return count(p, 0, y0, 320, y1, test);
}

TEST(SplashFonts, MissingRegularFontLeavesOnlyItsTextsOut) {
  HMODULE module = ::GetModuleHandleW(nullptr);
  auto resources =
      vx::create_drawing_resources(vx::FontBytes{}, vx::find_font_resource(module, IDR_FONT_BOLD));
  ASSERT_TRUE(resources);
  EXPECT_FALSE(resources->body_font_ok);
  EXPECT_TRUE(resources->title_font_ok);
  BootstrapState state;
  vx_test::fill_sample_state(state);
  for (Screen screen : {Screen::connect, Screen::error, Screen::update}) {
    Pixels p = compose(screen, &state, *resources);
    Pixels full = compose(screen, &state);
    ASSERT_EQ(p.width, 320);
    const Lines at = lines_of(screen);
    EXPECT_EQ(ink(p, 0, 69, is_white), 0);
    EXPECT_TRUE(same_rows(p, full, 0, at.second_y));         // title and gradient as ever
    EXPECT_TRUE(same_rows(p, full, at.second_y + 20, 148));  // bar as ever
  }
}

TEST(SplashFonts, MissingOrBrokenBoldFontLeavesOnlyTheTitleOut) {
  HMODULE module = ::GetModuleHandleW(nullptr);
  const char junk[] = "this is not a TrueType font, whatever its size says";
  for (vx::FontBytes bold : {vx::FontBytes{}, vx::FontBytes{junk, sizeof junk}}) {
    auto resources =
        vx::create_drawing_resources(vx::find_font_resource(module, IDR_FONT_REGULAR), bold);
    EXPECT_FALSE(resources->title_font_ok);
    EXPECT_TRUE(resources->body_font_ok);
    BootstrapState state;
    vx_test::fill_sample_state(state);
    Pixels p = compose(Screen::check, &state, *resources);
    Pixels full = compose(Screen::check, &state);
    ASSERT_EQ(p.width, 320);
    EXPECT_EQ(ink(p, 0, 148, is_dark), 0);
    EXPECT_TRUE(same_rows(p, full, 51, 148));
    EXPECT_LE(vx_test::colour_distance(p.at(0, 147), 0xFBA980), 3);
  }
}

TEST(SplashFonts, NoFontsAtAllStillPaintTheGradientAndBar) {
  auto resources = vx::create_drawing_resources(vx::FontBytes{}, vx::FontBytes{});
  Pixels p = compose(Screen::update, nullptr, *resources);
  Pixels full = compose(Screen::update, nullptr);
  ASSERT_EQ(p.width, 320);
  EXPECT_EQ(ink(p, 0, 69, is_dark) + ink(p, 0, 69, is_white), 0);
  EXPECT_TRUE(same_rows(p, full, 69, 148));
}

TEST(SplashBackBuffer, ImpossibleSizesMakeNoBitmap) {
  const auto& r = vx_test::shared_resources();
  EXPECT_EQ(vx::compose_screen(r, Screen::welcome, nullptr, 0, 148), nullptr);
  EXPECT_EQ(vx::compose_screen(r, Screen::welcome, nullptr, 320, 0), nullptr);
  EXPECT_EQ(vx::compose_screen(r, Screen::welcome, nullptr, -320, 148), nullptr);
  EXPECT_EQ(vx::compose_screen(r, Screen::welcome, nullptr, 320, -148), nullptr);
  EXPECT_EQ(vx::compose_screen(r, Screen::welcome, nullptr, INT_MAX, INT_MAX), nullptr);
  auto bitmap = vx::compose_screen(r, Screen::welcome, nullptr, 320, 148);
  ASSERT_NE(bitmap, nullptr);
  EXPECT_EQ(bitmap->GetPixelFormat(), PixelFormat32bppRGB);
  EXPECT_EQ(bitmap->GetWidth(), 320u);
  EXPECT_EQ(bitmap->GetHeight(), 148u);
}

}  // namespace
