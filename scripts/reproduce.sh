#!/usr/bin/env bash
# The reproducibility check: builds the windows-release Velmorandix.exe twice,
# each from a fresh clone of the current commit in a folder of its own (of
# different names and lengths, so that a build path reaching the program
# shows), and compares the two byte for byte.
#
#   scripts/reproduce.sh [--keep] [--commit REV] [-DNAME=VALUE ...]
#     --keep        keep the two clones and their build trees (their folder is printed)
#     --commit REV  build REV instead of HEAD
#     -DNAME=VALUE  passed to the configure step, as for a release with your
#                   own update servers and keys (docs/operators.md)
#
# Prints the toolchain's package versions and both SHA-256s; exits 0 when the
# two programs are identical, 1 when they differ (with the differing
# offsets), 2 when a build fails. The builds
# are plain clean builds: no compiler cache, nothing shared with this tree but
# the dependencies that scripts/setup.sh put in build/deps. Uncommitted
# changes are not part of what is built. VX_JOBS sets each build's
# parallelism (default 2); the two builds run one after the other.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
keep=0
commit=HEAD
defines=()
while [ $# -gt 0 ]; do
  case $1 in
    --keep) keep=1 ;;
    --commit) commit=$2; shift ;;
    -D*) defines+=("$1") ;;
    *) echo "usage: scripts/reproduce.sh [--keep] [--commit REV] [-DNAME=VALUE ...]" >&2; exit 2 ;;
  esac
  shift
done
commit=$(git -C "$root" rev-parse --verify "$commit^{commit}")
deps=$(readlink -f "$root/build/deps")
[ -d "$deps/fonts" ] || { echo "reproduce: no dependencies in $root/build/deps; run scripts/setup.sh" >&2; exit 2; }
if [ -n "$(git -C "$root" status --porcelain --untracked-files=no)" ]; then
  echo "reproduce: note: uncommitted changes are not built; building $commit"
fi

work=$(mktemp -d /tmp/vx-reproduce.XXXXXX)
cleanup() {
  if [ "$keep" -eq 1 ]; then
    echo "kept: $work"
  else
    rm -rf "$work"
  fi
}
trap cleanup EXIT

# A compiler cache would hand the second build the first one's objects.
unset CMAKE_C_COMPILER_LAUNCHER CMAKE_CXX_COMPILER_LAUNCHER CCACHE_DIR CCACHE_BASEDIR
export CCACHE_DISABLE=1

build() {  # build <folder>: clone, configure, build; the program's path on stdout
  local src=$1
  git clone -q --no-checkout "$root" "$src"
  git -C "$src" -c advice.detachedHead=false checkout -q --detach "$commit"
  mkdir -p "$src/build"
  ln -s "$deps" "$src/build/deps"
  (cd "$src" && cmake --preset windows-release "${defines[@]}" >"$src.configure.log" 2>&1 &&
     cmake --build --preset windows-release -j"${VX_JOBS:-2}" --target Velmorandix \
       >"$src.build.log" 2>&1) || {
    echo "reproduce: the build in $src failed; its log:" >&2
    tail -n 40 "$src.configure.log" "$src.build.log" >&2 2>/dev/null || true
    exit 2
  }
}

one="$work/one"
two="$work/the-second-clone-in-a-longer-folder"
began=$SECONDS
echo "building $(git -C "$root" log -1 --format='%h %s' "$commit")"
[ ${#defines[@]} -eq 0 ] || echo "configured with ${defines[*]}"
# What the program is made of besides the commit: a build from other
# versions of these may differ.
echo "with $(dpkg-query -W -f='${Package} ${Version}, ' gcc-mingw-w64-x86-64-posix \
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev libz-mingw-w64-dev \
  rapidjson-dev cmake ninja-build 2>/dev/null)minizip from $(head -n 1 "$deps/zlib-src/debian/changelog" \
  | cut -d' ' -f1-2), fonts $(cd "$deps/fonts" && sha256sum Ubuntu-*.ttf | cut -c1-12 | tr '\n' ' ')"
for src in "$one" "$two"; do
  build "$src"
  echo "  built in $src ($((SECONDS - began)) s so far)"
done

a="$one/build/windows-release/Velmorandix.exe"
b="$two/build/windows-release/Velmorandix.exe"
sha256sum "$a" "$b" | sed "s|$work/||"
if cmp -s "$a" "$b"; then
  echo "identical: $(stat -c %s "$a") bytes, in $((SECONDS - began)) s"
  exit 0
fi
echo "DIFFERENT: $(cmp -l "$a" "$b" | wc -l) bytes differ; the first offsets (decimal, octal bytes):"
cmp -l "$a" "$b" | head -n 20
exit 1
