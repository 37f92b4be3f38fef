// The window: placement, the timer-to-painter table and destruction.
#include "app/window.h"

#include <gtest/gtest.h>

#include <atomic>

#include "app/bootstrap_state.h"
#include "app/splash.h"
#include "app/stages.h"
#include "base/win_raii.h"

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

std::atomic<int> threads_asked{0};
bool count_thread(int32_t) { return ++threads_asked, false; }
DWORD WINAPI run_app(LPVOID) { return run_application(GetModuleHandleW(nullptr), SW_HIDE); }

TEST(WindowStartUp, WithoutAWindowItEndsAtOnceAndStartsNoStage) {
  StageHooks stages = default_stage_hooks();
  stages.start_thread = &count_thread;
  set_stage_hooks(stages);
  WindowHooks no_class = default_window_hooks(), no_window = default_window_hooks();
  no_class.register_class = [](HINSTANCE, const wchar_t*) -> ATOM { return 0; };
  no_window.register_class = [](HINSTANCE, const wchar_t*) -> ATOM { return 1; };
  no_window.create_window = [](HINSTANCE, const wchar_t*, const wchar_t*) -> HWND {
    return nullptr;
  };
  for (const WindowHooks& hooks : {no_class, no_window}) {
    threads_asked = 0;
    set_window_hooks(hooks);
    DWORD id = 0, code = 1;
    vx::UniqueNullHandle app(CreateThread(nullptr, 0, &run_app, nullptr, 0, &id));
    const bool ended = WaitForSingleObject(app.get(), 5000) == WAIT_OBJECT_0;
    if (!ended) PostThreadMessageW(id, WM_QUIT, 0, 0);  // a loop without a window
    WaitForSingleObject(app.get(), 5000);
    GetExitCodeThread(app.get(), &code);
    EXPECT_TRUE(ended);
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(threads_asked.load(), 0);
  }
  set_window_hooks(default_window_hooks());
  set_stage_hooks(default_stage_hooks());
}

}  // namespace
