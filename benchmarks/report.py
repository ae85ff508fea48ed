"""Writes one suite run as results.json, results.md (tables and targets) and ratios.png."""

from __future__ import annotations

import json
from pathlib import Path

import peers

SINGLE_THREAD = "vexilo (RAYON_NUM_THREADS=1)"
FACTORIZE = "pandas factorize loop"
SKLEARN = "scikit-learn OrdinalEncoder"
NUMPY_COPY = "numpy.array copy"
MIB = 1024 * 1024

# (workload, peer, least speedup of vexilo = peer's median / vexilo's median, vexilo's side).
# vexilo's side names the run compared: the default pool, or the one-thread pool.
SPEED_TARGETS = [
    ("W1", FACTORIZE, 4.0, peers.VEXILO),
    ("W1", SKLEARN, 12.0, peers.VEXILO),
    ("W2", FACTORIZE, 3.0, peers.VEXILO),
    ("W3", FACTORIZE, 3.0, peers.VEXILO),
    ("W4", FACTORIZE, 4.0, peers.VEXILO),
    ("W5", NUMPY_COPY, 1 / 1.2, peers.VEXILO),
    ("W6", SKLEARN, 4.0, peers.VEXILO),
    ("W6", FACTORIZE, 2.0, peers.VEXILO),
    ("W7", FACTORIZE, 1.0, peers.VEXILO),
    ("W1", FACTORIZE, 2.0, SINGLE_THREAD),
    ("W8", FACTORIZE, 4.0, peers.VEXILO),
    ("W8p", FACTORIZE, 3.0, peers.VEXILO),
    ("W9", FACTORIZE, 2.0, peers.VEXILO),
    ("W10", FACTORIZE, 4.0, peers.VEXILO),
    ("W11", FACTORIZE, 3.0, peers.VEXILO),
    ("W11a", FACTORIZE, 3.0, peers.VEXILO),
    ("W15", FACTORIZE, 10.0, peers.VEXILO),
]
# (workload, baseline workload, least speedup of vexilo's median over its own median on the
# baseline, most peak memory as a share of its own peak there): W15's category columns against
# today's decode of the same codes to texts.
CROSS_TARGETS = [("W15", "W6", 5.0, 1 / 3), ("W15", "W7", 5.0, 1 / 3)]
# (workload, peer): vexilo's peak memory no higher than the peer's.
MEMORY_TARGETS = [("W1", FACTORIZE), ("W4", FACTORIZE), ("W8", FACTORIZE), ("W8p", FACTORIZE),
                  ("W9", FACTORIZE), ("W10", FACTORIZE), ("W11", FACTORIZE),
                  ("W11a", FACTORIZE)]

DECODE_NAMES = {FACTORIZE: "pandas take loop (factorize uniques)",
                "pandas astype(category)": "pandas Categorical.from_codes",
                SKLEARN: "scikit-learn inverse_transform",
                "category_encoders OrdinalEncoder": "category_encoders inverse_transform",
                "pyarrow dictionary_encode": "pyarrow dictionary.take",
                peers.CATEGORY_COLUMNS: peers.CATEGORY_COLUMNS}


def display_name(workload: dict, name: str) -> str:
    if workload.get("operation") == "decode":
        return DECODE_NAMES.get(name, name)
    return name


def median(workload: dict, name: str):
    record = workload.get("candidates", {}).get(name, {})
    return record.get("median_s")


def speedup(workload: dict, peer: str, side: str = peers.VEXILO):
    """The peer's median over vexilo's (>1: vexilo is faster), or None where one is missing."""
    ours, theirs = median(workload, side), median(workload, peer)
    if not ours or theirs is None:
        return None
    return theirs / ours


