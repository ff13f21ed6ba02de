#!/usr/bin/env bash
# pbar from the outside: its output is its input, byte for byte; its log
# says what it counted; a closed pipe downstream, an unreadable file and a
# bad command line end it as a shell expects; on a terminal its bar ends
# complete; it says its version, and its man page holds every option of its
# help.
#
#   bash tests/tools/pbar_test.sh path/to/pbar path/to/screen_replay VERSION [path/to/pbar.1]
set -uo pipefail
# The spinner's frames in the patterns below are characters of UTF-8, not bytes.
export LC_ALL=C.UTF-8
pbar=$(realpath "$1")
replay=$(realpath "$2")
version=$3
man=${4:+$(realpath "$4")}
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cd "$dir"
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
expect() {  # expect DESCRIPTION FILE EXTENDED-REGEX: a line of FILE matches
  grep -qE "$3" "$2" || { fail "$1: no line /$3/ in:"; cat "$2" >&2; }
}
plain() {  # a log holds no carriage return and no escape
  ! grep -q $'[\r\x1b]' "$1" || fail "$2: a carriage return or an escape in the log"
}

head -c 3000000 /dev/urandom >random.bin
printf 'one\ntwo\nthree\n' >three.txt

# Byte for byte, from a file and from a pipe, with the totals each way.
"$pbar" random.bin >copy.bin 2>file.log || fail "file: status $?"
cmp -s random.bin copy.bin || fail "file: the copy differs"
expect "file" file.log '^random\.bin \[=+\] 2\.86 MiB / 2\.86 MiB .*'
plain file.log file
"$pbar" --interval 0.5 <random.bin >copy.bin 2>stdin.log || fail "standard input: status $?"
cmp -s random.bin copy.bin || fail "standard input: the copy differs"
expect "standard input a file" stdin.log '^\[=+\] 2\.86 MiB / 2\.86 MiB'
# In a log the bar of every line is 30 columns wide, whatever the labels
# beside it, and no line ends in a blank.
widths=$(grep -o '\[[=>.]*\]' file.log | awk '{ print length($0) - 2 }' | sort -u)
[[ $widths == 30 ]] || fail "file: log lines with bars of widths $widths, not 30"
! grep -q '[[:blank:]]$' file.log || fail "file: a log line ends in a blank"
# A named pipe has no size: a spinner.
mkfifo named.pipe
cat three.txt >named.pipe &
"$pbar" named.pipe >copy.txt 2>fifo.log || fail "named pipe: status $?"
wait
cmp -s three.txt copy.txt || fail "named pipe: the copy differs"
expect "named pipe" fifo.log '^named\.pipe [⠋⠙⠹⠸⠼⠴⠦⠧⠇⠏] 14 B '
for interval in 0 1s; do
  "$pbar" --interval "$interval" <three.txt >/dev/null 2>interval.log
  (($? == 2)) || fail "--interval $interval: accepted"
done
cat random.bin | "$pbar" --size=2.86MiB --name feed >copy.bin 2>sized.log || fail "--size: status $?"
cmp -s random.bin copy.bin || fail "--size: the copy differs"
expect "--size" sized.log '^feed \[.*\] 2\.86 MiB / 2\.86 MiB'
cat random.bin | "$pbar" >copy.bin 2>unknown.log || fail "unknown size: status $?"
cmp -s random.bin copy.bin || fail "unknown size: the copy differs"
expect "unknown size" unknown.log '^[⠋⠙⠹⠸⠼⠴⠦⠧⠇⠏] 2\.86 MiB '
plain unknown.log "unknown size"

# Lines, and several files on one display, each with its own bar.
"$pbar" --lines three.txt three.txt >lines.out 2>lines.log || fail "--lines: status $?"
[[ $(cat lines.out) == $(cat three.txt three.txt) ]] || fail "--lines: the copy differs"
[[ $(grep -c '3 lines' lines.log) == 2 ]] || { fail "--lines: not two bars of 3 lines"; cat lines.log >&2; }
"$pbar" --format '{counts} lines {bar:40}' --lines --size 3 <three.txt >/dev/null 2>format.log ||
  fail "--format: status $?"
expect "--format" format.log '^3/3 lines \[=+\]$'

