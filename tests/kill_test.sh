#!/usr/bin/env bash
# Kills chartseal with SIGKILL at random moments of its run on a ~50 MB chart
# and checks, every time, that the chart file holds its original bytes or its
# final bytes and nothing else.
# Usage: tests/kill_test.sh [BUILD_DIR] [KILLS] [SIZE]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build/release}" && pwd)
kills=${2:-25}
size=${3:-50M}
work=$(mktemp -d "${TMPDIR:-/tmp}/chartseal-kill.XXXXXX")
trap 'rm -rf "$work"' EXIT

python3 "$root/bench/gen_chart.py" "$size" "$work/original.sm" --seed 7
printf 'song\n' > "$work/input"
hash() { sha256sum "$1" | cut -d' ' -f1; }
original=$(hash "$work/original.sm")

# One complete run gives the final bytes and the run's length.
mkdir "$work/ref" && cp "$work/original.sm" "$work/ref/song.sm"
start=$(date +%s%N)
(cd "$work/ref" && "$build/chartseal" < "$work/input" > /dev/null 2>&1)
elapsed_ms=$(( ($(date +%s%N) - start) / 1000000 ))
final=$(hash "$work/ref/song.sm")
sealed=$(cd "$work/ref" && cat song_2.dat song_3.dat song_4.dat song_5.dat song_6.dat | sha256sum | cut -d' ' -f1)
echo "chart: $(stat -c %s "$work/original.sm") bytes; a complete run takes ${elapsed_ms} ms"

declare -A stages=()
failures=0
for i in $(seq 1 "$kills"); do
  dir="$work/run$i"
  mkdir "$dir" && cp "$work/original.sm" "$dir/song.sm"
  sync "$dir/song.sm"
  delay=$(python3 -c "import random; print(random.uniform(0, $elapsed_ms * 1.1 / 1000))")
  (cd "$dir" && exec "$build/chartseal" < "$work/input" > /dev/null 2>&1) &
  pid=$!
  sleep "$delay"
  kill -KILL "$pid" 2> /dev/null || true
  status=0
  { wait "$pid"; } 2> /dev/null || status=$?
  chart=$(hash "$dir/song.sm")
  if [ "$status" -eq 0 ]; then
    stage="finished before the kill"
  elif [ "$chart" = "$final" ]; then
    stage="after the replacement"
  elif ls "$dir"/song_?.dat > /dev/null 2>&1; then
    stage="writing and syncing outputs"
  else
    stage="reading the chart"
  fi
  if [ "$chart" != "$original" ] && [ "$chart" != "$final" ]; then
    echo "kill $i after ${delay}s ($stage): the chart holds neither its old nor its new bytes" >&2
    failures=$((failures + 1))
  elif [ "$chart" = "$final" ] &&
       [ "$(cd "$dir" && cat song_2.dat song_3.dat song_4.dat song_5.dat song_6.dat | sha256sum | cut -d' ' -f1)" != "$sealed" ]; then
    echo "kill $i after ${delay}s ($stage): the chart was replaced but a sealed file is incomplete" >&2
    failures=$((failures + 1))
  fi
  stages[$stage]=$(( ${stages[$stage]:-0} + 1 ))
  rm -rf "$dir"
done

echo "kills by stage:"
for s in "${!stages[@]}"; do printf '  %-30s %s\n' "$s" "${stages[$s]}"; done
echo "$((kills - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
