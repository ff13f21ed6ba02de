#!/usr/bin/env bash
# Installs the library into a temporary prefix, static and shared, and builds
# and runs the consumer through find_package, pkg-config and add_subdirectory.
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
here="$source_dir/tests/consumer"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
expected="[=======================] 100%"

check() {  # the program's output must end with the finished bar line
  local output
  output=$("$@")
  printf '%s\n' "$output" | tr '\r' '\n' | tail -n 1
  [[ "$(printf '%s' "$output" | tr '\r' '\n' | tail -n 1)" == "$expected" ]]
}

for shared in OFF ON; do
  prefix="$work/prefix-$shared"
  echo "--- install (BUILD_SHARED_LIBS=$shared)"
  cmake -S "$source_dir" -B "$work/lib-$shared" -DCMAKE_BUILD_TYPE=Release \
    -DBUILD_SHARED_LIBS=$shared -DPROGRESSBAR_BUILD_TESTS=OFF -DPROGRESSBAR_BUILD_EXAMPLES=OFF \
    -DCMAKE_INSTALL_PREFIX="$prefix" >/dev/null
  cmake --build "$work/lib-$shared" -j2 >/dev/null
  cmake --install "$work/lib-$shared" >/dev/null
  export LD_LIBRARY_PATH="$prefix/lib${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"

  echo "--- find_package"
  cmake -S "$here" -B "$work/fp-$shared" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
  cmake --build "$work/fp-$shared" >/dev/null
  check "$work/fp-$shared/consumer"

  echo "--- pkg-config"
  PKG_CONFIG_PATH="$prefix/lib/pkgconfig" \
    bash -c "c++ -std=c++20 '$here/main.cpp' -o '$work/pc-$shared' \$(pkg-config --cflags --libs progressbar)"
  check "$work/pc-$shared"
done

echo "--- add_subdirectory"
cmake -S "$here" -B "$work/sub" -DPROGRESSBAR_SOURCE_DIR="$source_dir" >/dev/null
cmake --build "$work/sub" -j2 >/dev/null
check "$work/sub/consumer"
echo "consumer builds: all passed"
