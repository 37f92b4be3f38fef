#!/usr/bin/env bash
# Runs a command with a private X server: starts Xvfb on a free display,
# exports DISPLAY, runs the command, then stops that Xvfb by its PID.
#
#   scripts/with-xvfb.sh command [args...]
set -uo pipefail
fifo=$(mktemp -u)
mkfifo "$fifo"
Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp 3>"$fifo" >/dev/null 2>&1 &
xvfb_pid=$!
read -r display <"$fifo"
rm -f "$fifo"
stop() { kill "$xvfb_pid" 2>/dev/null; wait "$xvfb_pid" 2>/dev/null; }
trap stop EXIT
export DISPLAY=":$display"
"$@"
exit $?
