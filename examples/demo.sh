#!/usr/bin/env bash
# Runs chartseal on the bundled example chart in a scratch folder and shows
# what it did. The example in the repository is never modified.
# Usage: examples/demo.sh [BUILD_DIR]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build/release}" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/chartseal-demo.XXXXXX")
trap 'rm -rf "$work"' EXIT

cp "$here/song.sm" "$work/song.sm"
cd "$work"
echo "== running chartseal on a copy of examples/song.sm in $work"
# The name, then an answer for each of the two pauses.
printf 'song\n\n\n' | "$build/chartseal" > console.txt 2> /dev/null
echo "chart file line: $(sed -n 1p console.txt)"
echo "ordinal line:    $(sed -n 2p console.txt)   (Easy Medium Hard Challenge Beginner Edit)"

echo "== difficulties still in plain text in song.sm"
grep -E '^//---------------' song.sm | sed -E 's|^//-+|  |; s|-+$||'
echo "== sealed chart files"
for n in 2 3 4 5 6; do
  printf '  song_%s.dat %8s bytes  %s\n' "$n" "$(wc -c < "song_$n.dat")" \
    "$("$build/chartunseal" "song_$n.dat" | grep -E '^//---------------' | sed -E 's|^//-+||; s|-+$||' |
      paste -sd, - | sed 's/,/, /g')"
done
[ ! -e song_1.dat ] && echo "  song_1.dat is gone, as it should be"

echo "== round trip through chartunseal"
"$build/chartunseal" song_2.dat song_3.dat song_4.dat song_5.dat song_6.dat > unsealed.txt
# The plain part carries two extra line feeds; every other line comes back once.
if cmp -s <(cat song.sm unsealed.txt | LC_ALL=C sort) <( (cat "$here/song.sm"; printf '\n\n') | LC_ALL=C sort); then
  echo "  every line of the original is back, each exactly once ($(wc -c < "$here/song.sm") bytes)"
else
  echo "  round trip FAILED" >&2
  exit 1
fi
