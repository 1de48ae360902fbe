#!/usr/bin/python3
"""Runs one command of the vettrix-cli comparison REPEATS times under /usr/bin/time -v, its
output to /dev/null, and prints one JSON line for bench/compare/report.py: the median wall
and CPU time of a run, the rate, and the peak memory (max RSS) of the largest run.

usage: cli_timed.py TOOL OPERATION ITEMS REPEATS COMMAND...
"""

import json
import re
import statistics
import subprocess
import sys
import tempfile


def run_once(command):
    with tempfile.NamedTemporaryFile("r", suffix=".time") as report:
        with open("/dev/null", "wb") as null:
            done = subprocess.run(["/usr/bin/time", "-v", "-o", report.name, *command],
                                  stdout=null, stderr=subprocess.PIPE)
        text = report.read()

    def figure(pattern):
        return re.search(pattern, text).group(1)

    clock = [float(part) for part in figure(r"Elapsed \(wall clock\) time.*: (\S+)").split(":")]
    wall = sum(part * 60 ** i for i, part in enumerate(reversed(clock)))
    cpu = float(figure(r"User time \(seconds\): (\S+)")) + float(
        figure(r"System time \(seconds\): (\S+)"))
    peak = int(figure(r"Maximum resident set size \(kbytes\): (\d+)"))
    return wall, cpu, peak, done.returncode, done.stderr.decode(errors="replace")


def main():
    tool, operation, items, repeats = sys.argv[1:5]
    command = sys.argv[5:]
    runs = [run_once(command) for _ in range(int(repeats))]
    seconds = statistics.median(r[0] for r in runs)
    print(json.dumps({
        "tool": tool,
        "operation": operation,
        "items": int(items),
        "passes": len(runs),
        "seconds": seconds,
        "cpu_seconds": statistics.median(r[1] for r in runs),
        "per_second": int(items) / seconds,
        "peak_kib": max(r[2] for r in runs),
        "status": runs[-1][3],
        "stderr": runs[-1][4][-2000:],
    }))


if __name__ == "__main__":
    main()
