#include "base/timing.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace vx {
namespace {

void real_sleep(uint32_t milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

std::atomic<SleepFunction> current_sleep{&real_sleep};

}  // namespace

void sleep_ms(uint32_t milliseconds) { current_sleep.load()(milliseconds); }

void set_sleep_function(SleepFunction function) {
  current_sleep.store(function ? function : &real_sleep);
}

}  // namespace vx
