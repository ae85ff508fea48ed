"""The benchmark suite: vexilo against the tools used today for label encoding, on its workloads.

    python benchmarks/run.py            # full sizes; results in benchmarks/results/
    python benchmarks/run.py --quick    # small sizes, 1 repeat: checks the suite itself

Each workload runs in a fresh interpreter that builds the seeded data once, then forks one child
per candidate (vexilo, each peer, and vexilo with RAYON_NUM_THREADS=1). A child warms its
candidate up on the first rows, measures the peak memory of its first full-size call (peak RSS
reset through /proc/self/clear_refs, so the peak belongs to that call alone), then times further
calls. The workload process itself never runs a candidate: no thread pool exists when it forks,
and the worker-pool size a child sets in its environment is the one its vexilo starts with.
"""

from __future__ import annotations

import argparse
import ctypes
import gc
import json
import os
import platform
import resource
import signal
import statistics
import subprocess
import sys
import tempfile
import time
import traceback
import warnings
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import peers
import workloads

SINGLE_THREAD = "vexilo (RAYON_NUM_THREADS=1)"
SAMPLE_ROWS = 20_000  # rows compared between vexilo's codes and a peer's
SAMPLE_COLUMNS = 50  # at most this many comparable columns are compared
WARMUP_ROWS = 1_000


# ---------------------------------------------------------------------------- measuring


def read_status(field: str) -> int | None:
    """A size field of /proc/self/status in bytes, or None where there is no such file."""
    try:
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith(field + ":"):
                    return int(line.split()[1]) * 1024
    except OSError:
        return None
    return None


def reset_peak() -> str:
    """Makes the next peak-RSS reading cover only what follows; says which measure applies."""
    gc.collect()
    try:
        ctypes.CDLL("libc.so.6").malloc_trim(0)  # give freed heap back so the baseline is honest
    except OSError:
        pass
    try:
        with open("/proc/self/clear_refs", "w") as refs:
            refs.write("5")  # 5: reset the peak resident set size to the current one
        return "VmHWM after clear_refs"
    except OSError:
        return "ru_maxrss delta"


def peak_since(method: str, rss_before: int, maxrss_before: int) -> int:
    if method.startswith("VmHWM"):
        return (read_status("VmHWM") or 0) - rss_before
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024 - maxrss_before


def cpu_seconds() -> float:
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def thread_times() -> dict[str, tuple[float, float]]:
    """Per thread of this process: (seconds on a CPU, seconds runnable but waiting for one)."""
    times = {}
    try:
        tasks = os.listdir("/proc/self/task")
    except OSError:
        return times
    for tid in tasks:
        try:
            with open(f"/proc/self/task/{tid}/schedstat") as stat:
                running, waiting, _ = (int(field) for field in stat.read().split())
        except (OSError, ValueError):
            continue
        times[tid] = (running / 1e9, waiting / 1e9)
    return times


def thread_split(before: dict, after: dict, wall: float) -> dict:
    """How a call's threads spent it: the calling thread's CPU time, the other threads' CPU time,
    and the time every thread was ready to run but had no CPU (other processes held them)."""
    main = str(os.getpid())
    split = {"main_cpu_s": 0.0, "other_cpu_s": 0.0, "queued_s": 0.0}
    for tid, (running, waiting) in after.items():
        run0, wait0 = before.get(tid, (0.0, 0.0))
        split["main_cpu_s" if tid == main else "other_cpu_s"] += running - run0
        split["queued_s"] += waiting - wait0
    split["queued_share"] = split["queued_s"] / wall if wall > 0 else 0.0
    return split


def call_once(candidate, work, fitted):
    """One timed job: (its output table, the fitted state for an encode, else None)."""
    if work.operation == "encode":
        return candidate.encode(work)
    codes, state = fitted
    return candidate.decode(codes, state, work), None


