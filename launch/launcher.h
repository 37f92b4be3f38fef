#pragma once
#include <cstdint>
uint32_t launch_stage();
