#!/usr/bin/env bash
# The main job: sets up what is missing, builds the program for loopback
# update servers and runs it under Wine (under a private Xvfb), saving a
# screenshot of what it shows into out/demo/.
#
#   scripts/demo.sh
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset windows >/dev/null
cmake --build --preset windows -j"${VX_JOBS:-2}" --target Velmorandix winprobe
exec python3 scripts/demo.py build/windows/Velmorandix.exe build/windows/tests/support/winprobe.exe out/demo
