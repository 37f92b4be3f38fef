// Every delay of the program in one place.
//
// The product always sleeps for real. Unit tests swap the sleep function so
// that sequences with 5 s, 10 s and 150 s waits finish in milliseconds; there
// is no command-line or environment switch that changes them.
#pragma once

#include <cstdint>

namespace vx {

constexpr uint32_t kRepaintPeriodMs = 30;   // every screen's timer
constexpr uint32_t kErrorScreenMs = 5000;   // error screen, then close
constexpr uint32_t kUpdateHoldMs = 10000;   // update screen after a download
constexpr uint32_t kLaunchPauseMs = 1000;   // pause before starting the launcher
constexpr uint32_t kMarkerPollMs = 1000;    // one pass of the marker wait
constexpr int32_t kMarkerBudget = 15000;    // the marker wait's budget...
constexpr int32_t kMarkerBudgetStep = 100;  // ...falls this much per pass (150 passes)
constexpr uint32_t kStageRetryMs = 100;     // before the one retry of a stage thread

using SleepFunction = void (*)(uint32_t milliseconds);

// Sleeps for the given time through the current sleep function.
void sleep_ms(uint32_t milliseconds);

// Replaces the sleep function (nullptr restores the real one). Tests only.
void set_sleep_function(SleepFunction function);

}  // namespace vx
