#!/usr/bin/env bash
# Set-up for a newcomer: installs what the build needs (on Debian or Ubuntu,
# with apt-get; through sudo when not root), then builds and runs the demo or
# the tests.
#
#   bash run.sh demo     # build and run the demo
#   bash run.sh tests    # build and run the tests
set -euo pipefail
cd "$(dirname "$0")"

# What the build needs, and what its configure step looks for: spdlog (the
# sink and its test), tmux (the examples in a real terminal) and help2man
# (pbar's man page); CI builds require them.
packages=(cmake make g++ pkg-config libgmp-dev libutf8proc-dev nlohmann-json3-dev libgtest-dev libgmock-dev
          libvterm-dev libspdlog-dev tmux help2man)
# What the tests run besides: python3 (pbar on a pseudo-terminal), and node
# with npm, which fetches xterm.js for the resize tests (a machine may have
# node and npm from elsewhere than Debian).
test_packages=(python3 ca-certificates)
command -v npm >/dev/null || test_packages+=(nodejs npm)

install_missing() {
  local missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  ((${#missing[@]})) || return 0
  echo "run.sh: installing ${missing[*]}"
  local sudo=()
  if [[ $(id -u) -ne 0 ]]; then
    command -v sudo >/dev/null || { echo "run.sh: run as root, or install: ${missing[*]}" >&2; exit 1; }
    sudo=(sudo)
  fi
  "${sudo[@]}" apt-get update
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
}

case "${1:-}" in
  demo)
    install_missing "${packages[@]}"
    cmake --preset default
    cmake --build --preset default --target demo
    build/default/examples/demo
    ;;
  tests)
    install_missing "${packages[@]}" "${test_packages[@]}"
    cmake --workflow --preset default
    ;;
  *)
    echo "usage: bash run.sh demo|tests" >&2
    exit 2
    ;;
esac
