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
# A file that cannot be read gets no bar, only its error.
[[ $(grep -c 'missing' missing.log) == 1 ]] || { fail "missing file: a bar of its own"; cat missing.log >&2; }
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
              '-i, --interval SEC' '-q, --quiet' '-n, --numeric' '-L, --rate-limit RATE' \
              '-S, --stop-at-size' '-D, --delay-start SEC' '-W, --wait' '-w, --width COLUMNS' \
              '-H, --height ROWS' '-c, --cursor' '-f, --force' '-h, --help' '-V, --version'; do
  grep -qF -- "  $option " help.txt || fail "--help: no '$option'"
done

# Numbers on the command line: in range or refused with status 2, before
# anything is copied.
for args in "--size=" "--size x" "--size -1" "--size 1e30" "--size 8E" "--size 1.5Q" \
            "--interval 0" "--interval 1s" "--interval 1e300" "--interval -1" "--interval nan" \
            "--interval inf" "--interval 0.0001" "--interval 86401" "-L 0" "-L x" "--rate-limit=-5" \
            "-D -1" "-D 1e300" "-D 1e999" "-D nan" "--delay-start 86401" "-w 0" "-w 10001" "-w 1.5" "-w x" \
            "--width=" "-H 0" "-H 10001" "--height 1e3" "-S" "-s" "-qx" "--quiet=1" \
            "--format {bar:99999999999}" "--format {eta:>10001}"; do
  # shellcheck disable=SC2086
  "$pbar" $args <three.txt >bad.out 2>bad.err
  status=$?
  ((status == 2)) || fail "$args: status $status, not 2"
  [[ ! -s bad.out ]] || fail "$args: copied before refusing"
  grep -q '^pbar: ' bad.err || { fail "$args: no message"; cat bad.err >&2; }
done
for args in "--size 1.5G" "--size 300MiB" "-s10kB" "--size=4096" "--size 7E" "-i 0.001" \
            "--interval=86400" "-L 100" "-L 1.5G" "-D 0" "-D 86400" "-w 1" "-w 10000" "-H 10000" \
            "-qc" "-f" "-qfcs 10" "-cfq" "--wait" "-N -q" "-F {bar:10000}"; do
  # shellcheck disable=SC2086
  timeout 10 "$pbar" -q $args <three.txt >good.out 2>good.err
  status=$?
  ((status == 0)) || { fail "$args: status $status, not 0"; cat good.err >&2; }
  cmp -s three.txt good.out || fail "$args: the copy differs"
done
# Long options shortened as getopt_long takes them; an ambiguous one refused.
echo abc | "$pbar" --nam=x --wid 50 --qui >short.out 2>short.err || fail "--nam --wid --qui: status $?"
[[ $(cat short.out) == abc && ! -s short.err ]] || fail "--nam --wid --qui: not as --name --width --quiet"
echo abc | "$pbar" --w 3 >/dev/null 2>ambiguous.err
(($? == 2)) || fail "--w: accepted"
expect "--w" ambiguous.err 'option --w is ambiguous'
# A plain count is exact up to the largest: 2^63 - 1, not 2^63.
echo abc | "$pbar" -q -s 9223372036854775807 >/dev/null || fail "-s 2^63-1: refused"
echo abc | "$pbar" -q -s 9223372036854775808 >/dev/null 2>&1
(($? == 2)) || fail "-s 2^63: accepted"
# A raised total and the count that raised it come in one line: no line
# shows the count behind a total it passed.
(head -c 1000 /dev/zero; sleep 0.3; head -c 1000 /dev/zero) | "$pbar" -s 0 -i 0.05 -F '{counts}' >/dev/null 2>zero.log
! grep -qE '^ *0/[1-9]' zero.log || { fail "-s 0: a line with the count behind"; cat zero.log >&2; }
expect "-s 0" zero.log '^ *2000/2000$'
# A template past the widest line is refused as a bad command line.
"$pbar" --format '{bar:99999999999}' <three.txt 2>wide.err
expect "a width past any terminal" wide.err 'width 99999999999 for key "bar" is past 10000 columns at 0'

