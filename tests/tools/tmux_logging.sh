#!/usr/bin/env bash
# The logging example in a real terminal (tmux): every log line, the child's
# output and the answer to its prompt are on the screen exactly once, whole,
# above the block, and the shell's prompt comes back on a line of its own.
#
#   bash tests/tools/tmux_logging.sh path/to/logging
set -euo pipefail
logging=$(realpath "$1")
source "$(dirname "$0")/tmux_lib.sh"

start 100 40
tmux send-keys -t t "$logging; echo finished" Enter
wait_for '^Keep the downloads\? \[y/n\]$'
tmux send-keys -t t y Enter
wait_for '^finished$'
shot=$(screen -S -)
once=(
  '^worker 0: model\.bin done$' '^worker 1: tokens\.json done$'
  '^worker 2: weights\.safetensors done$' '^child: unpacking model\.bin$' '^child: 2 archives$'
  '^Keep the downloads\? \[y/n\] y$' '^answer: y$' '^PROMPT\$ $|^PROMPT\$$'
  '^model\.bin +\[=+\] 300 MiB / 300 MiB 100%$' '^unpack +\[=+\] 100%$'
)
for file in model.bin tokens.json weights.safetensors; do
  for percent in 25 50 75; do once+=("^\[info\] ${file//./\\.}: $percent%$"); done
done
for line in "${once[@]}"; do
  count=$(grep -cE "$line" <<<"$shot" || true)
  ((count == 1)) || fail "/$line/ is on the screen $count times"
done
# Nothing but those lines, the command and the finished marker.
others=$(grep -vE "$(IFS='|'; echo "${once[*]}")" <<<"$shot" | grep -vE '^(PROMPT\$ .*logging; echo finished|finished|tokens\.json .*|weights\.safetensors .*)$' | grep -c . || true)
((others == 0)) || fail "$others unexpected lines on the screen"
((failures == 0)) || echo "$shot" >&2
((failures == 0)) && echo "tmux: every line of the logging example is there once, above the block"
exit $((failures != 0))
