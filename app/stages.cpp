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

DWORD WINAPI stage_thread(LPVOID parameter) {
  switch (reinterpret_cast<INT_PTR>(parameter)) {
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

}  // namespace

StageHooks default_stage_hooks() {
  return StageHooks{&prepare_servers, &fetch_manifest,   &check_install,   &run_update,
                    &run_launch,      &real_start_timer, &real_stop_timer, &real_post_close};
}

void set_stage_hooks(const StageHooks& new_hooks) { hooks = new_hooks; }

void start_repaint_timer(uint32_t timer_id) { hooks.start_timer(timer_id); }
void stop_repaint_timer(uint32_t timer_id) { hooks.stop_timer(timer_id); }
void post_close_request() { hooks.post_close(); }

bool start_stage(int32_t stage) {
  if (stage < 1 || stage > 5) return false;
  HANDLE thread = CreateThread(nullptr, 0, &stage_thread,
                               reinterpret_cast<LPVOID>(static_cast<INT_PTR>(stage)), 0, nullptr);
  if (!thread) return false;
  CloseHandle(thread);  // stage threads are never joined
  return true;
}

uint32_t connect_stage() {
  start_repaint_timer(kConnectTimer);
  create_bootstrap_state();
  hooks.prepare_servers();
  hooks.fetch_manifest();
  stop_repaint_timer(kConnectTimer);
  // Only manifest_ok decides; failed is not consulted here.
  start_stage(bootstrap_state->manifest_ok ? 2 : 3);
  return 0;
}

uint32_t check_stage() {
  start_repaint_timer(kCheckTimer);
  hooks.check_install();
  stop_repaint_timer(kCheckTimer);
  if (bootstrap_state->failed) {
    start_stage(3);
  } else if (bootstrap_state->up_to_date) {
    start_stage(5);
  } else {
    start_stage(4);
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
  start_stage(bootstrap_state->failed ? 3 : 2);
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
    start_stage(3);
  }
  return 0;
}