# An input larger than --size ends showing its true count, bytes or lines.
head -c 100000 /dev/zero | "$pbar" -s 10000 -N big >/dev/null 2>past.log || fail "past --size: status $?"
expect "past --size" past.log '^big \[=+\] 97\.7 KiB / 97\.7 KiB'
tail -n 1 past.log | grep -q '97\.7 KiB / 97\.7 KiB' || fail "past --size: the last line is not the count"
seq 1 1000 | "$pbar" -l -s 10 -F '{counts}' >/dev/null 2>past-lines.log
expect "past --size, lines" past-lines.log '^1000/1000$'
# A count that reaches --size exactly while more is to come does not end
# the bar there.
(head -c 10000 /dev/zero; sleep 0.3; head -c 10000 /dev/zero) | "$pbar" -s 10000 -F '{counts}' >/dev/null 2>reach.log
! grep -qE '^ *10000/10000$' reach.log || fail "reaching --size: the bar ended at the size"
expect "reaching --size" reach.log '^ *20000/20000$'
# Exactly --size, and smaller: the size stands.
head -c 10000 /dev/zero | "$pbar" -s 10000 -F '{counts}' >/dev/null 2>exact.log
expect "exactly --size" exact.log '^10000/10000$'
head -c 5000 /dev/zero | "$pbar" -s 10000 -F '{counts}' >/dev/null 2>short.log
expect "short of --size" short.log '^ *5000/10000$'

# --stop-at-size copies no more than the size, of bytes or of lines.
yes | "$pbar" -S -s 1000 2>stop.log >stop.out
cmp -s stop.out <(yes | head -c 1000) || fail "-S: not the first 1000 bytes"
expect "-S" stop.log '1000 B / 1000 B'
[[ $(seq 1 100 | "$pbar" -qlS -s 10) == $(seq 1 10) ]] || fail "-lS: not the first 10 lines"
[[ $(printf 'a\nb\nc' | "$pbar" -q -lS -s 5) == $(printf 'a\nb\nc') ]] || fail "-lS: a short input"
[[ $(yes | "$pbar" -q -S -s 0 | wc -c) == 0 ]] || fail "-S -s 0: copied"

# --rate-limit: never faster than the rate (a lower bound only).
start=$(date +%s%N)
head -c 300000 /dev/zero | "$pbar" -q -L 1M | cmp -s - <(head -c 300000 /dev/zero) ||
  fail "-L: the copy differs"
elapsed=$((($(date +%s%N) - start) / 1000000))
((elapsed >= 250)) || fail "-L 1M: 300000 bytes in $elapsed ms"
start=$(date +%s%N)
seq 1 30 | "$pbar" -q -l -L 100 >/dev/null
elapsed=$((($(date +%s%N) - start) / 1000000))
((elapsed >= 250)) || fail "-l -L 100: 30 lines in $elapsed ms"

# --numeric: whole percentages, one a line, ending at 100; the count without
# a total; nothing else.
head -c 2000000 /dev/zero | "$pbar" -n -s 2000000 -L 4M -i 0.05 >/dev/null 2>numeric.log
grep -qvE '^[0-9]+$' numeric.log && fail "-n: a line that is no number"
[[ $(tail -n 1 numeric.log) == 100 ]] || fail "-n: does not end at 100"
(($(wc -l <numeric.log) >= 3)) || fail "-n: fewer than 3 lines"
sort -n -c numeric.log 2>/dev/null || fail "-n: percentages that go back"
printf 'abc' | "$pbar" -n >/dev/null 2>numeric-count.log
[[ $(tail -n 1 numeric-count.log) == 3 ]] || fail "-n without a total: not the count"
# --quiet: nothing at all, but errors.
"$pbar" -q random.bin missing.bin >/dev/null 2>quiet.log
[[ $(cat quiet.log) == "pbar: missing.bin: No such file or directory" ]] ||
  { fail "-q: wrote more than the error"; cat quiet.log >&2; }
