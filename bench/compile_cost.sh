#!/usr/bin/env bash
# The cost of including the library: compiles a one-bar program and an
# <iostream> hello three times each at -O2 and prints the median times, their
# ratio and the preprocessed line counts.
#
#   bash bench/compile_cost.sh [CXX]      # from the project's root
set -euo pipefail
cd "$(dirname "$0")/.."
cxx="${1:-${CXX:-g++}}"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cat >"$work/hello.cpp" <<'CPP'
#include <iostream>
int main() { std::cout << "hello\n"; }
CPP
cat >"$work/one_bar.cpp" <<'CPP'
#include <System/ProgressBar.hpp>
namespace pb = System::ProgressBar;
int main() {
  pb::Display display;
  const auto bar = display.add(pb::Style<>{.stylePrefix = "work"}, pb::Progress<>{0, 100});
  for (int i = 0; i < 100; ++i) pb::incProgress(bar, 1);
}
CPP

flags=(-std=c++20 -O2 -Iinclude)
median() { printf '%s\n' "$@" | sort -g | sed -n 2p; }
seconds() {  # compile time of one run, in seconds
  local start end
  start=$(date +%s.%N)
  "$cxx" "${flags[@]}" -c "$1" -o "$work/out.o" || { echo "compile_cost: $1 does not compile" >&2; exit 1; }
  end=$(date +%s.%N)
  echo "$end - $start" | bc -l
}
lines() { "$cxx" "${flags[@]}" -E "$1" | wc -l; }

declare -A time count
for program in hello one_bar; do
  runs=()
  for _ in 1 2 3; do
    run=$(seconds "$work/$program.cpp") || exit 1
    runs+=("$run")
  done
  time[$program]=$(median "${runs[@]}")
  count[$program]=$(lines "$work/$program.cpp")
done
ratio=$(echo "${time[one_bar]} / ${time[hello]}" | bc -l)
printf 'compiler: %s\n' "$("$cxx" --version | head -n1)"
printf '%-10s %10s %18s\n' program "seconds" "preprocessed lines"
printf '%-10s %10.2f %18d\n' hello "${time[hello]}" "${count[hello]}"
printf '%-10s %10.2f %18d\n' one_bar "${time[one_bar]}" "${count[one_bar]}"
printf 'one_bar / hello: %.2fx (target <= 2x, <= 60000 lines)\n' "$ratio"
