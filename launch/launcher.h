// Starting the launcher under the private Java runtime.
#pragma once

#include <cstdint>

#include "launch/launch_command.h"  // replace_first, build_launch_command

// Stage 5's whole body. Shows the launch screen (timer 1029), waits 1000 ms,
// removes "_JAVA_OPTIONS" from this process's environment and from the
// user's persistent one (HKCU\Environment), starts the launcher built from
// java_path and run_args in java_dir with its standard output and error on a
// pipe, and waits up to about 150 s for the restart marker. On the marker it
// posts the close request and leaves the launcher running; on any failure it
// writes "Критическая ошибка" and the code's detail (1 pipe, 2 pipe
// inheritance, 3 process, 4 no marker) and starts stage 3. Returns 0.
uint32_t launch_stage();
