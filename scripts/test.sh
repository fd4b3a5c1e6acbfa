#!/usr/bin/env bash
# Every test: unit and end-to-end tests of the Linux build, the same under
# AddressSanitizer and UndefinedBehaviorSanitizer, a short pass of each fuzz
# target, and the Windows program end to end under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
scripts/build-linux-deps.sh
jobs=$(nproc)

for preset in dev asan; do
  cmake --preset "$preset" >/dev/null
  cmake --build "build/$preset" -j "$jobs"
done
# Players keep the launcher they have until it updates itself: releases must still install with
# the last one built before file lists existed (scripts/build-previous.sh).
scripts/build-previous.sh
# The Wine suite runs the launcher signed with a throwaway code-signing certificate.
signing=build/windows-dev-signing
rm -rf "$signing"
python3 tools/certs.py --code-signing "$signing" >/dev/null
VELMORA_SIGN_CERT="$signing/code-signing.pem" VELMORA_SIGN_KEY="$signing/code-signing-key.pem" \
  scripts/build-windows.sh windows-dev
osslsigncode verify -CAfile "$signing/code-signing-ca.pem" \
  -in build/windows-dev/bin/velmora-launcher.exe

ctest --test-dir build/asan -j "$jobs" --output-on-failure
scripts/fuzz.sh --smoke
ctest --test-dir build/dev -j "$jobs" --output-on-failure