def order_verdict(out, state, work, rows: np.ndarray) -> str:
    """vexilo's own check: the expected categorical columns, and on the sampled rows of each
    comparable column, equal texts with equal codes and codes rising with the texts' UTF-8 bytes."""
    categorical = state[1] if state else None
    if work.kind == "float":
        if categorical is not None:
            return f"categorical columns {categorical}, expected None"
        return "same table" if np.array_equal(np.asarray(out), work.data) else "table differs"
    if list(categorical or []) != work.categorical:
        return f"categorical columns {categorical}, expected {work.categorical}"
    table = np.asarray(out, dtype=np.float64)
    source = np.asarray(work.data, dtype=object)
    for j in work.comparable[:SAMPLE_COLUMNS]:
        pairs = sorted(set(zip((text.encode() for text in source[rows, j]), table[rows, j])))
        texts = [text for text, _ in pairs]
        codes = [code for _, code in pairs]
        if len(set(texts)) != len(pairs) or codes != sorted(codes) or len(set(codes)) != len(codes):
            return f"codes out of byte order in column {j}"
    return "byte order kept"


def sample_codes(out, work, rows: np.ndarray) -> np.ndarray:
    """vexilo-comparable cells of an encode output: the sampled rows of the comparable columns."""
    table = np.asarray(out, dtype=np.float64)
    return table[np.ix_(rows, work.comparable[:SAMPLE_COLUMNS])]


def round_trip_verdict(decoded, work, rows: np.ndarray) -> str:
    """Whether decoding gave back the input's texts in the comparable cells of the sampled rows."""
    columns = work.comparable[:SAMPLE_COLUMNS]
    table = np.asarray(decoded, dtype=object)
    original = np.asarray(work.data, dtype=object)
    got = table[np.ix_(rows, columns)]
    want = original[np.ix_(rows, columns)]
    bad = int((got != want).sum())
    return "texts back" if bad == 0 else f"{bad} of {got.size} sampled texts differ"


