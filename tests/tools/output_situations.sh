#!/usr/bin/env bash
# Where a program's output goes with a display running, in every situation
# a shell puts it in: standard output to a file, a pipe, /dev/null, closed,
# or the terminal; standard error (the display) to a file, the terminal, or
# closed; CI with no terminal. Standard output must carry exactly the bytes
# of the same program without the library, and the bars must be where a
# person expects them.
#
#   bash tests/tools/output_situations.sh path/to/situations [path/to/logging [path/to/children]]
set -uo pipefail
prog=$(realpath "$1")
logging=${2:+$(realpath "$2")}
children=${3:+$(realpath "$3")}
source "$(dirname "$0")/tmux_lib.sh"
dir=$(mktemp -d)
trap 'rm -rf "$dir"; tmux kill-server 2>/dev/null || true' EXIT
plain() { PLAIN=1 timeout 20 "$prog"; }
run() { timeout 20 "$prog"; }

plain >"$dir/expected" 2>/dev/null || fail "the plain run failed"
[[ -s $dir/expected ]] || fail "the plain run wrote nothing"

same() {  # $1: what, $2: the file standard output went to
  cmp -s "$dir/expected" "$2" || { fail "$1: standard output differs"; diff "$dir/expected" "$2" >&2; }
}
logged() {  # $1: what, $2: the display's log: plain lines, the final bar line there once
  if grep -q $'[\r\x1b]' "$2"; then fail "$1: a carriage return or an escape in the log"; fi
  local n
  n=$(grep -c '^steps .* 40/40$' "$2")
  ((n == 1)) || fail "$1: the final bar line is in the log $n times"
  if grep -q '^result' "$2"; then fail "$1: a result landed in the display's log"; fi
}

# No terminal anywhere, as CI runs it.
CI=true run >"$dir/out" 2>"$dir/err" </dev/null || fail "files: exit $?"
same "stdout to a file, stderr to a file" "$dir/out"
logged "stdout to a file, stderr to a file" "$dir/err"
run 2>"$dir/err" </dev/null | cat >"$dir/out" || fail "pipe: exit $?"
same "stdout to a pipe" "$dir/out"
logged "stdout to a pipe" "$dir/err"
run >"$dir/out" 2>&1 </dev/null || fail "both to one file: exit $?"
grep -v '^steps ' "$dir/out" >"$dir/out-results"
plain 2>&1 | grep -v '^steps ' >"$dir/plain-both"
cmp -s "$dir/plain-both" "$dir/out-results" || fail "both to one file: the results differ"
run >"$dir/out" 2>&- </dev/null || fail "2>&-: exit $?"
same "standard error closed" "$dir/out"
run >&- 2>"$dir/err" </dev/null
status=$?
PLAIN=1 timeout 20 "$prog" >&- 2>/dev/null </dev/null
((status == $?)) || fail ">&-: exit $status, without the library $?"
logged "standard output closed" "$dir/err"
run >/dev/null 2>"$dir/err" </dev/null || fail "/dev/null: exit $?"
logged "stdout to /dev/null" "$dir/err"
run >"$dir/out" 2>"$dir/err" <&- || fail "<&-: exit $?"
same "standard input closed" "$dir/out"
logged "standard input closed" "$dir/err"
for _ in 1 2 3 4 5 6 7 8; do  # a fault of descriptor numbers shows one run in a few
  timeout 20 "$prog" >"$dir/out" 2>&- </dev/null || fail "2>&- again: exit $?"
  same "standard error closed, again" "$dir/out"
done

# Bars hidden by the environment: the same standard output, and no bar in
# the log, only what the program printed there.
PROGRESSBAR_HIDE=1 CI=true run >"$dir/out" 2>"$dir/err" </dev/null || fail "hidden: exit $?"
same "bars hidden" "$dir/out"
if grep -q '^steps' "$dir/err"; then fail "hidden: a bar in the log"; fi

# A terminal: standard output and standard error on it, or one of them elsewhere.
start 100 30
tmux send-keys -t t "$prog; echo; echo finished" Enter
wait_for '^finished$'
shot=$(screen -S -)
for line in 'result 10: cout' 'result 40: printf (two calls)' 'result 20: write' 'result 30: child'; do
  n=$(grep -cxF "$line" <<<"$shot")
  ((n == 1)) || fail "terminal: '$line' is on the screen $n times"
done
n=$(grep -cx 'result: puts' <<<"$shot")
((n == 4)) || fail "terminal: puts's line is on the screen $n times"
n=$(grep -c '^steps .* 40/40$' <<<"$shot")
((n == 1)) || fail "terminal: the final bar line is on the screen $n times"
grep -qx 'no line feed at the end' <<<"$shot" || fail "terminal: the last bytes are missing"