# A closed pipe downstream ends it quietly, as SIGPIPE would.
"$pbar" random.bin 2>pipe.log | head -c 10 >/dev/null
status=${PIPESTATUS[0]}
((status == 141)) || fail "closed pipe: status $status, not 141"
! grep -q 'pbar:' pipe.log || fail "closed pipe: an error was written"
yes | head -c 3000000 | "$pbar" --lines 2>lines-pipe.log | head -c 10 >/dev/null
status=${PIPESTATUS[2]}
((status == 141)) || fail "closed pipe, --lines: status $status, not 141"

# An unreadable file is named, the others are copied, and the status is 1.
"$pbar" missing.bin three.txt >partial.out 2>missing.log
status=$?
((status == 1)) || fail "missing file: status $status, not 1"
expect "missing file" missing.log '^pbar: missing\.bin: No such file or directory$'
cmp -s three.txt partial.out || fail "missing file: the other file was not copied"
"$pbar" --frobnicate 2>usage.log
status=$?
((status == 2)) || fail "bad option: status $status, not 2"
expect "bad option" usage.log "^pbar: unknown option --frobnicate$"
"$pbar" --format '{bar} {nope}' <three.txt 2>format.err
((($?) == 2)) || fail "bad template: status not 2"
expect "bad template" format.err 'unknown key "nope" at 6'
"$pbar" --help >help.txt || fail "--help: status $?"
expect "--help" help.txt '^Usage: pbar \[OPTION\]\.\.\. \[FILE\]\.\.\.$'
for option in '-s, --size SIZE' '-l, --lines' '-N, --name NAME' '-F, --format TEMPLATE' \
              '-i, --interval SEC' '-h, --help' '-V, --version'; do
  grep -qF -- "  $option " help.txt || fail "--help: no '$option'"
done

# The version, with either option; the man page, made from the help, has an
# entry for each of its options and the version at its foot.
for option in --version -V; do
  "$pbar" "$option" >version.txt 2>&1 || fail "$option: status $?"
  [[ $(cat version.txt) == "pbar (System::ProgressBar) $version" ]] ||
    fail "$option: printed '$(cat version.txt)', not the version $version"
done
if [[ -n $man ]]; then
  grep -qF ".TH PBAR \"1\" " "$man" || fail "man page: no title line"
  grep -qF "\"System::ProgressBar $version\"" "$man" || fail "man page: not of version $version"
  options=$(sed -nE 's/^  -(.), --([a-z]+).*/\1 \2/p' help.txt)
  [[ $(wc -l <<<"$options") -ge 7 ]] || fail "--help: only $(wc -l <<<"$options") options found"
  while read -r short long; do
    grep -qF -- "\\fB\\-$short\\fR, \\fB\\-\\-$long\\fR" "$man" ||
      fail "man page: no entry for -$short, --$long"
  done <<<"$options"
fi

# On a terminal (standard error a pseudo-terminal), the bar ends complete.
python3 - "$pbar" "$replay" <<'PY' || fail "terminal: the final screen is wrong"
import os, pty, subprocess, sys, fcntl, termios, struct
pbar, replay = sys.argv[1], sys.argv[2]
master, slave = pty.openpty()
fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 10, 70, 0, 0))
child = subprocess.Popen([pbar, "random.bin"], stdin=subprocess.DEVNULL,
                         stdout=subprocess.DEVNULL, stderr=slave,
                         env=dict(os.environ, TERM="xterm-256color"))
os.close(slave)
raw = bytearray()
while True:
    try:
        chunk = os.read(master, 65536)
    except OSError:
        break
    if not chunk:
        break
    raw += chunk
child.wait()
screen = subprocess.run([replay, "70", "10"], input=bytes(raw), capture_output=True).stdout.decode()
lines = [l for l in screen.splitlines() if l.strip()]
ok = child.returncode == 0 and len(lines) == 1 and lines[0].startswith("random.bin [=====") \
    and "2.86 MiB / 2.86 MiB" in lines[0] and len(lines[0].rstrip()) <= 70
if not ok:
    print(repr(screen), file=sys.stderr)
sys.exit(0 if ok else 1)
PY

((failures == 0)) && echo "pbar: every check passed"
exit $((failures != 0))
