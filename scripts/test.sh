#!/usr/bin/env bash
# Every test: unit and end-to-end tests of the Linux build, the unit tests and the suites that
# feed hostile bytes into the program again under AddressSanitizer and
# UndefinedBehaviorSanitizer, a short pass of each fuzz target, and the Windows program end to
# end under Wine. Each end-to-end suite has a loopback of its own (scripts/own-loopback.sh),
# so suites run side by side, and the Windows build is made while the Linux suites run.
# Prints each stage's time, and the tests' share of the code, at the end.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc)
logs=build/test-logs
times=()
began=$SECONDS

stage() {  # stage NAME COMMAND...: runs it, keeping its time for the summary
  local name=$1 start=$SECONDS
  shift
  "$@"
  times+=("$(printf '%-34s %5d s' "$name" $((SECONDS - start)))")
}

summary() {
  local rc=$?
  echo
  echo "== stage times"
  printf '  %s\n' "${times[@]}"
  printf '  %-34s %5d s\n' "total" $((SECONDS - began))
  scripts/test-share.sh || true
  [ "$rc" -eq 0 ] || echo "FAILED (status $rc); logs of the stages run aside are in $logs/"
}
trap summary EXIT

# A stage run aside (builds at low priority, so the suites they overlap keep their pace); its
# output goes to $logs/ID.log, its status and time to $logs/ID.{rc,time}.
aside() {  # aside ID PRIORITY COMMAND...
  local id=$1 priority=$2
  shift 2
  (
    renice -n "$priority" "$BASHPID" >/dev/null
    start=$SECONDS
    set +e
    "$@" >"$logs/$id.log" 2>&1
    echo $? >"$logs/$id.rc"
    echo $((SECONDS - start)) >"$logs/$id.time"
  ) &
}
joined() {  # joined ID: waits for an aside stage; fails the run with its log when it failed
  local id=$1
  while [ ! -f "$logs/$id.rc" ]; do sleep 1; done
  times+=("$(printf '%-34s %5d s' "$id (aside)" "$(cat "$logs/$id.time")")")
  if [ "$(cat "$logs/$id.rc")" != 0 ]; then
    tail -n 60 "$logs/$id.log"
    echo "$id failed (log: $logs/$id.log)" >&2
    return 1
  fi
}

stage "deps: packages" scripts/install-deps.sh
stage "deps: Linux libraries" scripts/build-linux-deps.sh
rm -rf "$logs"
mkdir -p "$logs"

# The Windows program under Wine runs the launcher signed with a throwaway code-signing
# certificate. Its libraries and build take long and need nothing of the Linux builds.
windows() {
  local signing=build/windows-dev-signing
  rm -rf "$signing"
  python3 tools/certs.py --code-signing "$signing" >/dev/null
  VELMORA_SIGN_CERT="$signing/code-signing.pem" VELMORA_SIGN_KEY="$signing/code-signing-key.pem" \
    scripts/build-windows.sh windows-dev
  osslsigncode verify -CAfile "$signing/code-signing-ca.pem" \
    -in build/windows-dev/bin/velmora-launcher.exe
}
aside windows-build 15 windows

cmake --preset dev >/dev/null
stage "build: dev" cmake --build build/dev -j "$jobs"
# Players keep the launcher they have until it updates itself: releases must still install with
# the last one built before file lists existed (scripts/build-previous.sh; its launcher only).
stage "build: previous launcher" scripts/build-previous.sh
# The Wine suite waits for the Windows build; the Linux suites and the unit tests run meanwhile.
aside tests-dev 0 ctest --test-dir build/dev -j "$jobs" --output-on-failure -E '^e2e_windows$'

cmake --preset asan >/dev/null
stage "build: asan" nice -n 10 cmake --build build/asan -j "$jobs"
aside tests-asan 0 ctest --test-dir build/asan -j "$jobs" --output-on-failure
stage "fuzz: build and smoke" nice -n 10 scripts/fuzz.sh --smoke

stage "wait: windows build" joined windows-build
stage "tests: Wine" ctest --test-dir build/dev --output-on-failure -R '^e2e_windows$'
joined tests-dev
joined tests-asan
