// The window: placement, the timer-to-painter table and destruction.
#include "app/window.h"

#include <gtest/gtest.h>

#include "app/bootstrap_state.h"
#include "app/splash.h"

namespace {

TEST(WindowPlacement, SitsLeftOfAndAboveCentre) {
  POINT p = window_position(1920, 1040);
  EXPECT_EQ(p.x, 773);
  EXPECT_EQ(p.y, 420);
  // Odd sizes halve toward zero.
  p = window_position(1367, 769);
  EXPECT_EQ(p.x, 683 - 187);
  EXPECT_EQ(p.y, 384 - 100);
}

TEST(WindowTimers, EachIdentifierNamesItsPainter) {
  EXPECT_EQ(painter_for_timer(1025), &paint_connect_screen);
  EXPECT_EQ(painter_for_timer(1026), &paint_error_screen);
  EXPECT_EQ(painter_for_timer(1027), &paint_check_screen);
  EXPECT_EQ(painter_for_timer(1028), &paint_update_screen);
  EXPECT_EQ(painter_for_timer(1029), &paint_launch_screen);
  EXPECT_EQ(painter_for_timer(1024), nullptr);
  EXPECT_EQ(painter_for_timer(1030), nullptr);
  EXPECT_EQ(painter_for_timer(0), nullptr);
}

class RealWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    instance_ = GetModuleHandleW(nullptr);
    register_window_class(instance_, L"VELMORANDIX_TEST");
    window_ = create_main_window(instance_, L"VELMORANDIX_TEST", L"Velmorandix");
    ASSERT_NE(window_, nullptr);
  }
  void TearDown() override {
    if (IsWindow(window_)) DestroyWindow(window_);
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    }
  }
  HINSTANCE instance_ = nullptr;
  HWND window_ = nullptr;
};

TEST_F(RealWindow, HasTheFixedSizeStyleAndPlace) {
  RECT r;
  GetWindowRect(window_, &r);
  EXPECT_EQ(r.right - r.left, 320);
  EXPECT_EQ(r.bottom - r.top, 148);
  POINT p = window_position(GetSystemMetrics(SM_CXFULLSCREEN), GetSystemMetrics(SM_CYFULLSCREEN));
  EXPECT_EQ(r.left, p.x);
  EXPECT_EQ(r.top, p.y);
  LONG style = GetWindowLongW(window_, GWL_STYLE);
  EXPECT_TRUE(style & WS_CAPTION);
  EXPECT_TRUE(style & WS_SYSMENU);
  EXPECT_TRUE(style & WS_MINIMIZEBOX);
  EXPECT_FALSE(style & WS_MAXIMIZEBOX);
  EXPECT_FALSE(style & WS_THICKFRAME);
}

TEST_F(RealWindow, UnknownTimerAndCommandPaintNothingAndReturnZero) {
  EXPECT_EQ(SendMessageW(window_, WM_TIMER, 4242, 0), 0);
  EXPECT_EQ(SendMessageW(window_, WM_COMMAND, 1, 0), 0);
}

TEST_F(RealWindow, DestroyingTheWindowRequestsShutdownAndQuits) {
  shutdown_requested.store(0);
  DestroyWindow(window_);
  EXPECT_EQ(shutdown_requested.load(), 1);
  MSG msg;
  ASSERT_TRUE(PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
  EXPECT_EQ(msg.wParam, 0u);
  shutdown_requested.store(0);
}

TEST_F(RealWindow, CloseRequestDestroysTheWindow) {
  shutdown_requested.store(0);
  SendMessageW(window_, WM_CLOSE, 0, 0);
  EXPECT_FALSE(IsWindow(window_));
  EXPECT_EQ(shutdown_requested.load(), 1);
  shutdown_requested.store(0);
}

}  // namespace
