"""vexilo.dask against what a Dask user does today, on a W1-shaped table in Parquet files.

Writes the table (8 columns: 5 of texts, one with missing values, 3 of numbers; W1's
vocabularies) as one Parquet file per partition, then on a LocalCluster (loopback, 2 workers x 1
thread, a memory limit each) times, each from freshly restarted workers:

  vexilo.dask   vexilo.dask.encode (its learning passes) and computing the codes;
  categorize    ddf.categorize(columns=...) then .cat.codes of each text column;
  dask-ml       dask_ml's OrdinalEncoder over the categorized frame, if dask-ml is installed;

and, in this process, Encoder().encode of the same rows read into one pandas frame (the cost of
distribution is vexilo.dask's time over this one). Codes are reduced on the workers (a sum per
column), so no candidate ships the table of codes to the client. Reported: wall times (vexilo's
by pass), the workers' peak resident memory (each worker's own peak, from the kernel), and the
bytes workers sent to each other.

Usage: python benchmarks/dask_scaling.py [--rows N] [--partitions P] [--memory-limit 3GB]
       [--repeat R] [--data DIR] [--json FILE]
The defaults are 20,000,000 rows in 40 partitions; smaller machines take --rows.
"""

from __future__ import annotations

import argparse
import json
import os
import pickle
import resource
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import pandas as pd

sys.path.insert(0, str(Path(__file__).resolve().parent))
from workloads import NON_ASCII_ALPHABET, SEED, vocabulary  # noqa: E402

NAMES = ["city", "product", "price", "customer", "quantity", "label_utf8", "status", "score"]
TEXT_COLUMNS = ["city", "product", "customer", "label_utf8", "status"]


def write_parquet(directory: Path, rows: int, partitions: int) -> None:
    """W1's columns and vocabularies, one file per partition; text columns as pandas' str."""
    rng = np.random.default_rng(SEED)
    vocabularies = {
        "city": vocabulary(rng, 10, 4, 12),
        "product": vocabulary(rng, 1_000, 6, 16),
        "customer": vocabulary(rng, 100_000, 8, 14),
        "label_utf8": vocabulary(rng, 1_000, 3, 10, NON_ASCII_ALPHABET),
        "status": vocabulary(rng, 50, 5, 10),
    }
    directory.mkdir(parents=True, exist_ok=True)
    bounds = np.linspace(0, rows, partitions + 1).astype(np.int64)
    for part, (begin, end) in enumerate(zip(bounds, bounds[1:])):
        n = int(end - begin)
        pick = {name: vocab[rng.integers(0, len(vocab), n)] for name, vocab in vocabularies.items()}
        status = pick["status"].copy()
        missing = rng.random(n)
        status[missing < 0.025] = "nan"
        status[(missing >= 0.025) & (missing < 0.05)] = None
        frame = pd.DataFrame({
            "city": pd.Series(pick["city"], dtype="str"),
            "product": pd.Series(pick["product"], dtype="str"),
            "price": np.round(rng.gamma(2.0, 30.0, n), 2),
            "customer": pd.Series(pick["customer"], dtype="str"),
            "quantity": rng.integers(1, 500, n),
            "label_utf8": pd.Series(pick["label_utf8"], dtype="str"),
            "status": pd.Series(status, dtype="str"),
            "score": rng.standard_normal(n),
        })
        frame.to_parquet(directory / f"part-{part:04d}.parquet", index=False)


def peak_rss_bytes() -> int:
    # ru_maxrss is in KiB on Linux: the process's peak resident size since it started.
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def import_candidates() -> None:
    """Run on each fresh worker before timing: what every candidate imports."""
    import dask.dataframe  # noqa: F401

    import vexilo.dask  # noqa: F401

    try:
        import dask_ml.preprocessing  # noqa: F401
    except ImportError:
        pass


def sent_bytes(dask_worker) -> int:
    return dask_worker.transfer_outgoing_bytes_total


class TimedCompute:
    """Stands in for the dask module inside vexilo.dask: times each compute call (one per
    learning pass) and the size of what it brings to the client."""

    def __init__(self, dask_module):
        self._dask = dask_module
        self.passes: list[tuple[float, int]] = []

    def __getattr__(self, name):
        return getattr(self._dask, name)

    def compute(self, *args, **kwargs):
        start = time.perf_counter()
        result = self._dask.compute(*args, **kwargs)
        self.passes.append((time.perf_counter() - start, len(pickle.dumps(result))))
        return result


def run_vexilo(ddf, record):
    import dask

    import vexilo.dask as vd

    timed = TimedCompute(dask)
    vd.dask = timed
    try:
        start = time.perf_counter()
        codes, categorical, _ = vd.encode(ddf)
        learned = time.perf_counter()
        sums = codes.sum().compute()
        done = time.perf_counter()
    finally:
        vd.dask = dask
    record["learn_s"] = learned - start
    record["passes"] = [{"s": s, "bytes_to_client": b} for s, b in timed.passes]
    record["apply_s"] = done - learned
    record["categorical"] = categorical
    return sums


