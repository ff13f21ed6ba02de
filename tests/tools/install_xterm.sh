#!/usr/bin/env bash
# Installs xterm.js (headless) into PREFIX/node_modules for the resize tests,
# unless it is there. Without npm or its registry the tests that need it skip,
# except in CI, where this fails.
#
#   bash tests/tools/install_xterm.sh PREFIX
set -euo pipefail
prefix="$1"
version=5.5.0
if [[ -f "$prefix/node_modules/@xterm/headless/package.json" ]] &&
   grep -q "\"version\": \"$version\"" "$prefix/node_modules/@xterm/headless/package.json"; then
  exit 0
fi
if command -v npm >/dev/null &&
   npm install --prefix "$prefix" --no-audit --no-fund --no-save "@xterm/headless@$version" >/dev/null; then
  exit 0
fi
echo "install_xterm: xterm.js could not be installed; the tests on a re-wrapping terminal skip" >&2
[[ -z "${CI:-}" ]]
