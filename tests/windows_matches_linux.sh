#!/usr/bin/env bash
# The Windows build seals every chart to the same bytes as the Linux build,
# and its chartunseal.exe reads them back: tests/windows_matches_linux.sh
# LINUX_BUILD WINDOWS_BUILD, under tools/wine-session. The charts: the
# bundled example, a generated 5 MB chart, and one with carriage returns,
# bytes 0x1A and 0x00, and no line feed at its end (what text-mode I/O would
# change).
set -euo pipefail
linux=$(realpath "$1")
windows=$(realpath "$2")
here=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
wine=/usr/lib/wine/wine64

mkdir "$work/charts"
cp "$here/examples/song.sm" "$work/charts/example.sm"
python3 "$here/bench/gen_chart.py" --seed 7 5M "$work/charts/generated.sm" > /dev/null
python3 - "$work/charts/binary.sm" <<'PY'
import sys
block = lambda d: ("//---------------dance-single - %s----------------\r\n#NOTES:\r\n     dance-single:\r\n"
                   "     %s:\r\n1000\x1a\r\n00\x0010\r\n;\r\n" % (d, d)).encode()
data = b"#TITLE:bytes\x1a;\r\n" + block("Easy") + block("Medium") + block("Hard") + block("Edit")
open(sys.argv[1], "wb").write(data.rstrip(b"\r\n"))
PY

failed=0
for chart in "$work"/charts/*.sm; do
    name=$(basename "$chart" .sm)
    before=$failed
    for side in linux windows; do
        mkdir -p "$work/$side/$name"
        cp "$chart" "$work/$side/$name/song.sm"
    done
    (cd "$work/linux/$name" && printf 'song\n\n\n' | "$linux/chartseal" > console.txt 2> /dev/null)
    (cd "$work/windows/$name" && printf 'song\n\n\n' | "$wine" "$windows/chartseal.exe" > console.txt 2> /dev/null)
    for file in console.txt song.sm song_2.dat song_3.dat song_4.dat song_5.dat song_6.dat; do
        if ! cmp -s "$work/linux/$name/$file" "$work/windows/$name/$file"; then
            echo "FAIL $name: $file differs between the Linux and the Windows build"
            failed=1
        fi
    done
    for n in 3 4 5 6; do
        (cd "$work/linux/$name" && "$linux/chartunseal" "song_$n.dat" > "unsealed_$n.txt")
        (cd "$work/windows/$name" && "$wine" "$windows/chartunseal.exe" "song_$n.dat" > "unsealed_$n.txt")
        if ! cmp -s "$work/linux/$name/unsealed_$n.txt" "$work/windows/$name/unsealed_$n.txt"; then
            echo "FAIL $name: chartunseal.exe reads song_$n.dat back differently"
            failed=1
        fi
    done
    [ "$failed" = "$before" ] &&
        echo "$name: $(stat -c %s "$chart") bytes, ordinals $(sed -n 2p "$work/windows/$name/console.txt"), same bytes from both builds"
done
exit "$failed"
