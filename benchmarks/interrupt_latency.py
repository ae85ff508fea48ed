"""How soon Ctrl-C ends a long call: SIGINT is sent into encode, transform and decode calls on large
tables, and the time from the signal to the KeyboardInterrupt reaching the caller is measured.

Run on demand, never from the test suite:
    PYTHONPATH=<build dir> python3 benchmarks/interrupt_latency.py [--rows N] [--repeats R]

Each case runs in a fresh interpreter. It builds its table, times one whole call, and then, for
each of R calls, has a separate process send SIGINT a given fraction of that time into the call
(both processes read the same monotonic clock). Reported per case: the whole call, the median and
worst latency from signal to exception, and whether every interrupted call left the encoder's
state as it was (each call starts from the same state) or, where the signal came too late to stop
it, as a finished call does.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent

CASES = {
    "W1 encode (1,000,000 x 8 object array)": "w1",
    "W2 encode (the W1 data as a DataFrame)": "w2",
    "encode 2,000,000 x 4 distinct str objects": "str4",
    "encode 2,000,000 x 4 distinct texts, U array": "u4",
    "W6 decode (W1's codes)": "w6",
    "W1 transform (under W1's state)": "w1t",
}

CHILD = r"""
import json, os, signal, subprocess, sys, time
import numpy as np
sys.path.insert(0, sys.argv[1])
import workloads
import vexilo

case, rows, repeats = sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
fractions = [0.2, 0.5, 0.8]

def texts(rows):
    # A str object per cell, nearly all distinct, as a load without interning gives.
    rng = np.random.default_rng(7)
    return workloads.random_texts(rng, rows * 4, 6, 14, workloads.ASCII_ALPHABET).reshape(rows, 4)

encoder = vexilo.Encoder()
if case == "w1":
    data = workloads.build("W1").data[:rows]
    call = lambda: encoder.encode(data)
elif case == "w2":
    data = workloads.build("W2").data.iloc[:rows]
    call = lambda: encoder.encode(data)
elif case == "str4":
    data = texts(rows)
    call = lambda: encoder.encode(data)
elif case == "u4":
    data = texts(rows).astype(str)
    call = lambda: encoder.encode(data)
elif case == "w6":
    codes, _ = encoder.encode(workloads.build("W1").data[:rows])
    call = lambda: encoder.decode(codes)
elif case == "w1t":
    data = workloads.build("W1").data[:rows]
    encoder.encode(data)
    call = lambda: encoder.transform(data)
else:
    raise SystemExit(case)

# The state each call starts from, and must end with when interrupted: the first rows' encoding
# (decode and transform keep the full one).
if case not in ("w6", "w1t"):
    encoder.encode(data[:1000] if case != "w2" else data.iloc[:1000])
state = encoder.__getstate__()
call()  # warm-up
start = time.monotonic()
call()
whole = time.monotonic() - start
# What a call that ran to its end learns: a signal may land after its last look at signals, to be
# raised as it returns. (Its state's bytes vary from call to call with the maps' hash keys.)
finished = encoder.categories

latencies = []
intact = True
for i in range(repeats):
    delay = whole * fractions[i % len(fractions)]
    # The sender is started first and told the moment to signal, so its start-up is not timed.
    target = time.monotonic() + delay + 0.5
    sender = subprocess.Popen([sys.executable, "-c",
        "import os, signal, sys, time\n"
        "target = float(sys.argv[2])\n"
        "while time.monotonic() < target: time.sleep(0.0005)\n"
        "os.kill(int(sys.argv[1]), signal.SIGINT)\n"
        "print(repr(time.monotonic()), flush=True)\n",
        str(os.getpid()), repr(target)], stdout=subprocess.PIPE, text=True)
    time.sleep(max(0.0, target - delay - time.monotonic()))
    encoder.__setstate__(state)
    caught = None
    ended = False
    try:
        call()
        ended = True  # before the signal came: not a measurement; the signal still has to land
        while time.monotonic() < target + 5:
            time.sleep(0.001)
    except KeyboardInterrupt:
        caught = time.monotonic()
        # The state must be the one the call started from, or that of a call that ran to its end.
        intact = intact and (encoder.__getstate__() == state or encoder.categories == finished)
    sent = float(sender.communicate()[0])
    latencies.append(None if ended or caught is None else caught - sent)
print(json.dumps({"whole": whole, "latencies": latencies, "intact": intact}))
"""


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=None,
                        help="rows of every table (default: 1,000,000 for W1/W2/W6, "
                        "2,000,000 for the 4-column tables)")
    parser.add_argument("--repeats", type=int, default=6)
    parser.add_argument("--only", default="", help="run only the cases whose title contains this")
    parser.add_argument("--json", help="also write the figures to this file")
    args = parser.parse_args()

    results = {}
    print(f"{'case':44} {'call s':>8} {'median s':>9} {'worst s':>8}  state")
    for title, case in CASES.items():
        if args.only not in title:
            continue
        rows = args.rows or (2_000_000 if case in ("str4", "u4") else 1_000_000)
        done = subprocess.run([sys.executable, "-c", CHILD, str(HERE), case, str(rows),
                               str(args.repeats)], capture_output=True, text=True, timeout=900)
        if done.returncode != 0:
            print(f"{title:44} failed: {done.stderr.strip().splitlines()[-1:]}")
            continue
        figures = json.loads(done.stdout.strip().splitlines()[-1])
        seen = [x for x in figures["latencies"] if x is not None]
        results[title] = figures
        if not seen:
            print(f"{title:44} {figures['whole']:8.3f}  no interrupt reached the caller")
            continue
        print(f"{title:44} {figures['whole']:8.3f} {statistics.median(seen):9.3f} "
              f"{max(seen):8.3f}  {'kept' if figures['intact'] else 'CHANGED'}")
    if args.json:
        Path(args.json).write_text(json.dumps(results, indent=2))


if __name__ == "__main__":
    main()
