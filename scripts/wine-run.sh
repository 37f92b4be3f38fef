#!/usr/bin/env bash
# Runs a Windows program under Wine with a private prefix, quietly.
#
#   scripts/wine-run.sh program.exe [args...]
#
# The prefix defaults to <dir of the program's build tree>/wineprefix (the
# nearest parent holding CMakeCache.txt), or $WINEPREFIX when it is set. Mono
# and Gecko are switched off so that a new prefix never waits on an install
# dialog.
set -euo pipefail
prog=$1
shift
if [ -z "${WINEPREFIX:-}" ]; then
  d=$(cd "$(dirname "$prog")" && pwd)
  while [ "$d" != / ] && [ ! -f "$d/CMakeCache.txt" ]; do d=$(dirname "$d"); done
  [ "$d" = / ] && d=$(cd "$(dirname "$prog")" && pwd)
  export WINEPREFIX="$d/wineprefix"
fi
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  # One process at a time creates the prefix.
  exec 9>"$WINEPREFIX.lock"
  flock 9
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    wineboot -i >/dev/null 2>&1 || true
    wineserver -w || true
  fi
  flock -u 9
fi
exec wine "$prog" "$@"