start 100 30
tmux send-keys -t t "$prog >$dir/out; echo finished" Enter
wait_for '^finished$'
same "stdout to a file, the display on the terminal" "$dir/out"
shot=$(screen -S -)
if grep -q '^result' <<<"$shot"; then fail "stdout to a file: a result is on the terminal"; fi
grep -q '^steps .* 40/40$' <<<"$shot" || fail "stdout to a file: no final bar on the terminal"

start 100 30
tmux send-keys -t t "$prog | cat >$dir/out; echo finished" Enter
wait_for '^finished$'
same "stdout to a pipe, the display on the terminal" "$dir/out"

start 100 30
tmux send-keys -t t "$prog 2>$dir/err; echo; echo finished" Enter
wait_for '^finished$'
logged "the display to a file, stdout on the terminal" "$dir/err"
shot=$(screen -S -)
for line in 'result 10: cout' 'result 40: printf (two calls)' 'result 30: child'; do
  grep -qxF "$line" <<<"$shot" || fail "the display to a file: '$line' is not on the terminal"
done

start 100 30
tmux send-keys -t t "$prog 2>/dev/null; echo; echo finished" Enter
wait_for '^finished$'
grep -qxF 'result 20: write' <<<"$(screen -S -)" || fail "2>/dev/null: the results are not shown"

start 100 30
tmux send-keys -t t "PROGRESSBAR_HIDE=1 $prog; echo; echo finished" Enter
wait_for '^finished$'
shot=$(screen -S -)
grep -qxF 'result 30: child' <<<"$shot" || fail "hidden: the results are not shown"
if grep -q '^steps' <<<"$shot"; then fail "hidden: a bar on the terminal"; fi

# Interrupted: the shell's prompt comes back on a line of its own.
start 100 30
tmux send-keys -t t "$prog" Enter
wait_for '^steps '
tmux send-keys -t t C-c
tmux send-keys -t t "echo back" Enter
wait_for '^back$'

# The logging example: its workers' std::cout lines and its child's output
# are its standard output, wherever that goes; spdlog's lines and the bars
# are the display's.
if [[ -n $logging ]]; then
  expected=$'child: 2 archives\nchild: unpacking model.bin\nworker 0: model.bin done\nworker 1: tokens.json done\nworker 2: weights.safetensors done'
  timeout 60 "$logging" >"$dir/out" 2>"$dir/err" </dev/null || fail "logging: exit $?"
  [[ $(grep -v '^\[info\]' "$dir/out" | sort) == "$expected" ]] ||
    { fail "logging: standard output is not the program's"; cat "$dir/out" >&2; }
  timeout 60 "$logging" 2>"$dir/err" </dev/null | cat >"$dir/out" || fail "logging to a pipe: exit $?"
  [[ $(grep -v '^\[info\]' "$dir/out" | sort) == "$expected" ]] ||
    fail "logging to a pipe: standard output is not the program's"
  if grep -qE '^(worker|child)' "$dir/err"; then fail "logging: program output in the display's log"; fi
  n=$(cat "$dir/err" "$dir/out" | grep -c '^\[info\]')  # spdlog's when found, else std::cout's
  ((n == 9)) || fail "logging: $n info lines"
fi

# Children sharing their parent's display: each child's final line once,
# wherever the display goes, and nothing of theirs on standard output.
if [[ -n $children ]]; then
  for situation in file closed; do
    if [[ $situation == file ]]; then
      timeout 30 "$children" >"$dir/out" 2>"$dir/err" </dev/null || fail "children: exit $?"
    else
      timeout 30 "$children" >"$dir/out" 2>&- </dev/null || fail "children, 2>&-: exit $?"
      : >"$dir/err"
    fi
    [[ -s $dir/out ]] && fail "children ($situation): something on standard output"
  done
  timeout 30 "$children" >"$dir/out" 2>"$dir/err" </dev/null
  for line in 'children: fetch .* 100%' 'children: unpack .* 100%' 'fetch done' 'unpack done'; do
    n=$(grep -c "^$line\$" "$dir/err")
    ((n == 1)) || fail "children: '$line' is in the log $n times"
  done
  start 100 30
  tmux send-keys -t t "$children; echo finished" Enter
  wait_for '^finished$'
  shot=$(screen -S -)
  for line in 'children: fetch .* 100%' 'children: unpack .* 100%' 'jobs .* 100%'; do
    n=$(grep -c "^$line\$" <<<"$shot")
    ((n == 1)) || fail "children on a terminal: '$line' is on the screen $n times"
  done
fi

((failures == 0)) && echo "output situations: standard output as without the library in every one"
exit $((failures != 0))
