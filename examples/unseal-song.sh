#!/bin/sh
# Puts a sealed song back together: the plain chart followed by its unsealed
# charts becomes <base>.sm again, and the sealed files are removed. Its charts
# then stand in another order, with the extra empty lines sealing added.
# Usage: examples/unseal-song.sh BASE      (songs/glass for songs/glass.sm)
set -eu
base=${1:?usage: unseal-song.sh BASE}
{ cat "$base.sm" && chartunseal "${base}_2.dat" "${base}_3.dat" "${base}_4.dat" "${base}_5.dat" "${base}_6.dat"; } \
  > "$base.sm.whole"
mv "$base.sm.whole" "$base.sm"
rm "${base}_2.dat" "${base}_3.dat" "${base}_4.dat" "${base}_5.dat" "${base}_6.dat"
