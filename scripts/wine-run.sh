#!/usr/bin/env bash
# Runs a Windows program under Wine with a private prefix, quietly.
#
#   scripts/wine-run.sh program.exe [args...]
#
# The prefix defaults to <dir of the program's build tree>/wineprefix (the
# nearest parent holding CMakeCache.txt), or $WINEPREFIX when it is set. A
# missing prefix is cloned from the build tree's template (wineprefix.py).
# Mono and Gecko are switched off so that a new prefix never waits on an
# install dialog.
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
  # A clone of the build tree's template prefix, booted once for all
  # (scripts/wineprefix.py); concurrent first users wait for each other.
  python3 "$(dirname "$0")/wineprefix.py" make "$WINEPREFIX"
fi
exec wine "$prog" "$@"
