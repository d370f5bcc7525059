#!/usr/bin/env bash
# The many-songs recipe over a folder of generated songs, twice: the first
# time every song is sealed, the second every song is refused and nothing
# changes; then each song is put back and holds every line it had.
# Usage: tests/many_songs_test.sh BUILD_DIR [SONGS]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:?usage: many_songs_test.sh BUILD_DIR [SONGS]}" && pwd)
songs=${2:-36}
work=$(mktemp -d "${TMPDIR:-/tmp}/chartseal-songs.XXXXXX")
trap 'rm -rf "$work"' EXIT
export PATH="$build:$PATH"
cd "$work"

for i in $(seq 1 "$songs"); do
  dir="library/album $((i % 4))"
  mkdir -p "$dir"
  shape=sealed; [ $((i % 3)) -eq 0 ] && shape=plain
  python3 "$root/bench/gen_chart.py" "$((20 + i))K" "$dir/song $i.sm" --seed "$i" --shape "$shape"
  cp "$dir/song $i.sm" "$dir/song $i.original"
done
# A private song, and one of another owner and group where the runner may
# give files away: put back, each keeps them.
chmod 0600 "library/album 1/song 1.sm"
if [ "$(id -u)" -eq 0 ]; then chown 1234:2345 "library/album 2/song 2.sm"; fi
attributes() { stat -c '%a %u:%g' "library/album 1/song 1.sm" "library/album 2/song 2.sm"; }
attributes_before=$(attributes)
state() { find library -type f -print0 | sort -z | xargs -0 sha256sum; }

failed=0
check() { if ! eval "$2"; then echo "FAIL: $1" >&2; failed=$((failed + 1)); fi; }

"$root/examples/seal-library.sh" library 4 > first.txt
check "every song sealed the first time" '[ "$(grep -c "^0 " first.txt)" -eq "$songs" ]'
before=$(state)
: > chartseal.log
"$root/examples/seal-library.sh" library 4 > second.txt
check "every song refused the second time" '[ "$(grep -c "^1 " second.txt)" -eq "$songs" ]'
check "each refusal says the song is sealed already" \
  '[ "$(grep -c "already holds sealed charts; to seal the song again, put it back first with: chartunseal --restore" chartseal.log)" -eq "$songs" ]'
check "the second time changed nothing" '[ "$(state)" = "$before" ]'

while read -r status base; do
  chartunseal --restore "$base"
  # Every line of the original is back, each once, empty lines included.
  if ! cmp -s <(LC_ALL=C sort "$base.sm") <(LC_ALL=C sort "$base.original"); then
    echo "FAIL: $base put back does not hold the lines of the original" >&2
    failed=$((failed + 1))
  fi
done < first.txt
check "no sealed file is left" '[ -z "$(find library -name "*.dat")" ]'
check "each song put back keeps its owner, group and mode" '[ "$(attributes)" = "$attributes_before" ]'
echo "$((songs + 6 - failed)) passed, $failed failed"
[ "$failed" -eq 0 ]