def targets(run: dict) -> list[dict]:
    rows = []
    for key, peer, least, side in SPEED_TARGETS:
        workload = run["workloads"].get(key)
        if workload is None:
            continue
        value = speedup(workload, peer, side)
        who = "vexilo, 1 thread" if side == SINGLE_THREAD else "vexilo"
        rows.append({"workload": key, "what": f"{who} vs {display_name(workload, peer)}",
                     "target": f">= {least:.2f}x", "measured": value,
                     "met": None if value is None else value >= least})
    for key, peer in MEMORY_TARGETS:
        workload = run["workloads"].get(key)
        if workload is None:
            continue
        ours = workload.get("candidates", {}).get(peers.VEXILO, {}).get("peak_bytes")
        theirs = workload.get("candidates", {}).get(peer, {}).get("peak_bytes")
        value = None if ours is None or not theirs else ours / theirs
        rows.append({"workload": key, "what": f"vexilo peak memory vs {peer}",
                     "target": "<= 1.00x", "measured": value,
                     "met": None if value is None else value <= 1.0})
    for key, base, least, share in CROSS_TARGETS:
        workload, baseline = run["workloads"].get(key), run["workloads"].get(base)
        if workload is None or baseline is None:
            continue
        ours, theirs = median(workload, peers.VEXILO), median(baseline, peers.VEXILO)
        value = theirs / ours if ours and theirs is not None else None
        rows.append({"workload": key, "what": f"vexilo vs vexilo on {base}",
                     "target": f">= {least:.2f}x", "measured": value,
                     "met": None if value is None else value >= least})
        peak = workload.get("candidates", {}).get(peers.VEXILO, {}).get("peak_bytes")
        base_peak = baseline.get("candidates", {}).get(peers.VEXILO, {}).get("peak_bytes")
        value = None if peak is None or not base_peak else peak / base_peak
        rows.append({"workload": key, "what": f"vexilo peak memory vs vexilo on {base}",
                     "target": f"<= {share:.2f}x", "measured": value,
                     "met": None if value is None else value <= share})
    return rows


def fmt_seconds(value) -> str:
    if value is None:
        return "-"
    return f"{value:.3f}" if value < 10 else f"{value:.1f}"


def fmt_ratio(value) -> str:
    return "-" if value is None else (f"{value:.2f}x" if value < 10 else f"{value:.1f}x")


SUMMARY_PEERS = [(SKLEARN, "scikit-learn"), (FACTORIZE, "pandas factorize/take"),
                 ("pandas astype(category)", "pandas category"),
                 ("category_encoders OrdinalEncoder", "category_encoders"),
                 ("polars Categorical", "polars"), ("pyarrow dictionary_encode", "pyarrow"),
                 (NUMPY_COPY, "numpy copy")]


def summary(run: dict) -> str:
    """One row per workload: vexilo's medians and its speedup over every peer."""
    lines = ["| Workload | vexilo s | 1 thread s | " +
             " | ".join(short for _, short in SUMMARY_PEERS) + " |",
             "|---" * (3 + len(SUMMARY_PEERS)) + "|"]
    for key, workload in run["workloads"].items():
        if "error" in workload:
            continue
        cells = [key, fmt_seconds(median(workload, peers.VEXILO)),
                 fmt_seconds(median(workload, SINGLE_THREAD))]
        cells += [fmt_ratio(speedup(workload, name)) for name, _ in SUMMARY_PEERS]
        lines.append("| " + " | ".join(cells) + " |")
    return "\n".join(lines)


