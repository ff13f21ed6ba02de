#!/usr/bin/env bash
# The library built as a shared one, installed, the install moved to another
# prefix, and used from there through find_package and plain pkg-config; the
# install's man page and documents. (The test suite checks the static build
# the same way, save the documents.)
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

# The man page reads as a man page, of this version, with its options; the
# licence and the changes are where a distribution puts them.
version=$("$work/prefix/bin/pbar" --version)
# (man justifies its lines: runs of spaces are one here.)
page=$(MANWIDTH=80 man -l "$work/prefix/share/man/man1/pbar.1" 2>&1 | tr -s ' ')
for text in "pbar - copy standard input or files" "System::ProgressBar ${version##* }" \
            "-s, --size SIZE" "-V, --version"; do
  grep -qF -- "$text" <<<"$page" ||
    { printf 'man -l pbar.1: no "%s" in:\n%s\n' "$text" "$page" >&2; exit 1; }
done
for file in LICENSE CHANGELOG.md README.md; do
  [[ -s "$work/prefix/share/doc/progressbar/$file" ]] ||
    { echo "no share/doc/progressbar/$file in the install" >&2; exit 1; }
done
echo "pbar.1 and share/doc/progressbar: as installed"
