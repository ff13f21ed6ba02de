#!/usr/bin/env bash
# Installs a build into a prefix of its own, then moves the whole prefix to
# PREFIX: whatever the install wrote must still find everything from there.
#
#   install_moved.sh BUILD_DIR PREFIX     # CMAKE: the cmake to install with
set -euo pipefail
build=$1 prefix=$2
rm -rf "$prefix" "$prefix.before-move"
"${CMAKE:-cmake}" --install "$build" --prefix "$prefix.before-move" >/dev/null
mv "$prefix.before-move" "$prefix"
echo "installed into $prefix.before-move, then moved to $prefix"
