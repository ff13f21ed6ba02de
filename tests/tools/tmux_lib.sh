# Helpers of the tmux tests: a shell in a detached window on a server of
# its own, its screen as text, and waiting for a line to show.
export LC_ALL=C.UTF-8
runs=0
tmux() { command tmux -u -L "pbtest-$$-$runs" -f /dev/null "$@"; }
trap 'tmux kill-server 2>/dev/null || true' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

start() {  # a shell in a detached window, 100x30 or as given, on a server of its own
  tmux kill-server 2>/dev/null || true
  runs=$((runs + 1))
  tmux new-session -d -s t -x "${1:-100}" -y "${2:-30}" "PS1='PROMPT\$ ' bash --norc --noprofile"
  tmux set -g window-size manual
  sleep 0.3
}
# The screen (-S -: and the history) with wrapped lines joined, without the
# trailing blanks that -J keeps.
screen() { tmux capture-pane -t t -p -J "$@" | sed 's/ *$//'; }
wait_for() {  # until the screen shows a line matching $1, for at most 30 s
  for _ in $(seq 300); do
    screen | grep -qE "$1" && return 0
    sleep 0.1
  done
  fail "gave up waiting for /$1/"
  screen >&2
}
