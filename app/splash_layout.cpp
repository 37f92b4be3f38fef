#include "app/splash_layout.h"

namespace vx {
namespace {

constexpr TextPosition kTitleAt{24.0f, 32.0f};
constexpr TextPosition kSecondAt{24.0f, 51.0f};
// The update screen lifts both lines to make room for the bar.
constexpr TextPosition kUpdateTitleAt{24.0f, 20.0f};
constexpr TextPosition kUpdateSecondAt{24.0f, 39.0f};

const ScreenLayout kWelcome{L"ПРИВЕТСТВУЮ!", L"Подготовка...", kTitleAt, kSecondAt, false};
const ScreenLayout kConnect{L"ПОЖАЛУЙСТА, ПОДОЖДИТЕ.", L"Идет подключение", kTitleAt, kSecondAt,
                            false};
const ScreenLayout kError{nullptr, nullptr, kTitleAt, kSecondAt, false};
const ScreenLayout kCheck{L"ПОИСК ОБНОВЛЕНИЙ", L"Проверка файлов...", kTitleAt, kSecondAt, false};
const ScreenLayout kUpdate{L"ОБНОВЛЕНИЕ", L"Прогресс: %dmb из %dmb", kUpdateTitleAt,
                           kUpdateSecondAt, true};
const ScreenLayout kLaunch{L"ВСЕ ОБНОВЛЕНО", L"Запуск лаунчера...", kTitleAt, kSecondAt, false};

}  // namespace

const ScreenLayout& screen_layout(Screen screen) {
  switch (screen) {
    case Screen::welcome:
      return kWelcome;
    case Screen::connect:
      return kConnect;
    case Screen::error:
      return kError;
    case Screen::check:
      return kCheck;
    case Screen::update:
      return kUpdate;
    case Screen::launch:
      return kLaunch;
  }
  return kWelcome;
}

float bar_fill_end(int32_t percent) {
  if (percent < 0) percent = 0;
  if (percent > 100) percent = 100;
  return static_cast<float>(percent) * 251.0f / 100.0f + 27.0f;
}

}  // namespace vx
