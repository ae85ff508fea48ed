"""Serving latency of vexilo.sklearn.OrdinalEncoder: transform of a 1-row pandas frame, next to
scikit-learn's own OrdinalEncoder and vexilo's Encoder.transform alone (the native call).

Run: PYTHONPATH=<build dir> python3 benchmarks/sklearn_serving.py [--calls N] [--repeat R]
Both encoders learn the same 1,000-row frame (three text columns, two number columns; scikit-learn's
gets the text columns only, since it would code the numbers too). Each measurement times N calls,
R times, the candidates taking turns; prints the median and the range of microseconds per call.
"""

import argparse
import statistics
import time

import numpy as np
import pandas as pd
from sklearn.preprocessing import OrdinalEncoder as ScikitOrdinalEncoder

from vexilo.sklearn import OrdinalEncoder


def training_frame(rows=1000):
    rng = np.random.default_rng(3)
    texts = {f"text{i}": pd.Series(rng.choice([f"v{j}" for j in range(20 + 10 * i)], rows),
                                   dtype=object) for i in range(3)}
    numbers = {f"number{i}": rng.normal(size=rows) for i in range(2)}
    return pd.DataFrame({**texts, **numbers})


def per_call(calls, run):
    started = time.perf_counter()
    for _ in range(calls):
        run()
    return (time.perf_counter() - started) / calls * 1e6


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--calls", type=int, default=2000)
    parser.add_argument("--repeat", type=int, default=7)
    args = parser.parse_args()
    train = training_frame()
    row = train.iloc[[17]].reset_index(drop=True)
    text_row = row[[name for name in row.columns if name.startswith("text")]]

    ours = OrdinalEncoder(handle_unknown="use_encoded_value", unknown_value=-1).fit(train)
    ours_grouped = OrdinalEncoder(handle_unknown="use_encoded_value", unknown_value=-1,
                                  min_frequency=40, encoded_missing_value=-2,
                                  dtype=np.float32).fit(train)
    theirs = ScikitOrdinalEncoder(handle_unknown="use_encoded_value", unknown_value=-1)
    theirs.fit(train[text_row.columns])
    native = ours._encoder
    candidates = {
        "vexilo.sklearn transform": lambda: ours.transform(row),
        "  with min_frequency, encoded_missing_value, float32": lambda: ours_grouped.transform(row),
        "vexilo Encoder.transform (native call)": lambda: native.transform(row, unknown=-1.0),
        "scikit-learn OrdinalEncoder transform": lambda: theirs.transform(text_row),
    }
    assert np.array_equal(ours.transform(row)[:, :3], theirs.transform(text_row))
    times = {name: [] for name in candidates}
    for _ in range(args.repeat):
        for name, run in candidates.items():
            times[name].append(per_call(args.calls, run))
    print(f"transform of a 1-row frame, {args.calls} calls x {args.repeat} repeats (µs per call)")
    for name, values in times.items():
        print(f"  {name:<56} {statistics.median(values):8.1f}  "
              f"(range {min(values):.1f} .. {max(values):.1f})")
    ratio = statistics.median(times["scikit-learn OrdinalEncoder transform"]) / statistics.median(
        times["vexilo.sklearn transform"])
    print(f"  vexilo.sklearn is {ratio:.1f}x as fast as scikit-learn's")


if __name__ == "__main__":
    main()
