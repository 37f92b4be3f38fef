// Starting the launcher under the private Java runtime.
#pragma once

#include <cstdint>

#include "launch/launch_command.h"  // replace_first, build_launch_command

// Stage 5's work, without its screen: the sequencer (app/stages.h) runs the
// launch screen's timer around it and decides what follows. Waits 1000 ms
// (the launch screen is up), removes "_JAVA_OPTIONS" from this process's
// environment and from the user's persistent one (HKCU\Environment), starts
// the launcher built from java_path and run_args in java_dir with its
// standard output and error on a pipe, and waits up to about 150 s for the
// restart marker. Returns 0 once the marker has come, leaving the launcher
// running. On a failure writes "Критическая ошибка" and the code's detail to
// the record and returns the code: 1 pipe, 2 pipe inheritance, 3 process,
// 4 no marker.
uint32_t run_launch();