def run_categorize(ddf, record):
    start = time.perf_counter()
    known = ddf.categorize(columns=TEXT_COLUMNS)
    learned = time.perf_counter()
    codes = known.assign(**{name: known[name].cat.codes for name in TEXT_COLUMNS})
    sums = codes.sum().compute()
    done = time.perf_counter()
    record["learn_s"] = learned - start
    record["apply_s"] = done - learned
    return sums


def run_dask_ml(ddf, record):
    from dask_ml.preprocessing import OrdinalEncoder

    start = time.perf_counter()
    known = ddf.categorize(columns=TEXT_COLUMNS)
    encoder = OrdinalEncoder(columns=TEXT_COLUMNS).fit(known)
    learned = time.perf_counter()
    sums = encoder.transform(known).sum().compute()
    done = time.perf_counter()
    record["learn_s"] = learned - start
    record["apply_s"] = done - learned
    return sums


def measure_model(data: Path) -> None:
    """Prints, as JSON, the one-core costs of the passes' parts over the partitions' files: run
    with RAYON_NUM_THREADS=1."""
    from vexilo import Encoder
    from vexilo.vexilo import _encoder_from_texts, _merge_texts, _table_texts

    model = {}
    files = sorted(data.glob("part-*.parquet"))
    start = time.perf_counter()
    parts = [pd.read_parquet(file, use_threads=False) for file in files]
    model["read_s"] = time.perf_counter() - start
    start = time.perf_counter()
    found = [_table_texts(part) for part in parts]
    model["learn_s"] = time.perf_counter() - start
    start = time.perf_counter()
    texts = {}
    for col in range(len(found[0])):
        lists = [part[col][1] for part in found if part[col] is not None]
        if lists:
            texts[col] = _merge_texts(lists)
    model["merge_s"] = time.perf_counter() - start
    start = time.perf_counter()
    encoder: Encoder = _encoder_from_texts(texts)
    model["number_s"] = time.perf_counter() - start
    start = time.perf_counter()
    for part in parts:
        encoder.transform(part).sum()
    model["apply_s"] = time.perf_counter() - start
    model["distinct_texts"] = sum(len(labels) for labels in encoder.categories.values())
    print(json.dumps(model))


