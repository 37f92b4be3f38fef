#include "launch/launcher.h"
#include "app/stages.h"
uint32_t launch_stage() { start_stage(3); return 0; }
