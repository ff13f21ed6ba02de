#!/usr/bin/env bash
# The library built as a shared one, installed, the install moved to another
# prefix, and used from there through find_package and plain pkg-config. (The
# test suite checks the static build the same way.)
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
here="$source_dir/tests/consumer"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake -S "$source_dir" -B "$work/lib" -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=ON \
  -DPROGRESSBAR_BUILD_TESTS=OFF -DPROGRESSBAR_BUILD_EXAMPLES=OFF >/dev/null
cmake --build "$work/lib" -j2 >/dev/null
bash "$here/install_moved.sh" "$work/lib" "$work/prefix"
export LD_LIBRARY_PATH="$(dirname "$(find "$work/prefix" -name 'libprogressbar.so' | head -n 1)")"
cmake -S "$here" -B "$work/fp" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/fp" >/dev/null
"$work/fp/consumer"
bash "$here/pkg_config.sh" "$work/prefix" c++ "$work/pc"

