#!/usr/bin/env bash
# The test command: installs what is missing, builds both presets and runs
# every test — the portable units natively under ASan/UBSan (plus the
# fuzzers), then everything else under Wine with a private X server.
#
#   scripts/test.sh
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=${VX_JOBS:-2}

scripts/setup.sh

echo "== native build (clang, ASan, UBSan)"
cmake --preset native >/dev/null
cmake --build --preset native -j"$jobs"

echo "== windows build (mingw-w64, run under Wine)"
cmake --preset windows >/dev/null
cmake --build --preset windows -j"$jobs"

echo "== native tests"
ctest --preset native -j"$jobs"

echo "== windows tests (Wine)"
status=0
scripts/with-xvfb.sh ctest --preset windows -j"$jobs" || status=$?
# Let the build tree's Wine server go once its last program has ended.
WINEPREFIX="$PWD/build/windows/wineprefix" wineserver -w 2>/dev/null || true
exit $status
