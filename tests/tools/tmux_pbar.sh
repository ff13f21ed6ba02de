#!/usr/bin/env bash
# pbar in a real terminal (tmux): several pbars of one pipeline each keep a
# row of their own and end complete, the prompt comes back below them; one
# pbar keeps to --width; several files line their bars up; after Ctrl-C the
# next pipeline starts afresh.
#
#   bash tests/tools/tmux_pbar.sh path/to/pbar
set -euo pipefail
pbar=$(realpath "$1")
source "$(dirname "$0")/tmux_lib.sh"
dir=$(mktemp -d)
trap 'rm -rf "$dir"; tmux kill-server 2>/dev/null || true' EXIT
head -c 4000000 /dev/urandom >"$dir/a.bin"
head -c 1000000 /dev/urandom >"$dir/b.bin"
count() { grep -cE "$1" <<<"$shot" || true; }
once() { for line; do (($(count "$line") == 1)) || fail "/$line/ is on the screen $(count "$line") times"; done; }

# Two pbars around gzip, and three in a row: a row each while they run, each
# line once at the end, the prompt below them.
start 100 30
tmux send-keys -t t "cd $dir && $pbar -L 4M a.bin | gzip -1 | $pbar -N gz > a.gz; echo \"done \$?\"" Enter
wait_for '^gz [⠋⠙⠹⠸⠼⠴⠦⠧⠇⠏] [1-9]'
shot=$(screen)
once '^a\.bin \[[=>.]+\] [0-9.]+ [KM]iB / 3\.81 MiB' '^gz [⠋⠙⠹⠸⠼⠴⠦⠧⠇⠏] '
wait_for '^done 0$'
shot=$(screen)
once '^a\.bin \[=+\] 3\.81 MiB / 3\.81 MiB ' '^gz [⠋⠙⠹⠸⠼⠴⠦⠧⠇⠏] 3\.8[0-9] MiB ' '^done 0$'
# A bar of its own takes the terminal's whole width.
(($(grep '^a\.bin' <<<"$shot" | awk '{ print length($0) }') == 100)) || fail "a.bin: not 100 columns wide"
# The rows are taken in the order the pbars first draw, then the prompt.
rows=$(grep -A2 -E '^(a\.bin|gz) ' <<<"$shot" | head -n 3 | cut -c1-3 | tr '\n' ' ')
[[ $rows == "a.b gz  don " || $rows == "gz  a.b don " ]] || fail "rows in the order $rows"
((failures == 0)) || echo "$shot" >&2

start 100 30
tmux send-keys -t t "cd $dir && $pbar -N one -L 4M a.bin | $pbar -N two | $pbar -N three > /dev/null; echo finished" Enter
wait_for '^finished$'
shot=$(screen)
once '^one \[=+\] 3\.81 MiB / 3\.81 MiB ' '^two [⠋⠙⠹⠸⠼⠴⠦⠧⠇⠏] 3\.81 MiB ' \
  '^three [⠋⠙⠹⠸⠼⠴⠦⠧⠇⠏] 3\.81 MiB ' '^finished$'
(($(grep -c . <<<"$shot") == 6)) || fail "three pbars: lines other than the rows"
((failures == 0)) || echo "$shot" >&2

# One pbar, narrowed by --width; two files, their bars lined up.
start 100 30
tmux send-keys -t t "cd $dir && $pbar -w 50 a.bin b.bin > /dev/null; echo finished" Enter
wait_for '^finished$'
shot=$(screen)
once '^a\.bin \[=+\] 3\.81 MiB / 3\.81 MiB' '^b\.bin \[=+\] 977 KiB / 977 KiB'
long=$(grep -E '^[ab]\.bin' <<<"$shot" | awk '{ if (length($0) > 50) print }')
[[ -z $long ]] || fail "--width 50: lines of more than 50 columns: $long"
columns=$(grep -E '^[ab]\.bin' <<<"$shot" | awk '{ print index($0, "[") }' | sort -u)
[[ $columns == 7 ]] || fail "two files: bars starting at columns $columns"
((failures == 0)) || echo "$shot" >&2

