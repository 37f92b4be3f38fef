#!/usr/bin/env bash
# Authenticode with a throwaway certificate made on the spot: nothing secret
# is kept in the repository, and the key signs nothing but this build's test
# copy of the program.
#
#   authenticode.sh sign  <exe> <signed>  makes the key and a self-signed
#                                         code-signing certificate beside
#                                         <signed>, and signs <exe> into it
#   authenticode.sh check <exe> <signed>  <signed> verifies, trusting only that
#                                         certificate, and is <exe> again once
#                                         its signature is removed (how a
#                                         shipped exe is compared with a build)
set -euo pipefail
mode=$1
exe=$2
signed=$3
dir=$(dirname "$signed")
cert="$dir/throwaway-signer.crt"
key="$dir/throwaway-signer.key"
case $mode in
  sign)
    mkdir -p "$dir"
    rm -f "$signed" "$key"
    # Valid for long enough that an old build tree still verifies.
    (umask 077 && openssl req -x509 -newkey rsa:3072 -nodes -keyout "$key" -out "$cert" \
      -days 3650 -subj "/CN=Velmorandix throwaway test signer" \
      -addext "extendedKeyUsage=codeSigning" -addext "keyUsage=critical,digitalSignature" \
      -addext "basicConstraints=critical,CA:FALSE" 2>/dev/null)
    osslsigncode sign -certs "$cert" -key "$key" -h sha256 -n Velmorandix \
      -in "$exe" -out "$signed" >/dev/null
    ;;
  check)
    out=$(osslsigncode verify -CAfile "$cert" -in "$signed" 2>&1) || {
      echo "$out"
      echo "FAIL: the signed program does not verify"
      exit 1
    }
    grep -E 'Subject:|Signature verification' <<<"$out" | sort -u
    stripped=$(mktemp)
    trap 'rm -f "$stripped"' EXIT
    rm -f "$stripped"
    osslsigncode remove-signature -in "$signed" -out "$stripped" >/dev/null
    cmp "$exe" "$stripped" || { echo "FAIL: without its signature it is not the built program"; exit 1; }
    echo "ok: verifies; without its signature it is the built program, byte for byte"
    ;;
  *)
    echo "usage: authenticode.sh sign|check <exe> <signed>" >&2
    exit 2
    ;;
esac
