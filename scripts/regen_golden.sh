#!/usr/bin/env bash
# Regenerates the splash screens' golden images, tests/app/golden/*.png, from
# the current drawing code and the embedded fonts, under Wine. Run it on
# purpose after an intended change of the screens' look, then look at the
# six images before committing them: they are also the README's gallery.
#
#   scripts/regen_golden.sh [windows-build-dir]     (default build/windows)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/windows}
build=$(cd "$build" && pwd)
cmake --build "$build" --target splash_gallery -j2
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
"$root/scripts/with-xvfb.sh" "$root/scripts/wine-run.sh" \
  "$build/tests/app/splash_gallery.exe" "Z:${out//\//\\}"
for name in welcome connect error check update launch; do
  [ -s "$out/$name.png" ] || { echo "regen_golden: $name.png was not written" >&2; exit 1; }
done
cp "$out"/*.png "$root/tests/app/golden/"
echo "regen_golden: wrote $(ls "$out" | wc -l) images to tests/app/golden/"
