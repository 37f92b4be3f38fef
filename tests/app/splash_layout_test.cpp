// Layout rules of the splash screens that need no drawing.
#include <gtest/gtest.h>

#include <climits>

#include "app/splash_layout.h"

namespace {

TEST(SplashLayout, FillEndFollowsThePercentageAndStaysOnTheTrack) {
  EXPECT_EQ(vx::bar_fill_end(0), 27.0f);
  EXPECT_EQ(vx::bar_fill_end(50), 152.5f);
  EXPECT_EQ(vx::bar_fill_end(100), 278.0f);
  EXPECT_EQ(vx::bar_fill_end(1), 27.0f + 2.51f);
  // Nonsense from the shared record never leaves the track.
  EXPECT_EQ(vx::bar_fill_end(101), 278.0f);
  EXPECT_EQ(vx::bar_fill_end(INT_MAX), 278.0f);
  EXPECT_EQ(vx::bar_fill_end(-1), 27.0f);
  EXPECT_EQ(vx::bar_fill_end(INT_MIN), 27.0f);
}

}  // namespace
