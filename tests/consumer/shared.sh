#!/usr/bin/env bash
# The library built as a shared one, installed to a prefix other than the
# configured one, and used through find_package and pkg-config. (The static
# build is checked the same way by the test suite itself.)
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
here="$source_dir/tests/consumer"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake -S "$source_dir" -B "$work/lib" -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=ON \
  -DPROGRESSBAR_BUILD_TESTS=OFF -DPROGRESSBAR_BUILD_EXAMPLES=OFF >/dev/null
cmake --build "$work/lib" -j2 >/dev/null
cmake --install "$work/lib" --prefix "$work/prefix" >/dev/null
export LD_LIBRARY_PATH="$(dirname "$(find "$work/prefix" -name 'libprogressbar.so' | head -n 1)")"
cmake -S "$here" -B "$work/fp" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/fp" >/dev/null
"$work/fp/consumer"
bash "$here/pkg_config.sh" "$work/prefix" c++ "$work/pc"
