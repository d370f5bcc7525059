#!/bin/sh
# The same reader, found through pkg-config:
#   PKG_CONFIG_PATH=<prefix>/lib/<arch>/pkgconfig examples/reader/build-with-pkg-config.sh OUTPUT
set -eu
here=$(dirname "$0")
# shellcheck disable=SC2046 # the flags are words
cc -Wall -Wextra -o "${1:?usage: build-with-pkg-config.sh OUTPUT}" "$here/print_sealed.c" \
  $(pkg-config --cflags --libs chartseal-reader)
