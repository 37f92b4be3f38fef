// What each splash screen shows and where: texts, positions and the progress
// bar's geometry. No drawing here; app/splash_compose.h draws from this.
//
// Positions are pixels from the top-left corner of the window's client area,
// and each one is the top-left corner of its text.
#pragma once

#include <cstdint>

namespace vx {

enum class Screen { welcome, connect, error, check, update, launch };

struct TextPosition {
  float x;
  float y;
};

struct ScreenLayout {
  // Fixed texts. Null on the error screen, whose two lines come from the
  // shared record; on the update screen `second` is the progress format
  // "...%d...%d" (done MiB, then total MiB).
  const wchar_t* title;
  const wchar_t* second;
  TextPosition title_at;
  TextPosition second_at;
  bool has_progress_bar;
};

// Every screen has a layout; the returned reference lives forever.
const ScreenLayout& screen_layout(Screen screen);

// The gradient spans the window's outer size, from its bottom-left corner to
// its top-right corner.
constexpr int kGradientWidth = 320;
constexpr int kGradientHeight = 148;

// Colours, 0xAARRGGBB.
constexpr uint32_t kDarkColour = 0xFF343434;
constexpr uint32_t kWhiteColour = 0xFFFFFFFF;
constexpr uint32_t kGradientStartColour = 0xFFFBA980;  // peach, bottom-left
constexpr uint32_t kGradientEndColour = 0xFFF7CB6B;    // gold, top-right

constexpr float kTextSizePx = 14.0f;

// The bar: a flat-ended line 10 pixels wide along y 75, from x 27 to 278.
constexpr float kBarLeft = 27.0f;
constexpr float kBarRight = 278.0f;
constexpr float kBarY = 75.0f;
constexpr float kBarPenWidth = 10.0f;

// Right end of the bar's white fill for a percentage, in float as
// 27 + p * 251 / 100. The percentage is read from a number another thread
// writes, so it is held to 0..100 first: the fill never leaves the track.
float bar_fill_end(int32_t percent);

}  // namespace vx
