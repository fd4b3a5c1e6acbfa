#!/usr/bin/env bash
# Builds the libFuzzer targets (preset "fuzz") and runs each one for a while on
# a copy of the checked-in seeds, so what the fuzzer learns stays in build/.
# Fails when any target crashes, times out or runs out of memory.
#
#   scripts/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]   default: 30 s, all targets
#   scripts/fuzz.sh --smoke                            10 s each (CI)
#
# TARGET is fuzz_links, fuzz_quoting, fuzz_version, fuzz_extract, fuzz_release or fuzz_file_list ("links" etc. also work).
# VELMORA_FUZZ_TMP, if set, is where fuzz_extract unpacks (default: tmpfs, else build/fuzz/tmp).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
all=(fuzz_links fuzz_quoting fuzz_version fuzz_extract fuzz_release fuzz_file_list)
build="$root/build/fuzz"

usage() { sed -n '6,10s/^# \{0,1\}//p' "$0"; }

seconds=30
case "${1:-}" in
  --smoke) seconds=10; shift ;;
  -h|--help) usage; exit 0 ;;
  ''|*[!0-9]*) ;;
  *) seconds="$1"; shift ;;
esac
if [ "$seconds" -lt 1 ]; then
  echo "fuzz.sh: SECONDS_PER_TARGET must be at least 1" >&2
  exit 2
fi

targets=()
for name in "$@"; do
  name="fuzz_${name#fuzz_}"
  if [[ " ${all[*]} " != *" $name "* ]]; then
    echo "fuzz.sh: unknown target '$name' (known: ${all[*]})" >&2
    exit 2
  fi
  targets+=("$name")
done
[ ${#targets[@]} -gt 0 ] || targets=("${all[@]}")

scripts/build-linux-deps.sh
cmake --preset fuzz
cmake --build "$build"

# The extract target's scratch folders go here rather than into the shared /tmp.
# Scratch folders of the extract target. On a disk mounted with "discard",
# truncating and removing files costs milliseconds, so prefer tmpfs.
discard_scratch() { chmod -R u+rwx "$1" 2>/dev/null || true; rm -rf "$1"; }
if [ -n "${VELMORA_FUZZ_TMP:-}" ]; then
  export TMPDIR="$VELMORA_FUZZ_TMP"
  mkdir -p "$TMPDIR"
elif [ -d /dev/shm ] && [ -w /dev/shm ]; then
  TMPDIR="$(mktemp -d /dev/shm/velmora-fuzz.XXXXXX)"
  export TMPDIR
  trap 'discard_scratch "$TMPDIR"' EXIT
else
  # Crashed runs leave theirs behind, possibly with restored read-only modes.
  export TMPDIR="$build/tmp"
  discard_scratch "$TMPDIR"
  mkdir -p "$TMPDIR"
fi
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

declare -A took execs result
failed=0
for target in "${targets[@]}"; do
  corpus="$build/corpus/$target"
  artifacts="$build/artifacts/$target"
  log="$build/logs/$target.log"
  mkdir -p "$corpus" "$artifacts" "$(dirname "$log")"
  cp -n "fuzz/corpus/$target"/* "$corpus"/ 2>/dev/null || true
  options=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
           -artifact_prefix="$artifacts/")
  dict="fuzz/${target#fuzz_}.dict"
  [ -f "$dict" ] && options+=(-dict="$dict")

  echo "== $target: ${seconds}s, corpus $corpus, log $log"
  start=$(date +%s)
  set +e
  "$build/fuzz/$target" "${options[@]}" "$corpus" >"$log" 2>&1
  rc=$?
  set -e
  took[$target]=$(( $(date +%s) - start ))
  execs[$target]=$(sed -n 's/^stat::number_of_executed_units: *\([0-9]*\).*/\1/p' "$log" | tail -n 1)
  [ -n "${execs[$target]}" ] || execs[$target]="?"
  if [ "$rc" -eq 0 ]; then
    result[$target]="ok"
  else
    result[$target]="FAILED (exit $rc)"
    failed=1
    echo "-- $target failed; end of its log:" >&2
    tail -n 60 "$log" >&2
  fi
done

echo
printf '%-14s %8s %12s  %s\n' target seconds executions result
for target in "${targets[@]}"; do
  printf '%-14s %8s %12s  %s\n' "$target" "${took[$target]}" "${execs[$target]}" "${result[$target]}"
done
exit "$failed"