# --delay-start: a copy that ends sooner shows nothing; a longer one shows.
"$pbar" -D 5 random.bin >/dev/null 2>delay.log
[[ ! -s delay.log ]] || fail "-D 5: a short copy showed"
head -c 300000 /dev/zero | "$pbar" -D 0.2 -L 1M -s 300000 -i 0.05 >/dev/null 2>delay-long.log
expect "-D 0.2, a longer copy" delay-long.log '293 KiB / 293 KiB'
! grep -q ' 0 B / ' delay-long.log || fail "-D 0.2: the start was shown"
# --wait: nothing until the first byte.
(sleep 2; echo late) | "$pbar" -W >/dev/null 2>wait.log &
sleep 1
[[ ! -s wait.log ]] || fail "-W: showed before the first byte"
wait
expect "-W" wait.log ' 5 B '

# An output that fails ends the run at the first input, with one message.
"$pbar" three.txt three.txt >/dev/full 2>full.log
(($? == 1)) || fail "/dev/full: status not 1"
[[ $(grep -c 'pbar: standard output: No space left on device' full.log) == 1 ]] ||
  { fail "/dev/full: not one message"; cat full.log >&2; }

# Closed standard descriptors: the output and the input fail as closed ones
# do (no file pbar opens takes their place); standard error writes nowhere.
"$pbar" three.txt >&- 2>closed-out.log
(($? == 1)) || fail ">&-: status not 1"
expect ">&-" closed-out.log '^pbar: standard output: Bad file descriptor$'
[[ $(cat three.txt) == "$(printf 'one\ntwo\nthree')" ]] || fail ">&-: the input was written"
"$pbar" <&- >closed-in.out 2>closed-in.log
(($? == 1)) || fail "<&-: status not 1"
expect "<&-" closed-in.log '^pbar: standard input: Bad file descriptor$'
"$pbar" three.txt 2>&- >closed-err.out || fail "2>&-: status $?"
cmp -s three.txt closed-err.out || fail "2>&-: the copy differs"

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
  options=$(sed -nE 's/^  -(.), --([a-z-]+).*/\1 \2/p' help.txt)
  [[ $(wc -l <<<"$options") -ge 17 ]] || fail "--help: only $(wc -l <<<"$options") options found"
  while read -r short long; do
    grep -qF -- "\\fB\\-$short\\fR, \\fB\\-\\-${long//-/\\-}\\fR" "$man" ||
      fail "man page: no entry for -$short, --$long"
  done <<<"$options"
fi

# On a terminal (standard error a pseudo-terminal), the bar ends complete.
python3 - "$pbar" "$replay" <<'PY' || fail "terminal: the final screen is wrong"
import os, pty, subprocess, sys, fcntl, termios, struct
pbar, replay = sys.argv[1], sys.argv[2]

def on_terminal(rows, columns, screen_columns):
    """pbar on random.bin, standard error on a new pseudo-terminal of `rows`
    by `columns` (None: one that gives no size); its status and its final
    screen, replayed `screen_columns` wide and 10 rows high."""
    master, slave = pty.openpty()
    if rows is not None:
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", rows, columns, 0, 0))
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
    screen = subprocess.run([replay, str(screen_columns), "10"], input=bytes(raw),
                            capture_output=True).stdout.decode()
    return child.returncode, screen

status, screen = on_terminal(10, 70, 70)
lines = [l for l in screen.splitlines() if l.strip()]
ok = status == 0 and len(lines) == 1 and lines[0].startswith("random.bin [=====") \
    and "2.86 MiB / 2.86 MiB" in lines[0] and len(lines[0].rstrip()) <= 70
if not ok:
    print(repr(screen), file=sys.stderr)
# A terminal that gives no size: the bar is 80 columns, whole.
_, screen = on_terminal(None, None, 100)
lines = [l.rstrip() for l in screen.splitlines() if l.strip()]
if not (len(lines) == 1 and len(lines[0]) == 80 and "2.86 MiB / 2.86 MiB" in lines[0]):
    print("no size:", repr(screen), file=sys.stderr)
    ok = False
sys.exit(0 if ok else 1)
PY

((failures == 0)) && echo "pbar: every check passed"
exit $((failures != 0))
