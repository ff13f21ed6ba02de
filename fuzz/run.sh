#!/usr/bin/env bash
# Replays each fuzz target's seed corpus, then fuzzes it for a bounded time.
# Usage: fuzz/run.sh BUILD_DIR [SECONDS_PER_TARGET]
set -euo pipefail
build=$1
seconds=${2:-15}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for target in fuzz_render fuzz_from_string fuzz_numeric_labels fuzz_durations fuzz_units; do
  bin="$build/fuzz/$target"
  echo "--- $target: replaying $(ls "$here/corpus/$target" | wc -l) seeds"
  "$bin" -runs=0 "$here/corpus/$target" 2>&1 | tail -n 1
  mkdir -p "$work/$target"
  cp "$here/corpus/$target"/* "$work/$target"/
  echo "--- $target: fuzzing for ${seconds}s"
  "$bin" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$work/" \
    "$work/$target" 2>"$work/$target.log" || { tail -n 60 "$work/$target.log"; exit 1; }
  grep -E 'stat::number_of_executed_units' "$work/$target.log"
done
