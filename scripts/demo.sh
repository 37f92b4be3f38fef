#!/usr/bin/env bash
# The demo: sets up what is missing, builds the program for the loopback
# update servers, serves a demo release with nginx on https://127.0.0.1:47443
# and runs the program under Wine in a private X server, from update to
# launch. Pictures of each screen and a summary land in out/demo/. A second
# run finds everything current and goes straight to the launch.
#
# The release is made as an operator makes one: `velmorandix-manifest
# publish` (the native tool, built by the native-release preset) writes it
# into nginx's root, and `velmorandix-manifest check-site` checks what nginx
# serves at the end.
#
# The release is signed: the first demo makes an update key with openssl
# (build/windows/demo/keys/update.pem, never below nginx's root) and builds
# a demo program that carries its public half, demo-signed/Velmorandix.exe;
# publish signs the manifest and nginx serves the signature as /updater.sig.
#
#   scripts/demo.sh [--fresh] [--unsigned]
#     --fresh     start from an empty install folder
#     --unsigned  no key and no signature: the build's own Velmorandix.exe
#
# VX_BUILD_DIR chooses the build folder (default build/windows, the windows
# preset's); VX_JOBS the build's parallelism (default 2).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${VX_BUILD_DIR:-build/windows}
scripts/setup.sh
targets=(winprobe standin_java splash_gallery)
key_args=()
if [[ " $* " == *" --unsigned "* ]]; then
  cmake --preset windows -B "$build" >/dev/null
  targets+=(Velmorandix)
else
  keys="$build/demo/keys"
  mkdir -p "$keys"
  chmod 700 "$keys"
  if [ ! -f "$keys/update.pem" ]; then
    (umask 077 && openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 \
      -out "$keys/update.pem.new" && mv "$keys/update.pem.new" "$keys/update.pem")
  fi
  public=$(openssl pkey -in "$keys/update.pem" -pubout -outform DER | base64 -w0)
  cmake --preset windows -B "$build" -DVELMORANDIX_DEMO_UPDATE_KEYS="$public" >/dev/null
  targets+=(VelmorandixDemo)
  key_args=(--key "$keys/update.pem" --public "$public")
fi
cmake --build "$build" -j"${VX_JOBS:-2}" --target "${targets[@]}"
# The operator's tool, natively and without sanitizers.
cmake --preset native-release >/dev/null
cmake --build --preset native-release -j"${VX_JOBS:-2}" --target velmorandix-manifest
exec python3 scripts/demo.py --build "$build" \
  --tool build/native-release/tools/velmorandix-manifest/velmorandix-manifest \
  --out out/demo "${key_args[@]}" "$@"