def markdown(run: dict) -> str:
    info = run["machine"]
    versions = ", ".join(f"{name} {version}" for name, version in info["versions"].items()
                         if version)
    missing = [name for name, version in info["versions"].items() if not version]
    lines = [
        "# Benchmark results" + (" (quick mode: small tables, not for comparison)"
                                 if run["quick"] else ""),
        "",
        (f"Machine: {info['cpu_model']}, {info['usable_cpus']} usable CPUs "
         f"({info['cpus']} online, {info['threads_per_core']} thread(s) per core); "
         f"Python {info['python']} on {info['platform']}."),
        f"Versions: {versions}." + (f" Not installed: {', '.join(missing)}." if missing else ""),
        (f"vexilo tree: {info['vexilo_tree']}. Run on {info['date']}, {run['wall_s']:.0f} s in "
         f"all; load average {run['load_before'][0]:.2f} before, "
         f"{run['load_after'][0]:.2f} after."),
        (f"Up to {run['repeats']} timed calls per candidate, fewer where they would pass "
         f"{run['budget_s']:.0f} s; each candidate in its own process."),
    ]
    if run.get("note"):
        lines.append(f"Note: {run['note']}")
    lines += ["", ("Speedup is the peer's median over vexilo's from the same run (above 1: vexilo "
                   "is faster). CPU/wall is the process's CPU time over wall time during the "
                   "call. Calling thread CPU s is the CPU time of the thread that made the call (for "
                   "vexilo: reading the cells and building the result, which no worker can "
                   "share); Queued is the time the process's threads were ready but had no CPU, "
                   "over the call's wall time (other processes on the machine). Peak is the rise "
                   "of the peak resident set over the call."), ""]

    lines += ["## Summary: speedup of vexilo over each peer", "", summary(run), ""]
    lines += ["## Targets", "", "| Workload | Comparison | Target | Measured | Met |",
              "|---|---|---|---|---|"]
    for row in targets(run):
        met = "-" if row["met"] is None else ("yes" if row["met"] else "**no**")
        lines.append(f"| {row['workload']} | {row['what']} | {row['target']} | "
                     f"{fmt_ratio(row['measured'])} | {met} |")
    lines.append("")

    for key, workload in run["workloads"].items():
        lines += [f"## {key}: {workload.get('title', '')}", ""]
        if "error" in workload:
            lines += [f"Failed: {workload['error']}", ""]
            continue
        lines += [("| Candidate | Median s | Min-max s | Calls | Speedup of vexilo | CPU/wall | "
                   "Calling thread CPU s | Queued | Peak MiB | Correctness (sample) |"),
                  "|---|---|---|---|---|---|---|---|---|---|"]
        for name, record in workload["candidates"].items():
            shown = display_name(workload, name)
            if "error" in record:
                lines.append(f"| {shown} | failed: {record['error'].splitlines()[0][:90]} "
                             f"| | | | | | | | |")
                continue
            if name == peers.VEXILO:
                ratio = "(reference)"
            elif name == SINGLE_THREAD:
                ratio = f"{fmt_ratio(speedup(workload, name))} (gain of the pool)"
            else:
                ratio = fmt_ratio(speedup(workload, name))
            peak = record.get("peak_bytes")
            correct = record.get("self_check") or record.get("correct") or "-"
            threads = record.get("threads") or {}
            main_cpu = fmt_seconds(threads.get("main_cpu_s"))
            queued = f"{threads['queued_share']:.0%}" if "queued_share" in threads else "-"
            lines.append(
                f"| {shown} | {fmt_seconds(record['median_s'])} | "
                f"{fmt_seconds(record['min_s'])}-{fmt_seconds(record['max_s'])} | "
                f"{record['repeats']} | {ratio} | {record['cpu_per_wall']:.2f} | {main_cpu} | "
                f"{queued} | {'-' if peak is None else f'{peak / MIB:.0f}'} | {correct} |")
        lines.append("")
    return "\n".join(lines)


def plot(run: dict, path: Path) -> bool:
    """Horizontal bars of the speedups, one panel per workload; False without matplotlib."""
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return False
    panels = []
    for key, workload in run["workloads"].items():
        bars = []
        for name in workload.get("candidates", {}):
            if name == peers.VEXILO:
                continue
            value = speedup(workload, name)
            if value is not None:
                label = ("vexilo with 1 thread (vs vexilo)" if name == SINGLE_THREAD
                         else display_name(workload, name))
                bars.append((label, value))
        if bars:
            panels.append((f"{key}: {workload['title']}", bars))
    if not panels:
        return False
    heights = [0.32 * len(bars) + 0.7 for _, bars in panels]
    # One shared log axis, so that bar lengths compare across workloads.
    figure, axes = plt.subplots(len(panels), 1, figsize=(9, sum(heights) + 0.8), sharex=True,
                                gridspec_kw={"height_ratios": heights}, squeeze=False)
    for axis, (title, bars) in zip(axes[:, 0], panels):
        labels = [label for label, _ in bars]
        values = [value for _, value in bars]
        colours = ["#4c72b0" if value >= 1 else "#dd8452" for value in values]
        axis.barh(range(len(values)), values, color=colours)
        axis.set_yticks(range(len(values)), labels, fontsize=8)
        axis.invert_yaxis()
        axis.set_xscale("log")
        axis.axvline(1.0, color="black", linewidth=0.8)
        axis.set_title(title, fontsize=9, loc="left")
        for position, value in enumerate(values):
            axis.text(value, position, f" {value:.2g}x", va="center", fontsize=7)
        axis.tick_params(axis="x", labelsize=7, labelbottom=True)
    axes[-1, 0].set_xlabel("peer's median time / vexilo's (log scale; right of 1: vexilo faster)",
                           fontsize=8)
    info = run["machine"]
    figure.suptitle(f"vexilo speedup, {info['cpu_model']}, {info['usable_cpus']} CPUs",
                    fontsize=10)
    figure.tight_layout(rect=(0, 0, 1, 1 - 0.5 / (sum(heights) + 0.8)))  # room for the title
    figure.savefig(path, dpi=110)
    plt.close(figure)
    return True


def write(run: dict, out: Path) -> None:
    run["targets"] = targets(run)
    (out / "results.json").write_text(json.dumps(run, indent=1) + "\n")
    (out / "results.md").write_text(markdown(run) + "\n")
    plot(run, out / "ratios.png")
