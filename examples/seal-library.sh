#!/bin/sh
# Seals every <song>.sm under a folder, several at a time, and prints one line
# per song: chartseal's exit status and the song's base name. Messages go to
# chartseal.log in the current folder.
#   0    sealed by this run
#   1    refused or failed: chartseal.log says why ("already holds sealed
#        charts" for a song sealed before)
#   255  the chart could not be read
# Usage: examples/seal-library.sh FOLDER [JOBS]
set -eu
folder=${1:?usage: seal-library.sh FOLDER [JOBS]}
jobs=${2:-4}
find "$folder" -name '*.sm' -type f -print0 |
  xargs -0 -n 1 -P "$jobs" sh -c '
    base=${1%.sm}
    printf "%s\n" "$base" | chartseal > /dev/null 2>> chartseal.log
    echo "$? $base"
  ' sh
