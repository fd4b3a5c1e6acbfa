#!/usr/bin/env bash
# Builds velmora-launcher.exe (and the Windows stand-ins) with mingw-w64.
# PRESET: windows (production constants, the default) or windows-dev (local test host).
#
# Extra cmake -D options go in VELMORA_CMAKE_ARGS (e.g. "-DVELMORA_SETUP_BASE_URL=...").
# With VELMORA_SIGN_CERT (PEM certificate, its chain after it) and VELMORA_SIGN_KEY
# (PEM private key), the launcher is signed with Authenticode by osslsigncode;
# VELMORA_SIGN_PASS_FILE names a file holding the key's password, and
# VELMORA_SIGN_TIMESTAMP an RFC 3161 time-stamping URL.
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-windows}"
scripts/build-windows-deps.sh
# shellcheck disable=SC2086  # options are split on blanks on purpose
cmake --preset "$preset" ${VELMORA_CMAKE_ARGS:-} >/dev/null
cmake --build "build/$preset" -j "$(nproc)"
exe="build/$preset/bin/velmora-launcher.exe"

if [ -n "${VELMORA_SIGN_CERT:-}" ] || [ -n "${VELMORA_SIGN_KEY:-}" ]; then
  if [ -z "${VELMORA_SIGN_CERT:-}" ] || [ -z "${VELMORA_SIGN_KEY:-}" ]; then
    echo "build-windows: set both VELMORA_SIGN_CERT and VELMORA_SIGN_KEY" >&2
    exit 1
  fi
  sign=(osslsigncode sign -certs "$VELMORA_SIGN_CERT" -key "$VELMORA_SIGN_KEY" -h sha256
        -n "Velmora launcher" -i "https://www.velmora.com/")
  [ -z "${VELMORA_SIGN_PASS_FILE:-}" ] || sign+=(-readpass "$VELMORA_SIGN_PASS_FILE")
  [ -z "${VELMORA_SIGN_TIMESTAMP:-}" ] || sign+=(-ts "$VELMORA_SIGN_TIMESTAMP")
  # Signing again replaces the signature, so an unchanged build may be signed twice.
  rm -f "$exe.signed"
  "${sign[@]}" -in "$exe" -out "$exe.signed" >/dev/null
  mv "$exe.signed" "$exe"
  echo "signed $exe"
fi
echo "built $exe"
