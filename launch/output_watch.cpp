#include "launch/output_watch.h"

#include "app/bootstrap_state.h"
#include "base/timing.h"
#include "launch/marker_scan.h"

DWORD WINAPI output_watch_thread(LPVOID read_end) {
  try {
    return watch_launcher_output(static_cast<HANDLE>(read_end));
  } catch (...) {
    internal_error_reported.store(1);
    return 0;
  }
}

uint32_t watch_launcher_output(HANDLE read_end) {
  RestartMarkerScanner scanner;
  char buffer[kOutputReadChunk];
  while (shutdown_requested.load() == 0) {
    DWORD got = 0;
    if (!ReadFile(read_end, buffer, kOutputReadChunk, &got, nullptr)) {
      // Once every writer has gone each read fails at once; retrying would
      // only burn a core until the program ends.
      if (GetLastError() == ERROR_BROKEN_PIPE) return 0;
      vx::sleep_ms(kOutputReadRetryPauseMs);
      continue;
    }
    if (scanner.feed(buffer, got)) {
      restart_marker_seen.store(1);
      return 0;
    }
  }
  return 0;
}
