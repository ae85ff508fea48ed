"""Quick measurement of Encoder.transform: W1's second half under the state learned from its
first half, next to Encoder.encode of that same second half (which learns afresh).

Run: PYTHONPATH=<build dir> python3 benchmarks/transform_quick.py [--rows N] [--repeat R]
W1 (1,000,000 x 8 by default) is split into a train half and a test half; the W2 form (the same
data as a DataFrame) is measured too. Texts of the test half that the train half lacks (mostly in
the 100,000-text column) are unseen and code as NaN. The two calls take turns, R runs each; prints
the median and the range of the wall-clock seconds and the median CPU seconds of the process.
"""

import argparse
import os
import statistics
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from workloads import W1_NUMERIC, frame_of, mixed_columns  # noqa: E402

from vexilo import Encoder  # noqa: E402


def timed_pair(repeat, first, second):
    """Wall-clock and process CPU seconds of each call, the two calls taking turns so that other
    load on the machine falls on both alike: (median wall, min wall, max wall, median CPU)."""
    times = ([], []), ([], [])
    for _ in range(repeat):
        for run, (wall, cpu) in zip((first, second), times):
            started, started_cpu = time.perf_counter(), time.process_time()
            run()
            wall.append(time.perf_counter() - started)
            cpu.append(time.process_time() - started_cpu)
    return [(statistics.median(wall), min(wall), max(wall), statistics.median(cpu))
            for wall, cpu in times]


def measure(kind, train, test, repeat):
    learned = Encoder()
    learned.encode(train)
    codes = np.asarray(learned.transform(test), dtype=np.float64)
    own = Encoder()
    own_codes = np.asarray(own.encode(test)[0], dtype=np.float64)
    unseen = int(np.isnan(codes).sum() - np.isnan(own_codes).sum())
    # On the train half itself, transform gives encode's codes.
    assert np.array_equal(np.asarray(learned.transform(train)), np.asarray(learned.encode(train)[0]),
                          equal_nan=True)

    encode, transform = timed_pair(repeat, lambda: Encoder().encode(test),
                                   lambda: learned.transform(test))
    rows = len(test)
    print(f"{kind}: test half {rows:,} x 8, {unseen:,} unseen cells")
    for name, (median, low, high, cpu) in (("encode of the test half", encode),
                                           ("transform of the test half", transform)):
        print(f"  {name:<32} {median:7.3f} s  (range {low:.3f} .. {high:.3f}; "
              f"process CPU {cpu:.3f} s)")
    ratio = encode[0] / transform[0]
    print(f"  transform speed relative to encode: {ratio:.2f}x "
          f"({'meets' if ratio >= 1.0 else 'misses'} the >= 1x target)")
    return ratio


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()

    table, names = mixed_columns(args.rows)
    half = args.rows // 2
    print(f"W1 split in halves of {half:,} rows; pool: "
          f"RAYON_NUM_THREADS={os.environ.get('RAYON_NUM_THREADS', '(default)')}, "
          f"{os.cpu_count()} processors")
    ratios = [measure("array (W1)", table[:half], table[half:], args.repeat)]
    try:
        import pandas  # noqa: F401
    except ImportError:
        print("frame (W2): pandas is not installed")
    else:
        frame = frame_of(table, names, W1_NUMERIC)
        train = frame.iloc[:half].reset_index(drop=True)
        test = frame.iloc[half:].reset_index(drop=True)
        ratios.append(measure("frame (W2)", train, test, args.repeat))
    return 0 if min(ratios) >= 1.0 else 1


if __name__ == "__main__":
    sys.exit(main())
