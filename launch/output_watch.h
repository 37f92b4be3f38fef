// The thread that reads the launcher's output and waits for its restart
// marker.
#pragma once

#include <cstdint>

#include <windows.h>

// Bytes asked for by each read of the pipe.
constexpr DWORD kOutputReadChunk = 1024;

// Pause before retrying a read that failed for a reason other than a broken
// pipe, so that a persistent failure never spins a core.
constexpr uint32_t kOutputReadRetryPauseMs = 50;

// Reads the launcher's merged standard output and error from `read_end` until
// one of:
// - the restart marker has come: sets restart_marker_seen to 1;
// - shutdown_requested is seen between two reads;
// - the pipe is broken, i.e. the launcher and everything that inherited its
//   write end have exited, so nothing more can come.
// A read that blocks is not interrupted. The handle is only read, never
// closed: the caller keeps it open while the watcher runs. Writes nothing
// else and returns 0.
uint32_t watch_launcher_output(HANDLE read_end);

// The watcher's thread entry: watch_launcher_output on the pipe's read end.
// Nothing escapes it: when anything does, it sets internal_error_reported,
// which ends the launch's marker wait, and the sequencer shows the error.
DWORD WINAPI output_watch_thread(LPVOID read_end);
