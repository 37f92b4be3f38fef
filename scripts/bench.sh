#!/usr/bin/env bash
# The benchmark command: builds the benchmark programs optimised and without
# sanitizers (preset native-release, and the windows preset, which is a
# Release build), runs every benchmark with its comparison in the same run,
# and prints one table. Not part of the test command.
#
#   scripts/bench.sh [--runs N] [--only NAME,...]     (see tests/bench/bench_all.py)
#
# It takes several minutes: the Windows benchmarks move 150 MB archives and
# 64 MiB downloads a few times each, under Wine. Figures are only as quiet as
# the machine: note its load (uptime) with them.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=${VX_JOBS:-2}

scripts/setup.sh

echo "== native release build (clang, no sanitizers)"
cmake --preset native-release >/dev/null
cmake --build --preset native-release -j"$jobs" --target vx_benchmarks

echo "== windows build of the benchmark programs (Release)"
cmake --preset windows >/dev/null
cmake --build --preset windows -j"$jobs" --target vx_benchmarks

echo "== benchmarks (load: $(uptime | sed 's/.*load average: //'))"
python3 tests/bench/bench_all.py --native build/native-release --windows build/windows "$@"
