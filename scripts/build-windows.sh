#!/usr/bin/env bash
# Builds velmora-launcher.exe (and the Windows stand-ins) with mingw-w64.
# PRESET: windows (production constants, the default) or windows-dev (local test host).
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-windows}"
scripts/build-windows-deps.sh
cmake --preset "$preset" >/dev/null
cmake --build "build/$preset" -j "$(nproc)"
echo "built build/$preset/bin/velmora-launcher.exe"
