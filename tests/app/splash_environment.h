// GDI+ and one set of drawing resources for the whole splash test program.
#pragma once

#include "app/splash_compose.h"

namespace vx_test {

// Resources made from this program's own font resources; valid while the
// tests run.
const vx::DrawingResources& shared_resources();

}  // namespace vx_test
