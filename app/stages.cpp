#include "app/stages.h"

#include <windows.h>

#include "app/bootstrap_state.h"
#include "app/window.h"
#include "base/timing.h"
#include "launch/launcher.h"
#include "update/install_check.h"
#include "update/installer.h"
#include "update/manifest.h"

namespace {

void real_start_timer(uint32_t timer_id) {
  SetTimer(main_window(), timer_id, vx::kRepaintPeriodMs, nullptr);
}

void real_stop_timer(uint32_t timer_id) { KillTimer(main_window(), timer_id); }

void real_post_close() { PostMessageW(main_window(), WM_CLOSE, 0, 0); }

StageHooks hooks = default_stage_hooks();

uint32_t run_stage(int32_t stage) {
  switch (stage) {
    case 1:
      return connect_stage();
    case 2:
      return check_stage();
    case 3:
      return error_stage();
    case 4:
      return update_stage();
    case 5:
      return launch_stage();
    default:
      return 0;
  }
}

// Each stage's repaint timer, by stage number - 1.
constexpr uint32_t kStageTimers[] = {kConnectTimer, kCheckTimer, kErrorTimer, kUpdateTimer,
                                     kLaunchTimer};

// Puts the X1 texts in the record. False when there is no record or the
// texts cannot be stored.
bool store_internal_error_texts() {
  BootstrapState* state = bootstrap_state;
  if (state == nullptr) return false;
  try {
    state->error_title = kInternalErrorTitle;
    state->error_detail = kInternalErrorDetail;
  } catch (...) {
    return false;
  }
  return true;
}

// A stage's last act: starts `stage`, or the X1 error screen once a guard
// has reported an internal error.
void advance_to(int32_t stage) {
  if (internal_error_reported.load() != 0) {
    if (!store_internal_error_texts()) {
      post_close_request();
      return;
    }
    stage = 3;
  }
  if (start_stage(stage)) return;
  vx::sleep_ms(vx::kStageRetryMs);
  if (start_stage(stage)) return;
  post_close_request();
}

// Last resort for a stage whose procedure threw: its screen goes, and the
// X1 error screen follows; after the error stage, the close request.
void recover_from_stage_fault(int32_t stage) {
  internal_error_reported.store(1);
  stop_repaint_timer(kStageTimers[stage - 1]);
  if (stage == 3) {
    post_close_request();
  } else {
    advance_to(3);
  }
}

// Nothing leaves a thread entry.
DWORD WINAPI stage_thread(LPVOID parameter) {
  const int32_t stage = static_cast<int32_t>(reinterpret_cast<INT_PTR>(parameter));
  try {
    return run_stage(stage);
  } catch (...) {
  }
  try {
    recover_from_stage_fault(stage);
  } catch (...) {
    try {
      post_close_request();
    } catch (...) {
    }
  }
  return 0;
}

bool real_start_thread(int32_t stage) {
  HANDLE thread = CreateThread(nullptr, 0, &stage_thread,
                               reinterpret_cast<LPVOID>(static_cast<INT_PTR>(stage)), 0, nullptr);
  if (!thread) return false;
  CloseHandle(thread);  // stage threads are never joined
  return true;
}

}  // namespace

StageHooks default_stage_hooks() {
  return StageHooks{&prepare_servers, &fetch_manifest,  &check_install,
                    &run_update,      &run_launch,      &real_start_timer,
                    &real_stop_timer, &real_post_close, &real_start_thread};
}

void set_stage_hooks(const StageHooks& new_hooks) { hooks = new_hooks; }

void start_repaint_timer(uint32_t timer_id) { hooks.start_timer(timer_id); }
void stop_repaint_timer(uint32_t timer_id) { hooks.stop_timer(timer_id); }
void post_close_request() { hooks.post_close(); }

bool start_stage(int32_t stage) {
  if (stage < 1 || stage > 5) return false;
  return hooks.start_thread(stage);
}

void start_first_stage() { advance_to(1); }

uint32_t connect_stage() {
  start_repaint_timer(kConnectTimer);
  create_bootstrap_state();
  hooks.prepare_servers();
  hooks.fetch_manifest();
  stop_repaint_timer(kConnectTimer);
  // Only manifest_ok decides; failed is not consulted here.
  advance_to(bootstrap_state->manifest_ok ? 2 : 3);
  return 0;
}

uint32_t check_stage() {
  start_repaint_timer(kCheckTimer);
  hooks.check_install();
  stop_repaint_timer(kCheckTimer);
  if (bootstrap_state->failed) {
    advance_to(3);
  } else if (bootstrap_state->up_to_date) {
    advance_to(5);
  } else {
    advance_to(4);
  }
  return 0;
}

uint32_t error_stage() {
  start_repaint_timer(kErrorTimer);
  vx::sleep_ms(vx::kErrorScreenMs);
  stop_repaint_timer(kErrorTimer);
  post_close_request();
  return 0;
}

uint32_t update_stage() {
  start_repaint_timer(kUpdateTimer);
  hooks.run_update();
  // The update screen stays up with its last progress whatever the outcome.
  vx::sleep_ms(vx::kUpdateHoldMs);
  stop_repaint_timer(kUpdateTimer);
  advance_to(bootstrap_state->failed ? 3 : 2);
  return 0;
}

uint32_t launch_stage() {
  start_repaint_timer(kLaunchTimer);
  const uint32_t code = hooks.run_launch();
  stop_repaint_timer(kLaunchTimer);
  // On a failure the launch has written the error texts.
  if (code == 0) {
    post_close_request();
  } else {
    advance_to(3);
  }
  return 0;
}
