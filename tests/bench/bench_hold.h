// The --hold handshake of the benchmark programs whose memory the drivers
// read from outside (vxbench.run_held): Wine's own counters stay near zero,
// so the driver reads the Linux process's figures while the program waits.
#pragma once

#include <cstdio>

// With hold set, prints the state ("before", "after") and waits for a line
// on standard input.
inline void wait_for_line(bool hold, const char* state) {
  if (!hold) return;
  std::printf("%s\n", state);
  std::fflush(stdout);
  char line[16];
  if (std::fgets(line, sizeof(line), stdin) == nullptr) return;
}
