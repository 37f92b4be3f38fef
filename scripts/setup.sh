#!/usr/bin/env bash
# Installs everything the build and the tests need on a Debian 12 machine, as
# root. Safe to run again: each step checks whether its result is already there.
#
#   scripts/setup.sh            packages, minizip sources, fonts
#
# Packages come from Debian's archive; the fonts from the npm registry at a
# pinned version, checked against pinned SHA-256 sums.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
deps="$root/build/deps"
mkdir -p "$deps"

log() { printf '[setup] %s\n' "$*"; }

packages=(
  cmake ninja-build clang llvm python3 git ca-certificates
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  libz-mingw-w64-dev rapidjson-dev googletest libbenchmark-dev
  wine wine64 xvfb x11-utils imagemagick
  dpkg-dev openssl libssl-dev zlib1g-dev libcurl4-openssl-dev tinyproxy nginx zip unzip curl
  osslsigncode
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

# minizip comes from the zlib source package, so the main archive needs a
# deb-src entry; it is derived from the machine's own deb entry.
src_list=/etc/apt/sources.list.d/velmorandix-src.sources
need_update=0
if [ ! -f "$src_list" ]; then
  uri=""
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    uri=$(awk '/^URIs:/{print $2; exit}' /etc/apt/sources.list.d/debian.sources)
  fi
  if [ -z "$uri" ] && [ -f /etc/apt/sources.list ]; then
    uri=$(awk '$1=="deb" && $0 !~ /security/ {for(i=2;i<=NF;i++) if ($i ~ /^[a-z]+:\/\//) {print $i; exit}}' /etc/apt/sources.list)
  fi
  [ -n "$uri" ] || { echo "setup: cannot find the Debian archive in the apt sources" >&2; exit 1; }
  cat > "$src_list" <<SRC
Types: deb-src
URIs: $uri
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
  need_update=1
fi

if [ ${#missing[@]} -gt 0 ] || [ $need_update -eq 1 ]; then
  log "apt-get update"
  # A third-party list that cannot be reached must not stop the set-up; the
  # install below fails loudly if something we need is really missing.
  apt-get update -qq || log "apt-get update reported problems; continuing"
fi
if [ ${#missing[@]} -gt 0 ]; then
  log "installing: ${missing[*]}"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# minizip: the zlib source package's contrib/minizip, built by CMake.
if [ ! -f "$deps/zlib-src/contrib/minizip/unzip.c" ]; then
  log "fetching the zlib source package"
  rm -rf "$deps/zlib-fetch" "$deps/zlib-src"
  mkdir -p "$deps/zlib-fetch"
  (cd "$deps/zlib-fetch" && apt-get source -qq zlib >/dev/null 2>&1)
  dir=$(find "$deps/zlib-fetch" -maxdepth 1 -mindepth 1 -type d -name 'zlib-*' | head -n 1)
  [ -n "$dir" ] || { echo "setup: apt-get source zlib gave no source tree" >&2; exit 1; }
  mv "$dir" "$deps/zlib-src"
  rm -rf "$deps/zlib-fetch"
fi

command -v npm >/dev/null || {
  log "installing npm"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends npm >/dev/null
}

# Fonts: Ubuntu Bold and Regular, with their licence.
font_pkg="@expo-google-fonts/ubuntu@0.4.1"
bold_sha=6dbcce3fdd846f3aebc7e1890b5ccca234806cbd84763785f7ced043a99e8268
regular_sha=540f19be11a368130641d00ec1c354b535c0803560f598d7d062486c9278387a
fonts="$deps/fonts"
check_font() { [ -f "$1" ] && [ "$(sha256sum "$1" | cut -d' ' -f1)" = "$2" ]; }
if ! check_font "$fonts/Ubuntu-Bold.ttf" "$bold_sha" || ! check_font "$fonts/Ubuntu-Regular.ttf" "$regular_sha"; then
  log "fetching the fonts ($font_pkg)"
  tmp=$(mktemp -d)
  (cd "$tmp" && npm pack --silent "$font_pkg" >/dev/null && tar xzf ./*.tgz)
  mkdir -p "$fonts"
  cp "$tmp/package/700Bold/Ubuntu_700Bold.ttf" "$fonts/Ubuntu-Bold.ttf"
  cp "$tmp/package/400Regular/Ubuntu_400Regular.ttf" "$fonts/Ubuntu-Regular.ttf"
  cp "$tmp/package/LICENSE_FONT" "$fonts/UBUNTU-FONT-LICENCE.txt"
  rm -rf "$tmp"
  check_font "$fonts/Ubuntu-Bold.ttf" "$bold_sha" || { echo "setup: Ubuntu Bold checksum mismatch" >&2; exit 1; }
  check_font "$fonts/Ubuntu-Regular.ttf" "$regular_sha" || { echo "setup: Ubuntu Regular checksum mismatch" >&2; exit 1; }
fi

log "ready"
