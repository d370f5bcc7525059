#!/usr/bin/env bash
# Installs the project into a scratch prefix and builds the sample game
# (examples/game) against it, as a game's own build would: the first build
# prepares every song through chartseal_prepare_library, a second build does
# nothing, and a chart changed, removed or added brings the step back for
# that song alone. Each song's files are checked against what chartseal,
# run on a copy of its chart, writes; the game reads every chart back.
# Usage: tests/game_build_test.sh BUILD_DIR
# shellcheck disable=SC2317 # the checks are functions that check calls
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:?usage: game_build_test.sh BUILD_DIR}" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/chartseal-game.XXXXXX")
trap 'rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/prefix" > /dev/null
prefix="$work/prefix"
# Folder names with spaces, as a game's may have.
source="$work/game source"
out="$work/game build"
cp -R "$root/examples/game" "$source"
songs="$source/songs"
# What the sources should hold throughout: the same edits are made to both.
cp -R "$songs" "$work/sources"

passed=0
failed=0
check() {  # check DESCRIPTION COMMAND...: one check, counted
  if "${@:2}"; then
    passed=$((passed + 1))
  else
    echo "FAIL: $1" >&2
    failed=$((failed + 1))
  fi
}
finish() {
  echo "$passed passed, $failed failed"
  [ "$failed" -eq 0 ] && exit 0
  exit 1
}

log="$work/build.log"
build_game() {  # build_game DESCRIPTION: builds the game, ends the test if it fails
  if ! cmake --build "$out" > "$log" 2>&1; then
    echo "FAIL: $1: the build failed:" >&2
    tail -n 5 "$log" >&2
    failed=$((failed + 1))
    finish
  fi
}
no_work() { grep -qx 'ninja: no work to do.' "$log" && ! grep -q 'Sealing the songs' "$log"; }
step_ran() { grep -q 'Sealing the songs' "$log"; }
listed() { grep -q 'Listing the prepared songs' "$log"; }  # the game's later step ran

# Every output file, with its time stamp (to the nanosecond) and content
# (the tree's record of its songs aside).
snapshot() {
  (cd "$out/songs" && find . -type f ! -name .chartseal-outputs -printf '%P %T@\n' | sort | while read -r name time; do
    echo "$name $time $(sha256sum < "$name" | cut -c1-64)"
  done)
}
file_in() { awk -v name="$1" '$1 == name'; }  # file_in NAME < SNAPSHOT: that file's line
others_untouched() {  # others_untouched BEFORE SONG...: every other song's files as they were
  local before=$1 pattern
  shift
  pattern="^($(IFS='|'; echo "$*"))(\\.sm|_[2-6]\\.dat) "
  [ "$(grep -vE "$pattern" <<< "$before")" = "$(snapshot | grep -vE "$pattern")" ] &&
    grep -qvE "$pattern" <<< "$before"
}

# What chartseal writes for a copy of the chart: the plain part in its place
# and the five sealed files.
expected="$work/expected"
matches_chartseal() {  # matches_chartseal SONG (pop/a): OUTPUT holds exactly those files
  local song=$1 name
  name=$(basename "$song")
  rm -rf "$expected" && mkdir "$expected"
  cp "$songs/$song.sm" "$expected/"
  (cd "$expected" && printf '%s\n' "$name" | "$prefix/bin/chartseal" > /dev/null 2>&1) || return 1
  for file in "$name.sm" "${name}_2.dat" "${name}_3.dat" "${name}_4.dat" "${name}_5.dat" "${name}_6.dat"; do
    cmp -s "$expected/$file" "$out/songs/$(dirname "$song")/$file" || return 1
  done
  cmp -s "$expected/$name.sm" "$songs/$song.sm" && return 1  # something was sealed
  return 0
}
gone() {  # gone SONG: none of its outputs is left
  [ -z "$(find "$out/songs/$(dirname "$1")" -name "$(basename "$1").sm" -o -name "$(basename "$1")_[2-6].dat")" ]
}
sources_untouched() { diff -r "$work/sources" "$songs" > /dev/null; }

# "<song> <style> <difficulty>" for every chart of the sources: a chart
# starts with #NOTES:, then its style, author and difficulty, one a line.
charts_in_sources() {
  (cd "$songs" && find . -name '*.sm' | sort | while read -r chart; do
    awk -v song="${chart#./}" '
      { sub(/\r$/, ""); gsub(/^[ \t]+|[ \t]*:?[ \t]*$/, "") }
      $0 == "#NOTES" { n = 1; next }
      n == 1 { style = $0 } n == 3 { print song, style, $0 } n > 0 { n++ }' "$chart"
  done | sort)
}
# The same, as the game lists them from the prepared songs, and how many it
# read back through the reader library.
charts_in_game() {
  awk '/^[^ ].*: / { song = substr($0, 1, index($0, ":") - 1) }
       /^  (plain|sealed) / { sub(/ \(.*\)$/, ""); print song, $2, $3 }' "$work/game.txt" | sort
}
game_reads_every_chart() {
  "$out/game" "$out/songs" > "$work/game.txt" &&
    [ "$(charts_in_game)" = "$(charts_in_sources)" ] &&
    [ "$(grep -c '^  sealed ' "$work/game.txt")" -gt 0 ]
}

