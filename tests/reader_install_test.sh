#!/usr/bin/env bash
# Installs the project into a scratch prefix, builds the reader example there
# both ways (CMake's find_package and pkg-config), and checks that each prints
# a sealed file exactly as chartunseal does.
# Usage: tests/reader_install_test.sh BUILD_DIR
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:?usage: reader_install_test.sh BUILD_DIR}" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/chartseal-reader.XXXXXX")
trap 'rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/prefix" > /dev/null
libdir=$(dirname "$(find "$work/prefix" -name 'libchartseal-reader.so.1' | head -1)")

cp "$root/examples/song.sm" "$work/song.sm"
(cd "$work" && printf 'song\n' | "$work/prefix/bin/chartseal" > /dev/null 2>&1)

cmake -S "$root/examples/reader" -B "$work/by-cmake" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix" > /dev/null
cmake --build "$work/by-cmake" > /dev/null
PKG_CONFIG_PATH="$libdir/pkgconfig" "$root/examples/reader/build-with-pkg-config.sh" "$work/by-pkg-config"

failed=0
for n in 3 4 5; do
  expected=$("$work/prefix/bin/chartunseal" "$work/song_$n.dat" | sha256sum)
  for reader in "$work/by-cmake/print_sealed" "$work/by-pkg-config"; do
    got=$(LD_LIBRARY_PATH="$libdir" "$reader" "$work/song_$n.dat" | sha256sum)
    if [ "$got" != "$expected" ]; then
      echo "FAIL: $(basename "$reader") on song_$n.dat differs from chartunseal" >&2
      failed=$((failed + 1))
    fi
  done
done
[ -s "$work/song_3.dat" ] || { echo "FAIL: nothing was sealed" >&2; failed=$((failed + 1)); }
echo "$((6 - failed)) passed, $failed failed"
[ "$failed" -eq 0 ]
