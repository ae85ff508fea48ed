"""Interleaved A/B wall-clock timing of the workloads that lean on the module's hash tables, for
two builds of the module loaded side by side in one process.

Run: python3 benchmarks/tables_ab.py BUILD_A BUILD_B [--rounds 7] [--threads 1 2] [--rows N]
         [--workloads NAME ...]
     python3 benchmarks/tables_ab.py BUILD --once WORKLOAD [--times K] [--rows N]   (for callgrind:
     the cost of one run is that of --times 2 less that of --times 1, which share all setup)
A build is a build folder holding vexilo/vexilo.*.so. For each thread count a child process (with
RAYON_NUM_THREADS set) builds every input once, then times A and B in turns (A B B A ...), so that
other load on the machine falls on both alike; prints the median and range of each, and the
median and quartiles of B/A over the rounds' pairs.

Workloads: w1 (the encode_quick object table), w4 (2,000,000 rows of 1,000,000 distinct texts, each
twice), arrow (W1's text columns as Arrow strings), apart (those columns astype(object): equal texts
in separate str objects), transform (W1's second half under a state just learned from its first
half, the first lookups included), transform_again (the same call repeated), decode, loads
(restoring W1's state from its pickled form).
"""

import argparse
import glob
import importlib.machinery
import importlib.util
import json
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from encode_quick import build_table  # noqa: E402

TEXT_COLUMNS = 5  # build_table's first five columns hold texts
WORKLOADS = ["w1", "w4", "arrow", "apart", "transform", "transform_again", "decode", "loads"]


def load_module(build):
    """The compiled module of one build folder, loaded under its own handle."""
    path = glob.glob(os.path.join(build, "vexilo", "vexilo.cpython-*.so"))[0]
    loader = importlib.machinery.ExtensionFileLoader("vexilo.vexilo", path)
    location = importlib.util.spec_from_file_location("vexilo.vexilo", path, loader=loader)
    module = importlib.util.module_from_spec(location)
    loader.exec_module(module)
    sys.modules.pop("vexilo.vexilo", None)  # the next build loads afresh
    return module


class Inputs(dict):
    """The workloads' inputs for a number of rows, each built when first asked for."""

    def __init__(self, rows):
        super().__init__()
        self.rows = rows

    def __missing__(self, key):
        import pandas as pd

        if key == "w1":
            value = build_table(self.rows)
        elif key == "w4":
            rng = np.random.default_rng(4)
            salts = rng.integers(1 << 40, size=1_000_000).tolist()
            texts = np.array([f"w4-{i:07d}-{salt:x}" for i, salt in enumerate(salts)],
                             dtype=object)
            value = texts[rng.permutation(np.repeat(np.arange(texts.size), 2))].reshape(-1, 1)
        elif key == "arrow":
            value = pd.DataFrame({f"c{j}": pd.array(self["w1"][:, j].tolist(),
                                                    dtype="string[pyarrow]")
                                  for j in range(TEXT_COLUMNS)})
        elif key == "apart":
            value = self["arrow"].astype(object)
        elif key == "train":
            value = self["w1"][: self.rows // 2]
        elif key == "test":
            value = self["w1"][self.rows // 2:]
        else:
            raise KeyError(key)
        self[key] = value
        return value


def runner(module, data, name):
    """(run, prepare): run runs workload name once with module, timed; prepare, when not None,
    readies the next run, untimed. Other setup is done here."""
    Encoder = module.Encoder
    if name in ("w1", "w4", "arrow", "apart"):
        return (lambda: Encoder().encode(data[name])), None
    if name == "transform":
        # Each run gets an encoder that has just learned its state, so that the forward maps'
        # first lookups are timed too.
        encoders = []
        def prepare():
            encoder = Encoder()
            encoder.encode(data["train"])
            encoders.append(encoder)
        prepare()
        return (lambda: encoders.pop().transform(data["test"])), prepare
    encoder = Encoder()
    codes, _ = encoder.encode(data["w1"])
    if name == "transform_again":
        encoder.transform(data["test"])
        return (lambda: encoder.transform(data["test"])), None
    if name == "decode":
        return (lambda: encoder.decode(codes)), None
    if name == "loads":
        # What unpickling does; pickle itself would look the class up as vexilo.Encoder.
        state = encoder.__getstate__()
        return (lambda: Encoder().__setstate__(state)), None
    raise KeyError(name)


def seconds(run, prepare):
    started = time.perf_counter()
    run()
    elapsed = time.perf_counter() - started
    if prepare:
        prepare()
    return elapsed


def child(builds, rounds, rows, workloads):
    modules = [load_module(build) for build in builds]
    data = Inputs(rows)
    times = {name: ([], []) for name in workloads}
    for name in workloads:
        runs = [runner(module, data, name) for module in modules]
        for run in runs:
            seconds(*run)  # warm-up
        for r in range(rounds):
            for side in ((0, 1) if r % 2 == 0 else (1, 0)):
                times[name][side].append(seconds(*runs[side]))
    print(json.dumps(times))


def report(threads, times):
    print(f"RAYON_NUM_THREADS={threads}: median [min .. max] seconds; B/A of each round's pair, "
          "median [quartiles]")
    for name, (a, b) in times.items():
        ma, mb = statistics.median(a), statistics.median(b)
        ratios = [y / x for x, y in zip(a, b)]
        low, middle, high = statistics.quantiles(ratios, n=4) if len(ratios) > 1 else ratios * 3
        print(f"  {name:<16} A {ma:7.3f} [{min(a):.3f} .. {max(a):.3f}]   "
              f"B {mb:7.3f} [{min(b):.3f} .. {max(b):.3f}]   "
              f"B/A {middle:5.3f} [{low:.3f} .. {high:.3f}]")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("builds", nargs="+")
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--threads", type=int, nargs="+", default=[1, 2])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--workloads", nargs="+", choices=WORKLOADS, default=WORKLOADS)
    parser.add_argument("--once")
    parser.add_argument("--times", type=int, default=1)  # with --once: runs, not timed
    parser.add_argument("--child", action="store_true")
    args = parser.parse_args()
    if args.once:
        run, prepare = runner(load_module(args.builds[0]), Inputs(args.rows), args.once)
        for _ in range(args.times):
            seconds(run, prepare)
        return
    if args.child:
        child(args.builds, args.rounds, args.rows, args.workloads)
        return
    for threads in args.threads:
        env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
        out = subprocess.run([sys.executable, __file__, *args.builds, "--child", "--rounds",
                              str(args.rounds), "--rows", str(args.rows), "--workloads",
                              *args.workloads],
                             env=env, check=True, capture_output=True, text=True).stdout
        report(threads, json.loads(out.strip().splitlines()[-1]))


if __name__ == "__main__":
    main()
