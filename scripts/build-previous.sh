#!/usr/bin/env bash
# Builds the launcher as it was before releases carried a file list (the dev
# configuration, for the local test host) into build/previous/bin, so the tests
# can check that a release published today still installs with it. Extra cmake
# options (another test host port) go in VELMORA_CMAKE_ARGS.
set -euo pipefail
cd "$(dirname "$0")/.."
commit=6976a4a41a8f94d7032cb0dd806a16e7cb19c9c9
out=build/previous
stamp="$commit ${VELMORA_CMAKE_ARGS:-}"
if [ "$(cat "$out/stamp" 2>/dev/null)" = "$stamp" ] && [ -x "$out/bin/velmora-launcher" ]; then
  exit 0
fi
if ! git cat-file -e "$commit^{commit}" 2>/dev/null; then
  echo "build-previous: commit $commit is not in this clone (a shallow one?); fetch the history" >&2
  exit 1
fi
rm -rf "$out"
mkdir -p "$out/src"
git archive "$commit" | tar -x -C "$out/src"
# Its own dev preset: the test host's address, its stall bounds and the test key.
# shellcheck disable=SC2086  # options are split on blanks on purpose
cmake --preset dev -S "$out/src" -B "$out" -DVELMORA_TESTS=OFF ${VELMORA_CMAKE_ARGS:-} >/dev/null
cmake --build "$out" -j "$(nproc)" --target velmora-launcher >/dev/null
echo "$stamp" > "$out/stamp"
echo "built $out/bin/velmora-launcher from $commit"
