// The chain of five stage threads.
//
// Each stage runs on a thread of its own, shows its screen through a repaint
// timer on the main window, does its work, stops its timer and, as its last
// act, starts the thread of the next stage. Threads are never joined.
#pragma once

#include <cstdint>

// Timer identifiers; each one names the screen its ticks paint.
constexpr uint32_t kConnectTimer = 1025;  // stage 1
constexpr uint32_t kErrorTimer = 1026;    // stage 3
constexpr uint32_t kCheckTimer = 1027;    // stage 2
constexpr uint32_t kUpdateTimer = 1028;   // stage 4
constexpr uint32_t kLaunchTimer = 1029;   // stage 5

// Starts a new, unjoined thread running stage 1 to 5. Any other number does
// nothing. Returns whether a thread was started.
bool start_stage(int32_t stage);

// Starts stage 1 once the window is up. Like every transition: a thread that
// the system refuses is asked for once more after 100 ms, and when that fails
// too the close request ends the program rather than leave a frozen screen.
void start_first_stage();

// The error screen's texts after an internal error (internal_error_reported).
constexpr wchar_t kInternalErrorTitle[] = L"Критическая ошибка";
constexpr wchar_t kInternalErrorDetail[] = L"Внутренняя ошибка. Код X1.";

// The stage procedures. Each takes nothing and returns 0. Run on the thread
// that start_stage makes, anything that escapes one is caught there: the
// stage's timer stops and the X1 error screen follows (after the error stage
// itself, the close request).
uint32_t connect_stage();  // 1: fetch the manifest
uint32_t check_stage();    // 2: check the install
uint32_t error_stage();    // 3: show the error for a while, then close
uint32_t update_stage();   // 4: download one stale item
uint32_t launch_stage();   // 5: start the launcher and wait for its marker

// What a stage needs from the window. They act on the published main window
// and may be called from any thread.
void start_repaint_timer(uint32_t timer_id);
void stop_repaint_timer(uint32_t timer_id);
void post_close_request();

// The work that the stages call, the window operations they use and the
// start of their threads. Tests swap them to drive the sequencer without a
// network, a disk or a window; the product never changes them.
struct StageHooks {
  void (*prepare_servers)();
  void (*fetch_manifest)();
  void (*check_install)();
  void (*run_update)();
  uint32_t (*run_launch)();  // 0 once the launcher is up, else the failure's code
  void (*start_timer)(uint32_t timer_id);
  void (*stop_timer)(uint32_t timer_id);
  void (*post_close)();
  bool (*start_thread)(int32_t stage);  // false when the system refuses the thread
};

// The real work and window operations.
StageHooks default_stage_hooks();

// Replaces the hooks; tests only. Must be called while no stage runs.
void set_stage_hooks(const StageHooks& hooks);
