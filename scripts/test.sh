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
ctest --preset native -j"$jobs" -LE fuzz

# The fuzzers run for a bounded time each; they share the machine with the
# Wine tests, whose end-to-end scenarios spend most of their time waiting.
echo "== fuzzers (running alongside the Windows tests; output below)"
fuzz_log=build/native/fuzz.log
ctest --preset native -j"$jobs" -L fuzz >"$fuzz_log" 2>&1 &
fuzz_pid=$!

echo "== windows tests (Wine)"
win_log=build/windows/ctest.log
status=0
set +e
scripts/with-xvfb.sh ctest --preset windows -j"$jobs" 2>&1 | tee "$win_log"
[ "${PIPESTATUS[0]}" -eq 0 ] || status=1
set -e
# Let the build tree's Wine server go once its last program has ended.
WINEPREFIX="$PWD/build/windows/wineprefix" wineserver -w 2>/dev/null || true

fuzz_status=0
wait "$fuzz_pid" || fuzz_status=$?
echo "== fuzzers"
cat "$fuzz_log"
[ "$fuzz_status" -eq 0 ] || status=1

# ctest's own summary of the Windows run, last.
echo "== windows summary"
grep -E '^[0-9]+% tests passed, [0-9]+ tests failed out of [0-9]+$' "$win_log" || true
grep -E '^Total Test time' "$win_log" || true
exit $status
