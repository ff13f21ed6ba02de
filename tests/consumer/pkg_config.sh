#!/usr/bin/env bash
# Builds the consumer through pkg-config against an installed prefix, as
# people use it: plain `pkg-config --cflags --libs`, and with --static; then
# runs it. The compile flags are the include directory alone: no macro of
# the library's build or of its dependencies'.
#
#   pkg_config.sh PREFIX COMPILER OUTPUT
set -euo pipefail
prefix=$1 compiler=$2 output=$3
here=$(cd "$(dirname "$0")" && pwd)
pcfile=$(find "$prefix" -name progressbar.pc | head -n 1)
[[ -n "$pcfile" ]] || { echo "no progressbar.pc under $prefix" >&2; exit 1; }
export PKG_CONFIG_PATH=$(dirname "$pcfile")
cflags=$(pkg-config --cflags progressbar)
[[ -n $cflags ]] || { echo "pkg-config --cflags progressbar: nothing" >&2; exit 1; }
for flag in $cflags; do
  if [[ $flag != -I* || $(realpath "${flag#-I}") != $(realpath "$prefix/include") ]]; then
    echo "pkg-config --cflags progressbar: '$cflags', not the prefix's include directory" >&2
    exit 1
  fi
done
version=$(pkg-config --modversion progressbar)
for static in "" --static; do
  flags=$(pkg-config $static --cflags --libs progressbar)
  echo "pkg-config ${static:+$static }--cflags --libs progressbar: $flags"
  # shellcheck disable=SC2086 # the flags are words
  "$compiler" -std=c++20 ${CXXFLAGS:-} "-DEXPECTED_VERSION=\"$version\"" "$here/main.cpp" \
    -o "$output" $flags ${LDFLAGS:-}
  "$output"
done
