#!/usr/bin/env bash
# The demo: sets up what is missing, builds the program for the loopback
# update servers, serves a demo release with nginx on https://127.0.0.1:47443
# and runs the program under Wine in a private X server, from update to
# launch. Pictures of each screen and a summary land in out/demo/. A second
# run finds everything current and goes straight to the launch.
#
#   scripts/demo.sh [--fresh]       --fresh: start from an empty install folder
#
# VX_BUILD_DIR chooses the build folder (default build/windows, the windows
# preset's); VX_JOBS the build's parallelism (default 2).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${VX_BUILD_DIR:-build/windows}
scripts/setup.sh
cmake --preset windows -B "$build" >/dev/null
cmake --build "$build" -j"${VX_JOBS:-2}" \
  --target Velmorandix winprobe standin_java velmorandix-manifest splash_gallery
exec python3 scripts/demo.py --build "$build" --out out/demo "$@"
