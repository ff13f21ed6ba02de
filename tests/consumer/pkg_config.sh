#!/usr/bin/env bash
# Builds the consumer through pkg-config against an installed prefix, then
# runs it. Usage: pkg_config.sh PREFIX COMPILER OUTPUT
set -euo pipefail
prefix=$1 compiler=$2 output=$3
here=$(cd "$(dirname "$0")" && pwd)
pcfile=$(find "$prefix" -name progressbar.pc | head -n 1)
[[ -n "$pcfile" ]] || { echo "no progressbar.pc under $prefix" >&2; exit 1; }
flags=$(PKG_CONFIG_PATH=$(dirname "$pcfile") pkg-config --static --cflags --libs progressbar)
# shellcheck disable=SC2086 # the flags are words
"$compiler" -std=c++20 ${CXXFLAGS:-} "$here/main.cpp" -o "$output" $flags ${LDFLAGS:-}
"$output"
