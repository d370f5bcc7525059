#!/bin/sh
# Puts a sealed song back together: the plain chart followed by its unsealed
# charts becomes <base>.sm again, and the sealed files are removed. Its charts
# then stand in another order, with the extra empty lines sealing added.
#
# The song put back keeps the sealed chart's owner and group (where the
# runner may give them), mode and access list; where the group cannot be
# kept, its permission bits go. The new chart is written beside the old one,
# synced and renamed over it, so that an interruption leaves the sealed song
# or the whole one; the sealed files go only after that. A chartseal run on
# the same song is kept out by the chart's lock, which this takes too.
# Usage: examples/unseal-song.sh BASE      (songs/glass for songs/glass.sm)
set -eu
base=${1:?usage: unseal-song.sh BASE}
chart=$base.sm
say() { echo "unseal-song.sh: $*" >&2; exit 1; }

[ -f "$chart" ] && [ ! -L "$chart" ] || say "$chart: not a regular file of its own (a link is put back by its target's name)"
[ ! -e "${base}_1.dat" ] || say "${base}_1.dat: a chartseal run did not finish; run chartseal again first"
for n in 2 3 4 5 6; do
  [ -f "${base}_$n.dat" ] || say "${base}_$n.dat: missing; is the song sealed?"
done

# The chart's lock, as chartseal takes it: one run at a time.
exec 9< "$chart"
flock -n 9 || say "$chart: a chartseal run is sealing it; try again when it has finished"

folder=$(dirname -- "$chart")
whole=$(mktemp "$folder/.unseal.XXXXXX")  # 0600: no one else may read it meanwhile
trap 'rm -f "$whole"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP
cat "$chart" > "$whole"
chartunseal "${base}_2.dat" "${base}_3.dat" "${base}_4.dat" "${base}_5.dat" "${base}_6.dat" >> "$whole"

# Owner and group first (a change of owner clears set-ID bits), then the
# mode, then the access list, which sets the group bits as its mask.
mode=$(stat -c %a "$chart")
if ! chown --reference="$chart" "$whole" 2> /dev/null && ! chgrp --reference="$chart" "$whole" 2> /dev/null; then
  # Members of the chart's group are others to the new file: others get no
  # more than that group had, the runner's group nothing.
  m=$((0$mode & 0777))
  mode=$(printf '%o' $(((m & 0700) | (m & 07 & (m >> 3)))))
fi
chmod "$mode" "$whole"
if [ "$(stat -c %g "$whole")" = "$(stat -c %g "$chart")" ] && command -v getfacl > /dev/null 2>&1; then
  getfacl -p -- "$chart" 2> /dev/null | setfacl --set-file=- "$whole" 2> /dev/null || true
fi
sync "$whole"
mv -f "$whole" "$chart"
sync "$folder"
trap - EXIT
rm -f "${base}_2.dat" "${base}_3.dat" "${base}_4.dat" "${base}_5.dat" "${base}_6.dat"
sync "$folder"
