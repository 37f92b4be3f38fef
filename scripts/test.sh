#!/usr/bin/env bash
# The test command: installs what is missing, builds both presets and runs
# every test: the portable units natively under ASan/UBSan (plus the
# fuzzers), everything else under Wine with private X servers.
#
#   scripts/test.sh
#
# What waits runs alongside what computes. The end-to-end scenario suite
# spends most of its time waiting out the program's real 5 s and 10 s
# screens, so it starts as soon as the programs it runs are built; the rest
# of the Windows build follows at a lower priority, then the Windows unit
# tests. The fuzzers run for their fixed time at the lowest priority, in the
# CPU time that is left over. The logs of what ran alongside are printed
# after the unit tests; the last line adds up every ctest run.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=${VX_JOBS:-2}
background=()
# Whatever still runs in the background when this script stops early is
# stopped by its process group, which setsid gave it.
stop_background() {
  for pid in "${background[@]}"; do
    kill -TERM -- "-$pid" 2>/dev/null || true
  done
}
trap stop_background EXIT

scripts/setup.sh

echo "== [${SECONDS}s] native build (clang, ASan, UBSan)"
cmake --preset native >/dev/null
cmake --build --preset native -j"$jobs"

echo "== [${SECONDS}s] native tests"
ctest --preset native -j"$jobs" -LE fuzz 2>&1 | tee build/native/ctest-native.log

echo "== [${SECONDS}s] windows build: the programs that the scenario suite runs"
cmake --preset windows >/dev/null
# The template Wine prefix that every test prefix is cloned from boots
# meanwhile (scripts/wineprefix.py; its users wait for it).
python3 scripts/wineprefix.py template build/windows/wineprefix-template &
template_pid=$!
cmake --build --preset windows -j"$jobs" --target vx_e2e_programs

echo "== [${SECONDS}s] scenario suite and fuzzers (running alongside; output below)"
e2e_log=build/windows/ctest-e2e.log
setsid ctest --preset windows -L e2e >"$e2e_log" 2>&1 &
e2e_pid=$!
background+=("$e2e_pid")
fuzz_log=build/native/fuzz.log
setsid nice -n 19 ctest --preset native -j3 -L fuzz >"$fuzz_log" 2>&1 &
fuzz_pid=$!
background+=("$fuzz_pid")

echo "== [${SECONDS}s] windows build: the rest"
nice -n 10 cmake --build --preset windows -j"$jobs"
wait "$template_pid" || true

echo "== [${SECONDS}s] windows tests (Wine)"
win_log=build/windows/ctest.log
status=0
set +e
# The unit tests under Wine mostly wait (Wine's start-up, servers, the
# replaced delays), so twice as many run side by side as there are jobs.
scripts/with-xvfb.sh ctest --preset windows -j"$((jobs * 2))" -LE e2e 2>&1 | tee "$win_log"
[ "${PIPESTATUS[0]}" -eq 0 ] || status=1
set -e
# Let the build tree's Wine servers go once their last program has ended.
for prefix in build/windows/wineprefix build/windows/tests/update/update-wineprefix; do
  [ -d "$prefix" ] && WINEPREFIX="$PWD/$prefix" wineserver -w 2>/dev/null || true
done

e2e_status=0
wait "$e2e_pid" || e2e_status=$?
fuzz_status=0
wait "$fuzz_pid" || fuzz_status=$?
background=()
echo "== [${SECONDS}s] scenario suite"
cat "$e2e_log"
echo "== [${SECONDS}s] fuzzers"
cat "$fuzz_log"
[ "$e2e_status" -eq 0 ] || status=1
[ "$fuzz_status" -eq 0 ] || status=1

# Each ctest run's summary, then all of them added up.
echo "== [${SECONDS}s] summary"
passed=0
failed=0
for log in build/native/ctest-native.log "$fuzz_log" "$win_log" "$e2e_log"; do
  [ -f "$log" ] || continue
  line=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests failed out of [0-9]+$' "$log" | tail -1)
  [ -n "$line" ] || continue
  echo "$log: $line"
  read -r f t < <(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+)$/\1 \2/' <<<"$line")
  passed=$((passed + t - f))
  failed=$((failed + f))
done
echo "total: $passed passed, $failed failed"
exit $status
