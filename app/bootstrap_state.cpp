#include "app/bootstrap_state.h"

BootstrapState* bootstrap_state = nullptr;
std::atomic<int32_t> shutdown_requested{0};
std::atomic<int32_t> restart_marker_seen{0};
std::atomic<int32_t> internal_error_reported{0};

BootstrapState* create_bootstrap_state() {
  // Never freed: a stage or watcher thread may still read the record while
  // the process ends.
  bootstrap_state = new BootstrapState();
  return bootstrap_state;
}
