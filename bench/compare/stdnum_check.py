#!/usr/bin/python3
"""python-stdnum's side of the vettrix-cli comparison: reads each line of FILE, checks it with
stdnum.imei.is_valid and prints a line with the input and its verdict, as `vettrix-cli check`
does (through its public API only).

usage: stdnum_check.py FILE
"""

import sys

from stdnum import imei


def main():
    write = sys.stdout.write
    with open(sys.argv[1], encoding="latin-1", newline="") as lines:
        for number, line in enumerate(lines, 1):
            text = line.rstrip("\r\n")
            write(f"{number}\t{text}\t{'valid' if imei.is_valid(text) else 'invalid'}\n")


if __name__ == "__main__":
    main()