# A line wider than the terminal (--width past it, colour escapes in the
# template) is cut to the terminal's columns, never wrapped onto the next
# row; with no shared file to be had, a pbar draws alone and its output is
# its input.
start 40 10
tmux send-keys -t t "cd $dir && clear && XDG_RUNTIME_DIR=/nonexistent $pbar -w 70 -F \$'{prefix} \\e[32m{bar}\\e[0m {bytes} end' b.bin > copy.bin; cmp b.bin copy.bin && echo same" Enter
wait_for '^same$'
shot=$(screen)
line=$(grep '^b\.bin ' <<<"$shot" || true)
[[ ${#line} -le 40 && $line =~ ^b\.bin\ +\[=+ && $(grep -A1 '^b\.bin ' <<<"$shot" | tail -n 1) == same ]] ||
  fail "a line wider than the terminal: not cut at 40 columns"
((failures == 0)) || echo "$shot" >&2

# --delay-start on a terminal: a copy that ends sooner draws nothing, not
# even an empty row.
start 100 10
tmux send-keys -t t "cd $dir && clear && $pbar -D 5 b.bin > /dev/null; echo finished" Enter
wait_for '^finished$'
shot=$(screen)
[[ $(grep -c . <<<"$shot") == 2 ]] || fail "-D 5 on a terminal: something was drawn"
((failures == 0)) || echo "$shot" >&2

# More files than rows: one file after another, each takes a row below the
# last when it starts, so every final line is there once, scrolled up.
start 100 8
tmux send-keys -t t "cd $dir && for i in \$(seq 10 21); do head -c 1000 b.bin > f\$i; done; clear" Enter
sleep 0.5
tmux send-keys -t t "$pbar f* > /dev/null; echo finished" Enter
wait_for '^finished$'
shot=$(screen -S -)
for i in $(seq 10 21); do once "^f$i \[=+\] 1000 B / 1000 B"; done
((failures == 0)) || echo "$shot" >&2

# --height: a row further up than the terminal's height is not drawn, the
# cursor cannot reach it (three pbars, one after the other by their delays).
start 100 30
tmux send-keys -t t "cd $dir && clear && $pbar -H 2 -N top -L 500k b.bin | $pbar -D 0.4 -N mid | $pbar -D 0.8 -N low > /dev/null; echo finished" Enter
wait_for '^finished$'
shot=$(screen)
once '^top \[[=>.]+\] [0-9.]+ KiB / 977 KiB' '^mid [⠋⠙⠹⠸⠼⠴⠦⠧⠇⠏] 977 KiB' '^low [⠋⠙⠹⠸⠼⠴⠦⠧⠇⠏] 977 KiB'
(($(count '^top .* 977 KiB / 977 KiB') == 0)) || fail "--height 2: the row two up was drawn to its end"
[[ $(grep -oE '^(top|mid|low)' <<<"$shot" | tr '\n' ' ') == "top mid low " ]] || fail "--height: rows out of order"
((failures == 0)) || echo "$shot" >&2

# Interrupted: the rows are left whole (the echoed ^C drawn over), the
# shared file is gone, and the next pipeline takes rows of its own.
start 100 30
mkdir -p "$dir/run"
tmux send-keys -t t "cd $dir && export XDG_RUNTIME_DIR=$dir/run && clear && $pbar -N first -L 1M a.bin | $pbar -N second > /dev/null" Enter
wait_for '^second '
sleep 0.3
tmux send-keys -t t C-c
sleep 1
shot=$(screen)
once '^first \[' '^second '
(($(count '\^C') == 0)) || fail "Ctrl-C: the echoed ^C is left on a row"
[[ -z $(ls "$dir/run") ]] || fail "Ctrl-C: the shared file is left: $(ls "$dir/run")"
((failures == 0)) || echo "$shot" >&2
tmux send-keys -t t "clear; $pbar -N again b.bin | $pbar -N after > /dev/null; echo finished" Enter
wait_for '^finished$'
shot=$(screen)
once '^again \[=+\] 977 KiB / 977 KiB' '^after [⠋⠙⠹⠸⠼⠴⠦⠧⠇⠏] 977 KiB ' '^finished$'
((failures == 0)) || echo "$shot" >&2

((failures == 0)) && echo "tmux: every pbar of a pipeline keeps a row of its own"
exit $((failures != 0))
