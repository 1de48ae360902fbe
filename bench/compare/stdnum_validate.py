#!/usr/bin/python3
"""python-stdnum's side of bench/compare.sh: stdnum.imei.is_valid over the shared inputs.

usage: stdnum_validate.py INPUTS VERDICTS

Times only the validation loop, repeated as vettrix_compare repeats its own (at least 3 passes
and 1.5 s, the median pass reported), and writes one verdict per input: 1 valid, 0 not.
"""

import json
import sys
import time

import stdnum
from stdnum import imei

MIN_PASSES = 3
MAX_PASSES = 1000
MIN_SECONDS = 1.5


def main():
    inputs_path, verdicts_path = sys.argv[1:3]
    with open(inputs_path, encoding="ascii") as f:
        inputs = f.read().splitlines()

    is_valid = imei.is_valid
    times = []
    verdicts = []
    while len(times) < MAX_PASSES and (len(times) < MIN_PASSES or sum(times) < MIN_SECONDS):
        start = time.perf_counter()
        verdicts = [is_valid(text) for text in inputs]
        times.append(time.perf_counter() - start)

    with open(verdicts_path, "w", encoding="ascii") as f:
        f.writelines("1\n" if v else "0\n" for v in verdicts)

    seconds = sorted(times)[len(times) // 2]
    print(json.dumps({
        "tool": "python-stdnum " + stdnum.__version__,
        "operation": "validate: stdnum.imei.is_valid",
        "items": len(inputs),
        "passes": len(times),
        "seconds": seconds,
        "per_second": len(inputs) / seconds,
    }))


if __name__ == "__main__":
    main()
