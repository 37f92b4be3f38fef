// Each screen against its golden image, made under Wine from the real fonts
// by scripts/regen_golden.sh. The comparison tolerates small differences in
// text smoothing but not a missing, moved or recoloured line.
#include <gtest/gtest.h>

#include "app/splash_compose.h"
#include "tests/app/splash_environment.h"
#include "tests/app/splash_support.h"

namespace {

// A pixel differs when one channel is off by more than this...
constexpr int kChannelTolerance = 40;
// ...and a screen differs when more pixels than this differ. The shortest
// line of text has several hundred pixels of ink.
constexpr int kDifferingPixelsAllowed = 120;

std::wstring golden_path(vx::Screen screen) {
  return vx_test::host_path(VX_GOLDEN_DIR) + L"\\" + vx_test::screen_name(screen) + L".png";
}

int differing_pixels(const vx_test::Pixels& a, const vx_test::Pixels& b) {
  int n = 0;
  for (size_t i = 0; i < a.rgb.size(); ++i)
    if (vx_test::colour_distance(a.rgb[i], b.rgb[i]) > kChannelTolerance) ++n;
  return n;
}

TEST(SplashGolden, EveryScreenMatchesItsImage) {
  BootstrapState state;
  vx_test::fill_sample_state(state);
  for (vx::Screen screen : vx_test::kAllScreens) {
    SCOPED_TRACE(testing::Message() << "screen " << static_cast<int>(screen));
    vx_test::Pixels golden = vx_test::load_image(golden_path(screen));
    ASSERT_EQ(golden.width, 320) << "golden image missing; run scripts/regen_golden.sh";
    ASSERT_EQ(golden.height, 148);
    auto bitmap = vx::compose_screen(vx_test::shared_resources(), screen, &state, 320, 148);
    ASSERT_NE(bitmap, nullptr);
    vx_test::Pixels composed = vx_test::read_pixels(*bitmap);
    EXPECT_LE(differing_pixels(golden, composed), kDifferingPixelsAllowed);
  }
}

TEST(SplashGolden, TheComparisonSeesAMissingLine) {
  // The tolerance must not hide a screen whose second line is gone.
  BootstrapState state;
  vx_test::fill_sample_state(state);
  vx_test::Pixels golden = vx_test::load_image(golden_path(vx::Screen::error));
  ASSERT_EQ(golden.width, 320);
  state.error_detail = L"Код 3.";
  auto bitmap =
      vx::compose_screen(vx_test::shared_resources(), vx::Screen::error, &state, 320, 148);
  ASSERT_NE(bitmap, nullptr);
  EXPECT_GT(differing_pixels(golden, vx_test::read_pixels(*bitmap)), kDifferingPixelsAllowed);
}

}  // namespace