def measure(candidate, work, repeats: int, budget_s: float, rows: np.ndarray, sample_path: str):
    """Runs one candidate on one workload in this (forked) process; returns its record."""
    warnings.filterwarnings("ignore")
    work = work.loaded()
    record = {"version": candidate.version()}
    head = work.head(WARMUP_ROWS)
    head_fitted = candidate.encode(head) if work.operation == "decode" else None
    call_once(candidate, head, head_fitted)  # imports, lazy set-up, first-use costs
    del head_fitted

    fitted = None
    if work.operation == "decode":
        started = time.perf_counter()
        fitted = candidate.encode(work)
        record["fit_s"] = time.perf_counter() - started

    times, cpu_ratios, splits = [], [], []
    method = reset_peak()
    rss_before = read_status("VmRSS") or 0
    maxrss_before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    for i in range(repeats):
        threads_before = thread_times()
        cpu_before, started = cpu_seconds(), time.perf_counter()
        out, state = call_once(candidate, work, fitted)
        elapsed, cpu = time.perf_counter() - started, cpu_seconds() - cpu_before
        splits.append(thread_split(threads_before, thread_times(), elapsed))
        if i == 0:
            record["peak_bytes"] = peak_since(method, rss_before, maxrss_before)
            record["memory_method"] = method
            if work.operation == "decode":
                record["correct"] = round_trip_verdict(out, work, rows)
            else:
                if work.comparable:
                    np.save(sample_path, sample_codes(out, work, rows))
                if candidate.name == peers.VEXILO:
                    record["self_check"] = order_verdict(out, state, work, rows)
        del out, state
        gc.collect()
        times.append(elapsed)
        cpu_ratios.append(cpu / elapsed if elapsed > 0 else 0.0)
        if sum(times) + statistics.median(times) > budget_s:
            break
    record.update(summary(times))
    record["cpu_per_wall"] = statistics.median(cpu_ratios)
    # The call with the median time: where its threads' time went.
    record["threads"] = splits[times.index(sorted(times)[(len(times) - 1) // 2])]
    return record


def summary(times: list[float]) -> dict:
    ordered = sorted(times)
    quartiles = (statistics.quantiles(ordered, n=4, method="inclusive") if len(ordered) > 1
                 else [ordered[0]] * 3)
    return {"times_s": times, "repeats": len(times), "median_s": statistics.median(ordered),
            "min_s": ordered[0], "max_s": ordered[-1], "iqr_s": quartiles[2] - quartiles[0]}


def run_child(label: str, job, timeout_s: int) -> dict:
    """Runs job() in a forked child and returns its dict (or the failure as {"error": ...})."""
    read_fd, write_fd = os.pipe()
    pid = os.fork()
    if pid == 0:  # the child: never returns
        os.close(read_fd)
        status = 0
        try:
            signal.alarm(timeout_s)
            result = job()
        except BaseException as error:  # reported to the parent, whatever it was
            result = {"error": f"{type(error).__name__}: {error}",
                      "traceback": traceback.format_exc(limit=6)}
            status = 1
        with os.fdopen(write_fd, "w") as pipe:
            json.dump(result, pipe)
        os._exit(status)
    os.close(write_fd)
    with os.fdopen(read_fd) as pipe:
        text = pipe.read()
    _, wait_status = os.waitpid(pid, 0)
    if text:
        return json.loads(text)
    if os.WIFSIGNALED(wait_status):
        signal_number = os.WTERMSIG(wait_status)
        reason = f"timed out after {timeout_s} s" if signal_number == signal.SIGALRM else \
            f"killed by signal {signal_number}"
        return {"error": f"{label}: {reason}"}
    return {"error": f"{label}: exited with status {os.WEXITSTATUS(wait_status)} and no result"}


def compare_codes(reference: np.ndarray, other: np.ndarray) -> str:
    """How a peer's sampled codes relate to vexilo's, per column."""
    if reference.shape != other.shape:
        return "shape differs"
    if np.array_equal(reference, other):
        return "equal"
    for j in range(reference.shape[1]):
        pairs = set(zip(reference[:, j].tolist(), other[:, j].tolist()))
        if len({a for a, _ in pairs}) != len(pairs) or len({b for _, b in pairs}) != len(pairs):
            return f"DIFFERENT groups (column {j})"
    return "same groups, other numbering"


def workload_main(key: str, quick: bool, repeats: int, budget_s: float, timeout_s: int,
                  only: list[str] | None) -> dict:
    started = time.perf_counter()
    work = workloads.build(key, quick)
    result = {"key": key, "title": work.title, "operation": work.operation, "kind": work.kind,
              "shape": list(work.shape), "build_s": time.perf_counter() - started,
              "load_before": os.getloadavg(), "candidates": {}}
    rng = np.random.default_rng(workloads.SEED + 99)
    rows = np.sort(rng.choice(work.shape[0], min(SAMPLE_ROWS, work.shape[0]), replace=False))

    jobs = [(candidate.name, candidate, {}) for candidate in peers.CANDIDATES
            if candidate.supports(work)]
    jobs.append((SINGLE_THREAD, peers.by_name(peers.VEXILO), {"RAYON_NUM_THREADS": "1"}))
    if only:
        jobs = [job for job in jobs if job[0] in only]
    with tempfile.TemporaryDirectory(prefix="vexilo-bench-") as scratch:
        for index, (label, candidate, env) in enumerate(jobs):
            sample_path = os.path.join(scratch, f"{index}.npy")

            def job(candidate=candidate, env=env, sample_path=sample_path):
                os.environ.update(env)  # before the first vexilo call sizes its pool
                return measure(candidate, work, repeats, budget_s, rows, sample_path)

            print(f"  {key} {label} ...", file=sys.stderr, flush=True)
            record = run_child(label, job, timeout_s)
            if os.path.exists(sample_path):
                record["sample_path"] = sample_path
            result["candidates"][label] = record
            if "error" in record:
                print(f"    failed: {record['error']}", file=sys.stderr, flush=True)
            else:
                print(f"    median {record['median_s']:.3f} s over {record['repeats']}",
                      file=sys.stderr, flush=True)

        reference = result["candidates"].get(peers.VEXILO, {}).get("sample_path")
        for label, record in result["candidates"].items():
            path = record.pop("sample_path", None)
            if path is None or reference is None:
                continue
            if label != peers.VEXILO:
                record["correct"] = compare_codes(np.load(reference), np.load(path))
    result["load_after"] = os.getloadavg()
    result["wall_s"] = time.perf_counter() - started
    return result


# ---------------------------------------------------------------------------- the driver


def command_output(command: list[str]) -> str:
    try:
        return subprocess.run(command, capture_output=True, text=True, check=False).stdout
    except OSError:
        return ""


def machine() -> dict:
    from importlib import metadata

    lscpu = {}
    for line in command_output(["lscpu"]).splitlines():
        name, _, value = line.partition(":")
        lscpu[name.strip()] = value.strip()
    versions = {}
    for distribution in ["numpy", "pandas", "scikit-learn", "category_encoders", "polars",
                         "pyarrow", "matplotlib", "vexilo"]:
        try:
            versions[distribution] = metadata.version(distribution)
        except metadata.PackageNotFoundError:
            versions[distribution] = None
    commit = command_output(["git", "-C", str(HERE), "rev-parse", "--short", "HEAD"]).strip()
    dirty = command_output(["git", "-C", str(HERE), "status", "--porcelain", "--", "src"]).strip()
    return {"cpu_model": lscpu.get("Model name", platform.processor()),
            "cpus": os.cpu_count(), "usable_cpus": len(os.sched_getaffinity(0)),
            "threads_per_core": lscpu.get("Thread(s) per core"),
            "python": platform.python_version(), "platform": platform.platform(),
            "versions": versions,
            "vexilo_tree": commit + (" with uncommitted changes in src/" if dirty else ""),
            "openblas_coretype": os.environ.get("OPENBLAS_CORETYPE"),
            "date": time.strftime("%Y-%m-%d %H:%M:%S %Z")}


def parse_arguments(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true",
                        help="small tables and one repeat: a smoke test of the suite")
    parser.add_argument("--workloads", default=",".join(workloads.ORDER),
                        help="comma-separated subset of " + ",".join(workloads.ORDER))
    parser.add_argument("--only", default=None,
                        help="comma-separated candidate names to run (default: all)")
    parser.add_argument("--repeats", type=int, default=None,
                        help="timed calls per candidate (default 5; 1 with --quick)")
    parser.add_argument("--budget", type=float, default=None,
                        help="seconds of timed calls per candidate and workload before "
                             "repeats stop early (default 12)")
    parser.add_argument("--timeout", type=int, default=300,
                        help="seconds one candidate may take on one workload")
    parser.add_argument("--out", type=Path, default=None,
                        help="results folder (default benchmarks/results, or "
                             "benchmarks/results/quick.tmp with --quick)")
    parser.add_argument("--note", default="", help="a remark stored with the results")
    parser.add_argument("--workload-process", metavar="KEY", help=argparse.SUPPRESS)
    parser.add_argument("--result-file", type=Path, help=argparse.SUPPRESS)
    return parser.parse_args(argv)


def main(argv=None) -> int:
    args = parse_arguments(argv)
    repeats = args.repeats or (1 if args.quick else 5)
    budget = args.budget if args.budget is not None else (1.0 if args.quick else 12.0)
    only = args.only.split(",") if args.only else None

    if args.workload_process:
        result = workload_main(args.workload_process, args.quick, repeats, budget, args.timeout,
                               only)
        args.result_file.write_text(json.dumps(result, indent=1))
        return 0

    out = args.out or (HERE / "results" / ("quick.tmp" if args.quick else ""))
    out.mkdir(parents=True, exist_ok=True)
    keys = [key.strip() for key in args.workloads.split(",") if key.strip()]
    run = {"quick": args.quick, "repeats": repeats, "budget_s": budget, "note": args.note,
           "machine": machine(), "load_before": os.getloadavg(), "workloads": {}}
    started = time.perf_counter()
    for key in keys:
        print(f"{key}: {workloads.title(key, args.quick)}", file=sys.stderr, flush=True)
        with tempfile.NamedTemporaryFile(suffix=".json") as result_file:
            command = [sys.executable, str(Path(__file__).resolve()), "--workload-process", key,
                       "--result-file", result_file.name, "--repeats", str(repeats),
                       "--budget", str(budget), "--timeout", str(args.timeout)]
            if args.quick:
                command.append("--quick")
            if args.only:
                command += ["--only", args.only]
            finished = subprocess.run(command, check=False)
            text = Path(result_file.name).read_text()
        if finished.returncode != 0 or not text:
            run["workloads"][key] = {"key": key, "title": workloads.title(key, args.quick),
                                     "error": f"workload process exited with "
                                              f"{finished.returncode}"}
            continue
        run["workloads"][key] = json.loads(text)
    run["wall_s"] = time.perf_counter() - started
    run["load_after"] = os.getloadavg()

    import report

    report.write(run, out)
    print(f"results in {out}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
