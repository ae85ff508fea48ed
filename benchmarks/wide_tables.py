"""Wide tables: time and peak memory of encode and decode on tables with many columns and few
rows, against the bytes the call takes in and gives out.

Run on demand, never from the test suite:
    PYTHONPATH=<build dir> python3 benchmarks/wide_tables.py [--only TEXT] [--json FILE]

Each case runs in a fresh interpreter: it builds its input (for a decode, by encoding the same
table first), resets the peak resident set (/proc/self/clear_refs), makes one call, and reports
the call's wall time and the rise of the peak resident set. The budget is three times the input
plus output bytes: the arrays' buffers, plus the str objects of an object input and the label
objects of a decoded output.
"""

from __future__ import annotations

import argparse
import json
import subprocess
import sys

# (title, operation, rows, columns, cells)
CASES = [
    ("encode int64, 1 x 1,000,000", "encode", 1, 1_000_000, "int"),
    ("encode int64, 10 x 100,000", "encode", 10, 100_000, "int"),
    ("encode object ints, 1 x 1,000,000", "encode", 1, 1_000_000, "object int"),
    ("encode object ints, 10 x 100,000", "encode", 10, 100_000, "object int"),
    ("encode object texts, 1 x 1,000,000", "encode", 1, 1_000_000, "object text"),
    ("encode object texts, 10 x 100,000", "encode", 10, 100_000, "object text"),
    ("decode int64 codes, 1 x 1,000,000", "decode", 1, 1_000_000, "int"),
    ("decode int64 codes, 10 x 100,000", "decode", 10, 100_000, "int"),
    ("decode object texts' codes, 1 x 1,000,000", "decode", 1, 1_000_000, "object text"),
    ("decode object texts' codes, 10 x 100,000", "decode", 10, 100_000, "object text"),
    ("decode 0 x 10,000,000 (state of 1 column)", "decode", 0, 10_000_000, "empty"),
]

CHILD = r"""
import ctypes, gc, json, sys, time
import numpy as np
import vexilo

operation, rows, cols, cells = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]

def peak_rss():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024

def rss():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024

rng = np.random.default_rng(1)
if cells == "int":
    table = rng.integers(0, 50, size=(rows, cols))
elif cells == "object int":
    table = rng.integers(0, 50, size=(rows, cols)).astype(object)
elif cells == "object text":
    table = np.array([f"t{i}" for i in range(rows * cols)], dtype=object).reshape(rows, cols)
else:
    table = np.empty((rows, cols))

encoder = vexilo.Encoder()
in_bytes = table.nbytes + (sum(sys.getsizeof(x) for x in table.ravel()) if table.dtype == object
                           else 0)
if operation == "decode":
    if cells == "empty":
        encoder.encode(np.array([["a"]], dtype=object))
        argument = table
    else:
        argument, _ = encoder.encode(table)
    in_bytes = argument.nbytes
else:
    argument = table
vexilo.Encoder().encode(np.array([["warm", 1]], dtype=object))  # the pool starts
call = encoder.encode if operation == "encode" else encoder.decode
gc.collect()
ctypes.CDLL("libc.so.6").malloc_trim(0)
with open("/proc/self/clear_refs", "w") as refs:
    refs.write("5")
before = rss()
start = time.perf_counter()
result = call(argument)
seconds = time.perf_counter() - start
peak = peak_rss() - before
out = result[0] if operation == "encode" else result
out_bytes = out.nbytes
if out.dtype == object:
    out_bytes += sum(sys.getsizeof(x) for x in {id(x): x for x in out.ravel()}.values())
print(json.dumps({"seconds": seconds, "peak": peak, "in": in_bytes, "out": out_bytes}))
"""


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--only", default="", help="run only the cases whose title contains this")
    parser.add_argument("--json", help="also write the figures to this file")
    parser.add_argument("--timeout", type=float, default=300, help="seconds allowed per case")
    args = parser.parse_args()
    results = {}
    print(f"{'case':44} {'s':>8} {'peak MiB':>9} {'in+out MiB':>11} {'peak/(in+out)':>14}")
    for title, operation, rows, cols, cells in CASES:
        if args.only not in title:
            continue
        try:
            done = subprocess.run([sys.executable, "-c", CHILD, operation, str(rows), str(cols),
                                   cells], capture_output=True, text=True, timeout=args.timeout)
        except subprocess.TimeoutExpired:
            print(f"{title:44} over {args.timeout:.0f} s")
            continue
        if done.returncode != 0:
            print(f"{title:44} failed: {done.stderr.strip().splitlines()[-1:]}")
            continue
        figures = json.loads(done.stdout.strip().splitlines()[-1])
        results[title] = figures
        moved = figures["in"] + figures["out"]
        ratio = figures["peak"] / moved if moved else float("inf")
        print(f"{title:44} {figures['seconds']:8.3f} {figures['peak'] / 2**20:9.1f} "
              f"{moved / 2**20:11.1f} {ratio:13.2f}x")
    if args.json:
        with open(args.json, "w") as out:
            json.dump(results, out, indent=2)


if __name__ == "__main__":
    main()
