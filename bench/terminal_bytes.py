#!/usr/bin/env python3
"""Bytes a program sends to a terminal: runs it on a pseudo-terminal of the
given size and prints the bytes, the seconds and the bytes per second (the
figure that matters over a slow link).

    python3 bench/terminal_bytes.py build/default/examples/multi [COLUMNS ROWS]
"""
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
import readme  # noqa: E402  (runs a program on a pseudo-terminal)


def main():
    if len(sys.argv) not in (2, 4):
        print(__doc__, file=sys.stderr)
        return 2
    columns, rows = (int(sys.argv[2]), int(sys.argv[3])) if len(sys.argv) == 4 else (100, 30)
    start = time.monotonic()
    output = readme.run_in_pty(os.path.abspath(sys.argv[1]), columns, rows)
    seconds = time.monotonic() - start
    print(f"{len(output)} bytes in {seconds:.2f} s: {len(output) / seconds:.0f} bytes/s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
