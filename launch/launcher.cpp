#include "launch/launcher.h"

#include <vector>

#include <windows.h>

#include "app/bootstrap_state.h"
#include "base/timing.h"
#include "base/win_raii.h"
#include "launch/output_watch.h"

namespace {

constexpr DWORD kOwnPathCapacity = 260;

// Removes the variable that would otherwise override the launcher's JVM
// options, for the child (which inherits this environment) and for every
// later program of this user. Neither step can fail the launch.
void remove_java_options() {
  SetEnvironmentVariableW(L"_JAVA_OPTIONS", nullptr);
  vx::UniqueHKey key;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, L"Environment", 0, KEY_ALL_ACCESS, key.put()) ==
      ERROR_SUCCESS) {
    RegDeleteValueW(key.get(), L"_JAVA_OPTIONS");
  } else {
    key.release();  // on failure the out-value is not a key of ours
  }
}

// The full path of this program's executable, or an empty text when it is
// unknown. A path cut short by the buffer would name another file, so it
// counts as unknown too.
std::wstring own_executable_path() {
  wchar_t buffer[kOwnPathCapacity];
  const DWORD length = GetModuleFileNameW(nullptr, buffer, kOwnPathCapacity);
  if (length == 0 || length >= kOwnPathCapacity) return std::wstring();
  return std::wstring(buffer, length);
}

// Waits for the watcher's report: tests the flag before the first sleep and
// after every sleep but the last, 150 sleeps of 1000 ms in all. Gives up
// early on an internal error: the watcher may be gone, and the sequencer
// shows that error next.
bool wait_for_restart_marker() {
  for (int32_t budget = vx::kMarkerBudget; budget > 0; budget -= vx::kMarkerBudgetStep) {
    if (restart_marker_seen.load() != 0) return true;
    if (internal_error_reported.load() != 0) return false;
    vx::sleep_ms(vx::kMarkerPollMs);
  }
  return false;
}

// Starts the launcher and waits for its marker. Returns 0 once the marker has
// come, else the failure's code (1 to 4).
uint32_t start_launcher(const BootstrapState& state) {
  const LaunchCommand command = build_launch_command(
      state.java_path, state.run_args, state.java_dir, state.launcher_path, own_executable_path());

  SECURITY_ATTRIBUTES inheritable{};
  inheritable.nLength = sizeof(inheritable);
  inheritable.lpSecurityDescriptor = nullptr;
  inheritable.bInheritHandle = TRUE;
  vx::UniqueNullHandle read_end;
  vx::UniqueNullHandle write_end;
  if (!CreatePipe(read_end.put(), write_end.put(), &inheritable, 0)) return 1;
  // Only the write end goes to the child: if the child held the read end
  // too, the pipe would never break while it runs.
  if (!SetHandleInformation(read_end.get(), HANDLE_FLAG_INHERIT, 0)) return 2;

  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = nullptr;
  startup.hStdOutput = write_end.get();
  startup.hStdError = write_end.get();

  // CreateProcessW may write into the command line, so it gets its own
  // terminated copy.
  std::vector<wchar_t> command_line(command.command_line.begin(), command.command_line.end());
  command_line.push_back(L'\0');

  vx::ProcessInfo child;
  if (!CreateProcessW(command.application.c_str(), command_line.data(), nullptr, nullptr, TRUE, 0,
                      nullptr, state.java_dir.c_str(), &startup, child.put())) {
    return 3;
  }
  // From here only the child (and whatever it hands the handle to) can write
  // into the pipe, so the pipe breaks once they have all ended.
  child.reset();
  write_end.reset();

  restart_marker_seen.store(0);
  // The read end stays open until the process ends: the watcher may still be
  // reading when this stage has given up, and the launcher's writes must not
  // fail while this program runs.
  HANDLE pipe = read_end.release();
  vx::UniqueNullHandle watcher(CreateThread(nullptr, 0, &output_watch_thread, pipe, 0, nullptr));

  return wait_for_restart_marker() ? 0 : 4;
}

}  // namespace

uint32_t run_launch() {
  vx::sleep_ms(vx::kLaunchPauseMs);
  remove_java_options();

  BootstrapState& state = *bootstrap_state;
  const uint32_t code = start_launcher(state);
  if (code != 0) {
    state.error_title = launch_failure_title();
    state.error_detail = launch_failure_detail(code);
  }
  return code;
}