if ! cmake -S "$source" -B "$out" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" > "$log" 2>&1; then
  echo "FAIL: configuring the game: $(grep -m1 -A2 'Error' "$log" | tr '\n' ' ')" >&2
  failed=$((failed + 1))
  finish
fi

build_game "the first build"
check "the first build prepared the songs" step_ran
check "the first build ran the step that reads them" listed
for song in pop/a pop/b rock/c; do
  check "$song: the prepared files are what chartseal writes" matches_chartseal "$song"
done
check "the sources are untouched" sources_untouched
check "the game reads every chart back, plain or sealed" game_reads_every_chart

first=$(snapshot)
build_game "the second build"
check "the second build does nothing" no_work
check "the second build changes no file" test "$(snapshot)" = "$first"

# A file system may keep time stamps to the second: each change is made a
# second after the build before it.
sleep 1
sed -i 's/^     8:$/     12:/' "$songs/pop/b.sm" "$work/sources/pop/b.sm"
check "the Hard chart of pop/b was edited" test "$(grep -c '^     12:$' "$songs/pop/b.sm")" = 1
before=$(snapshot)
build_game "the build after an edit"
check "an edited chart runs the step" step_ran
check "pop/b: the prepared files are what chartseal writes of the edited chart" matches_chartseal pop/b
check "pop/b: its sealed Hard chart changed" \
  test "$(file_in pop/b_3.dat <<< "$before")" != "$(snapshot | file_in pop/b_3.dat)"
check "an edit leaves every other song's files as they were" others_untouched "$before" pop/b
check "a prepared file written anew runs the step that reads them" listed

# A chart saved again with the same bytes: the step runs, writes nothing,
# and the step that reads the prepared files does not run.
sleep 1
touch "$songs/pop/a.sm"
before=$(snapshot)
build_game "the build after a chart was saved unchanged"
check "a chart saved unchanged runs the step" step_ran
check "a chart saved unchanged changes no prepared file" test "$(snapshot)" = "$before"
check "with no prepared file changed, the step that reads them does not run" eval '! listed'

sleep 1
rm "$songs/rock/c.sm" "$work/sources/rock/c.sm"
before=$(snapshot)
build_game "the build after a chart was removed"
check "a removed chart runs the step" step_ran
check "rock/c: its files are removed with its chart" gone rock/c
check "a song removed runs the step that reads them" listed
check "a removal leaves every other song's files as they were" others_untouched "$before" rock/c

sleep 1
# With an old time stamp, as a chart unpacked from an archive has: the list
# of charts, not the time stamp, brings the step back.
cp "$root/examples/game/songs/rock/c.sm" "$songs/rock/c.sm"
touch -d @1000000000 "$songs/rock/c.sm"
cp "$songs/rock/c.sm" "$work/sources/rock/c.sm"
before=$(snapshot)
build_game "the build after a chart was added"
check "an added chart runs the step" step_ran
check "rock/c: the added chart's prepared files are what chartseal writes" matches_chartseal rock/c
check "an addition leaves every other song's files as they were" others_untouched "$before" rock/c

last=$(snapshot)
build_game "the last build"
check "the build after those does nothing" no_work
check "the build after those changes no file" test "$(snapshot)" = "$last"
check "the sources are untouched, but for the test's own edits" sources_untouched
check "the game reads every chart back after the changes" game_reads_every_chart

# The same sources built with Makefiles: the songs prepared at the first
# build and not again at the second.
if command -v make > /dev/null; then
  out="$work/make build"
  if cmake -S "$source" -B "$out" -G "Unix Makefiles" -DCMAKE_PREFIX_PATH="$prefix" > "$log" 2>&1 &&
    cmake --build "$out" > "$log" 2>&1; then
    check "with Makefiles, the first build prepared the songs" step_ran
    for song in pop/a pop/b rock/c; do
      check "with Makefiles, $song: the prepared files are what chartseal writes" matches_chartseal "$song"
    done
    cmake --build "$out" > "$log" 2>&1
    check "with Makefiles, the second build does not prepare them again" eval '! step_ran'
  else
    echo "FAIL: the build with Makefiles failed:" >&2
    tail -n 5 "$log" >&2
    failed=$((failed + 1))
  fi
else
  echo "make is missing: the build with Makefiles is left out"
fi
finish
