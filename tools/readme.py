#!/usr/bin/env python3
"""Keeps the README's output blocks true to the examples.

Each output block in README.md follows a marker that says where it comes from:

    <!-- output: EXAMPLE MODE [CHECK] -->
    ```text
    ...
    ```

EXAMPLE is a program under build/default/examples, or a path under
build/default with its arguments after an @, separated by commas
(`pbar/pbar@--help`). MODE is how it is run:
`stdout` (its standard output), `log` (standard error into a pipe, so not a
terminal), or `screen:COLUMNSxROWS` (in a pseudo-terminal of that size, with
what the terminal shows at the end made by tests/screen_replay, scrolled-off
lines included), or `screen:COLUMNSxROWSs@F` (the screen alone as it was
before the frame at fraction F of the run's frames). CHECK says
how `--check` compares a fresh run with the block: `exact`, `shape` (digits
may differ, as times and rates do, and so may the cells of a bar), or `ends`
(as shape, for the first and the last line; the lines between may differ in
number), or `lines` (as shape, in any order).

    tools/readme.py --update   # run the examples and rewrite the blocks
    tools/readme.py --check    # run them and fail if a block has drifted
"""

import argparse
import fcntl
import os
import pty
import re
import select
import struct
import subprocess
import sys
import termios

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "build", "default")
MARKER = re.compile(r"<!-- output: (\S+) (\S+)(?: (\S+))? -->\n```text\n(.*?)```\n", re.S)


def run_in_pty(program, columns, rows):
    """Runs `program` on a pseudo-terminal; returns every byte it wrote."""
    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", rows, columns, 0, 0))
    env = dict(os.environ, TERM="xterm-256color")
    env.pop("NO_COLOR", None)
    # Standard input is not the terminal, so that no example waits for an answer.
    child = subprocess.Popen([program], stdin=subprocess.DEVNULL, stdout=slave, stderr=slave,
                             env=env, close_fds=True)
    os.close(slave)
    output = bytearray()
    while True:
        ready, _, _ = select.select([master], [], [], 30)
        if not ready:
            child.kill()
            raise RuntimeError(f"{program} wrote nothing for 30 s")
        try:
            chunk = os.read(master, 65536)
        except OSError:  # the child is gone and the terminal closed
            break
        if not chunk:
            break
        output += chunk
    os.close(master)
    if child.wait() != 0:
        raise RuntimeError(f"{program} failed with {child.returncode}")
    return bytes(output)


def capture(example, mode):
    # "pbar/pbar@--lines,README.md": a program under the build tree with its
    # arguments, run from the source tree.
    name, _, args = example.partition("@")
    program = os.path.join(BUILD, name) if "/" in name else os.path.join(BUILD, "examples", name)
    command = [program] + (args.split(",") if args else [])
    if mode == "stdout":
        return subprocess.run(command, check=True, capture_output=True, text=True, cwd=ROOT).stdout
    if mode == "log":
        return subprocess.run(command, check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              stderr=subprocess.PIPE, text=True, cwd=ROOT).stderr
    if mode.startswith("screen:"):
        size, _, moment = mode[len("screen:"):].partition("@")
        columns, rows = (int(n) for n in size.split("x"))
        raw = run_in_pty(program, columns, rows)
        replay = [os.path.join(BUILD, "tests", "screen_replay"), str(columns), str(rows)]
        if moment:
            # Each frame starts with the synchronised update mode's opening.
            starts = [m.start() for m in re.finditer(re.escape(b"\x1b[?2026h"), raw)]
            raw = raw[:starts[min(int(len(starts) * float(moment)), len(starts) - 1)]]
            replay.append("--visible")
        return subprocess.run(replay, input=raw, check=True, capture_output=True).stdout.decode()
    raise ValueError(f"unknown mode {mode}")


def shape(line):
    """A line with what varies from run to run made alike: a spinner's frame,
    numbers with their prefix and byte unit, and the cells of a bar (runs of
    fill characters)."""
    line = re.sub(r"^[\u2800-\u28ff|/\\-] ", "* ", line)
    line = re.sub(r"\d+(\.\d+)?[kMGTPEZYRQ]?", "#", line)
    line = re.sub(r"\b(B|[KMGTPEZYRQ]i?B|kB)\b", "B", line)
    line = re.sub(r"[=>.█▌░▓ ]{2,}", "~", line)
    return line


def same(check, block, fresh):
    old, new = block.rstrip("\n").split("\n"), fresh.rstrip("\n").split("\n")
    if check == "exact":
        return old == new
    if check == "shape":
        return [shape(x) for x in old] == [shape(x) for x in new]
    if check == "ends":
        return (len(new) >= 2 and shape(old[0]) == shape(new[0])
                and shape(old[-1]) == shape(new[-1]))
    if check == "lines":  # the same lines in any order: threads finish in either
        return sorted(shape(x) for x in old) == sorted(shape(x) for x in new)
    raise ValueError(f"unknown check {check}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    group = parser.add_mutually_exclusive_group(required=True)
    group.add_argument("--update", action="store_true")
    group.add_argument("--check", action="store_true")
    args = parser.parse_args()

    path = os.path.join(ROOT, "README.md")
    text = open(path, encoding="utf-8").read()
    drifted = []

    def replace(match):
        example, mode, check, block = match.group(1), match.group(2), match.group(3) or "exact", match.group(4)
        fresh = capture(example, mode).rstrip("\n") + "\n"
        if args.check and not same(check, block, fresh):
            drifted.append(f"{example} ({mode}, {check}):\n--- README\n{block}--- now\n{fresh}")
        header = f"<!-- output: {example} {mode}" + (f" {match.group(3)}" if match.group(3) else "")
        return f"{header} -->\n```text\n{fresh}```\n"

    updated = MARKER.sub(replace, text)
    if args.update:
        open(path, "w", encoding="utf-8").write(updated)
        print(f"README.md: {len(MARKER.findall(text))} output blocks regenerated")
        return 0
    if drifted:
        print("README output blocks that no longer match their examples:\n", file=sys.stderr)
        print("\n".join(drifted), file=sys.stderr)
        print("run tools/readme.py --update after checking the changes", file=sys.stderr)
        return 1
    print(f"README.md: {len(MARKER.findall(text))} output blocks match their examples")
    return 0


if __name__ == "__main__":
    sys.exit(main())
