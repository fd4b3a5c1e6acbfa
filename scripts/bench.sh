#!/usr/bin/env bash
# The launcher against curl and bsdtar on this machine: install time, up-to-date
# start time and peak memory (bench/run.py; --quick for a short run).
# Its own Release build and host port, so it can run beside the tests.
set -euo pipefail
cd "$(dirname "$0")/.."

port="${VELMORA_BENCH_PORT:-28460}"
scripts/install-deps.sh
scripts/build-linux-deps.sh
cmake --preset dev -B build/bench -DCMAKE_BUILD_TYPE=Release \
  -DVELMORA_SETUP_BASE_URL="https://localhost:$port/" -DVELMORA_STALL_SECONDS=60 \
  -DVELMORA_RETRY_DELAY_MS=500 -DVELMORA_VERSION_SECONDS=15 \
  -DVELMORA_TESTS=OFF >/dev/null
cmake --build build/bench -j "$(nproc)" >/dev/null
# The namespace profile's line.
cc -O2 -Wall -Wextra -o build/bench/line bench/line.c
exec /usr/bin/python3 bench/run.py --build build/bench "$@"
