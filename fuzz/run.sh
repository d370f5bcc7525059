#!/usr/bin/env bash
# Builds the fuzz targets (the fuzz preset: clang's libFuzzer, AddressSanitizer
# and UndefinedBehaviorSanitizer), and runs each for the given number of seconds,
# one after another (or all at once with -j).
# Usage: fuzz/run.sh [-j] SECONDS [TARGET...]     targets: scanner seal
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
parallel=0
if [ "${1:-}" = "-j" ]; then parallel=1; shift; fi
seconds=${1:?usage: fuzz/run.sh [-j] SECONDS [TARGET...]}
shift
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(scanner seal)

# The targets come from the fuzz preset: clang, libFuzzer and the sanitizers.
(cd "$root" && cmake --preset fuzz > /dev/null && cmake --build --preset fuzz > /dev/null)
bin="$root/build/fuzz/fuzz"
out="$root/build/fuzz/runs"
mkdir -p "$out"

run_one() {
  local t=$1
  # The seeds stay as they are; what the fuzzer finds goes to a working corpus.
  mkdir -p "$out/corpus-$t" "$out/findings-$t"
  "$bin/${t}_fuzz" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$out/findings-$t/" \
    "$out/corpus-$t" "$root/fuzz/corpus/$t" > "$out/$t.log" 2>&1 && status=0 || status=$?
  grep -E '^#[0-9]+.*(DONE|pulse)|stat::number_of_executed_units|stat::peak_rss|cov:' "$out/$t.log" | tail -3
  echo "$t: exit $status (log: $out/$t.log)"
  return "$status"
}

if [ "$parallel" = 1 ]; then
  pids=()
  for t in "${targets[@]}"; do run_one "$t" & pids+=($!); done
  rc=0
  for p in "${pids[@]}"; do wait "$p" || rc=1; done
  exit "$rc"
fi
for t in "${targets[@]}"; do run_one "$t"; done
