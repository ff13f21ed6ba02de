#!/usr/bin/env bash
# The multi example in a real terminal (tmux, which re-wraps its lines on a
# resize): interrupted with Ctrl-C at several moments, the shell's prompt and
# the next command's output land below every row, each row intact; narrowed
# from 100 to 60 columns at several moments, the line printed above the block
# and every bar's final line are there exactly once, and the screen holds no
# stale row.
#
#   bash tests/tools/tmux_multi.sh path/to/multi
set -euo pipefail
multi=$(realpath "$1")
source "$(dirname "$0")/tmux_lib.sh"

# A row as the example draws it: its name, the bar, and a count at the end.
row='^(alpha\.iso|beta\.tar|数据\.bin|  unpack) +▕[█▌ ]*▏ .*(%|files)$'

for moment in 0.3 1.2 2.2 3.2; do
  start
  tmux send-keys -t t "$multi" Enter
  sleep "$moment"
  tmux send-keys -t t C-c
  wait_for '^PROMPT\$$'
  tmux send-keys -t t 'echo after' Enter
  wait_for '^after$'
  shot=$(screen)
  prompt=$(grep -n '^PROMPT\$ echo after$' <<<"$shot" | cut -d: -f1)
  [[ -n "$prompt" ]] || { fail "Ctrl-C at ${moment}s: no clean prompt line"; echo "$shot" >&2; continue; }
  bars=$(grep -c '▕' <<<"$shot" || true)
  intact=$(grep -cE "$row" <<<"$shot" || true)
  last=$(grep -n '▕' <<<"$shot" | tail -n 1 | cut -d: -f1)
  if ((bars != intact)) || ((${last:-0} >= prompt)); then
    fail "Ctrl-C at ${moment}s: a row was overwritten or the prompt is not below the rows"
    echo "$shot" >&2
  fi
done

final=(
  '^alpha\.iso +▕█+▏ 600 MiB / 600 MiB 100%$'
  '^beta\.tar +▕█+▏ 150 MiB / 150 MiB 100%$'
  '^数据\.bin +▕█+▏ 300 MiB / 300 MiB 100%$'
  '^  unpack +▕█+▏ 40/40 files$'
  '^beta\.tar: checksum ok$'
)
for moment in 0.5 1.6 2.6 3.3; do
  start
  tmux send-keys -t t "$multi; echo finished" Enter
  sleep "$moment"
  tmux resize-window -t t -x 60
  wait_for '^finished$'
  everything=$(screen -S -)
  for line in "${final[@]}"; do
    count=$(grep -cE "$line" <<<"$everything" || true)
    ((count == 1)) || fail "narrowed at ${moment}s: /$line/ is there $count times"
  done
  stale=$(screen | grep '▕' | grep -cvE '(100%|40/40 files)$' || true)
  ((stale == 0)) || fail "narrowed at ${moment}s: the screen holds $stale stale rows"
  ((failures == 0)) || screen -S - >&2
done

((failures == 0)) && echo "tmux: every interrupt and every narrowing left the screen right"
exit $((failures != 0))