def main() -> None:
    if len(sys.argv) == 3 and sys.argv[1] == "--model":
        measure_model(Path(sys.argv[2]))
        return
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--rows", type=int, default=20_000_000)
    parser.add_argument("--partitions", type=int, default=40)
    parser.add_argument("--memory-limit", default="3GB")
    parser.add_argument("--repeat", type=int, default=1)
    parser.add_argument("--data", type=Path, help="where the Parquet files go (kept if given)")
    parser.add_argument("--json", type=Path, help="write the figures here too")
    args = parser.parse_args()

    import dask.dataframe as dd
    from distributed import Client, LocalCluster, wait

    from vexilo import Encoder

    scratch = None if args.data else tempfile.TemporaryDirectory(prefix="vexilo-dask-")
    data = args.data or Path(scratch.name)
    # A leading underscore: Parquet readers pass over the file.
    marker = data / f"_rows-{args.rows}-partitions-{args.partitions}"
    if not marker.exists():
        for old in data.glob("part-*.parquet"):
            old.unlink()
        start = time.perf_counter()
        write_parquet(data, args.rows, args.partitions)
        marker.touch()
        print(f"wrote {args.rows:,} rows in {args.partitions} files in "
              f"{time.perf_counter() - start:.1f} s")

    candidates = [("vexilo.dask", run_vexilo), ("categorize + cat.codes", run_categorize)]
    try:
        import dask_ml  # noqa: F401

        candidates.append(("dask-ml OrdinalEncoder", run_dask_ml))
    except ImportError:
        print("dask-ml is not installed: its OrdinalEncoder is left out")

    def cluster():
        return LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                            memory_limit=args.memory_limit, host="127.0.0.1",
                            dashboard_address=None)

    results: dict[str, dict] = {}
    for repeat in range(args.repeat):
        for name, run in candidates:
            with cluster() as workers, Client(workers) as client:
                client.run(import_candidates)
                ddf = dd.read_parquet(data, split_row_groups=False)
                record: dict = {}
                start = time.perf_counter()
                run(ddf, record)
                record["total_s"] = time.perf_counter() - start
                record["peak_worker_rss_bytes"] = max(client.run(peak_rss_bytes).values())
                record["bytes_sent_by_workers"] = sum(client.run(sent_bytes).values())
            if name not in results or record["total_s"] < results[name]["total_s"]:
                results[name] = record
            print(f"[{repeat}] {name}: {record['total_s']:.2f} s")
        # The cost of distribution alone: the partitions already in the workers' memory.
        with cluster() as workers, Client(workers) as client:
            client.run(import_candidates)
            ddf = dd.read_parquet(data, split_row_groups=False).persist()
            wait(ddf)
            record = {}
            start = time.perf_counter()
            run_vexilo(ddf, record)
            record["total_s"] = time.perf_counter() - start
            record["peak_worker_rss_bytes"] = max(client.run(peak_rss_bytes).values())
            record["bytes_sent_by_workers"] = sum(client.run(sent_bytes).values())
            del ddf
        name = "vexilo.dask, partitions in memory"
        if name not in results or record["total_s"] < results[name]["total_s"]:
            results[name] = record
        print(f"[{repeat}] {name}: {record['total_s']:.2f} s")

    # The same rows in one process: read, then one encode (timed alone).
    frame = pd.read_parquet(data)
    single = float("inf")
    for _ in range(max(1, args.repeat)):
        encoder = Encoder()
        start = time.perf_counter()
        encoder.encode(frame)
        single = min(single, time.perf_counter() - start)
    results["single-process Encoder.encode"] = {"total_s": single}
    del frame

    # The model's inputs: CPU costs on one core, in a process of its own whose worker pool has
    # one thread.
    measured = subprocess.run(
        [sys.executable, __file__, "--model", str(data)], check=True, capture_output=True,
        text=True, env={**os.environ, "RAYON_NUM_THREADS": "1"},
    )
    model = json.loads(measured.stdout)

    mine = results["vexilo.dask"]
    in_memory = results["vexilo.dask, partitions in memory"]
    print()
    print(f"{args.rows:,} rows, {args.partitions} Parquet files; LocalCluster 2 workers x 1 "
          f"thread, memory limit {args.memory_limit}; {os.cpu_count()} CPUs")
    print(f"{'candidate':32} {'total s':>8} {'learn s':>8} {'apply s':>8} {'peak MiB':>9} "
          f"{'sent MiB':>9}")
    for name, record in results.items():
        peak = record.get("peak_worker_rss_bytes")
        sent = record.get("bytes_sent_by_workers")
        print(f"{name:32} {record['total_s']:8.2f} {record.get('learn_s', float('nan')):8.2f} "
              f"{record.get('apply_s', float('nan')):8.2f} "
              f"{peak / 2**20 if peak else float('nan'):9.0f} "
              f"{sent / 2**20 if sent else float('nan'):9.1f}")
    for label, record in [("from files", mine), ("in memory", in_memory)]:
        for i, step in enumerate(record["passes"], 1):
            print(f"  vexilo.dask {label}, learning pass {i}: {step['s']:.2f} s, "
                  f"{step['bytes_to_client']:,} bytes to the client")
    for name, record in results.items():
        if not name.startswith("vexilo.dask") and "peak_worker_rss_bytes" in record:
            print(f"speed-up over {name}: {record['total_s'] / mine['total_s']:.2f}x, peak memory "
                  f"{mine['peak_worker_rss_bytes'] / record['peak_worker_rss_bytes']:.2f}x theirs")
    print(f"cost of distribution: {in_memory['total_s'] / single:.2f}x single-process encode "
          f"(partitions in memory), {mine['total_s'] / single:.2f}x with the files read twice")
    # The workers share the reading and both passes; merging and numbering are small serial
    # parts (the tree's root, the client).
    workers = min(2, os.cpu_count() or 1)
    cpu = 2 * model["read_s"] + model["learn_s"] + model["apply_s"]
    predicted = cpu / workers + model["merge_s"] + model["number_s"]
    predicted_memory = (model["learn_s"] + model["apply_s"]) / workers + model["merge_s"] + \
        model["number_s"]
    print(f"model inputs (one core, partition by partition): read {model['read_s']:.2f} s, "
          f"learn {model['learn_s']:.2f} s, merge {model['merge_s']:.2f} s, number "
          f"{model['number_s']:.2f} s, apply {model['apply_s']:.2f} s; "
          f"{model['distinct_texts']:,} distinct texts")
    print(f"model: from files (2 x read + learn + apply) / {workers} + merge + number = "
          f"{predicted:.2f} s, measured {mine['total_s']:.2f} s; in memory "
          f"{predicted_memory:.2f} s, measured {in_memory['total_s']:.2f} s")
    if args.json:
        args.json.write_text(json.dumps({"rows": args.rows, "partitions": args.partitions,
                                         "results": results, "model": model}, indent=2))
    if scratch:
        scratch.cleanup()


if __name__ == "__main__":
    main()
